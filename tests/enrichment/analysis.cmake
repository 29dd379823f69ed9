# Image analysis, the language-model features and the model-planned search.
find_package(Qt6 REQUIRED COMPONENTS Gui Network)
vellora_add_qtest(tst_imageanalysis
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_imageanalysis.cpp
  LIBS vellora_enrichment PkgConfig::VELLORA_PLIST)
vellora_add_qtest(tst_languagemodel
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_languagemodel.cpp
  LIBS vellora_enrichment Qt6::Network)
vellora_add_qtest(tst_languagefeatures
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_languagefeatures.cpp
  LIBS vellora_enrichment Qt6::Network)
vellora_add_qtest(tst_analyzer
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_analyzer.cpp
  LIBS vellora_enrichment vellora_library Qt6::Network
  TIMEOUT 240)
vellora_add_qtest(tst_search
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_search.cpp
  LIBS vellora_enrichment vellora_library Qt6::Network)

# Content labels and text languages. The two-class classifier the test reads
# is written at build time by Debian's python3-onnx.
find_program(VELLORA_SYSTEM_PYTHON python3 PATHS /usr/bin NO_DEFAULT_PATH)
add_custom_command(OUTPUT ${CMAKE_CURRENT_BINARY_DIR}/tiny-classifier.onnx
  COMMAND ${VELLORA_SYSTEM_PYTHON} ${CMAKE_CURRENT_LIST_DIR}/make_tiny_classifier.py
          ${CMAKE_CURRENT_BINARY_DIR}/tiny-classifier.onnx
  DEPENDS ${CMAKE_CURRENT_LIST_DIR}/make_tiny_classifier.py
  COMMENT "Writing the test classifier")
add_custom_target(vellora_tiny_classifier DEPENDS ${CMAKE_CURRENT_BINARY_DIR}/tiny-classifier.onnx)
vellora_add_qtest(tst_contentlabels
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/tst_contentlabels.cpp
  LIBS vellora_enrichment
  TIMEOUT 240)
add_dependencies(tst_contentlabels vellora_tiny_classifier)
target_compile_definitions(tst_contentlabels PRIVATE
  VELLORA_TINY_CLASSIFIER="${CMAKE_CURRENT_BINARY_DIR}/tiny-classifier.onnx")
