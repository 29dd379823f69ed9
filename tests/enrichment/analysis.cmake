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
