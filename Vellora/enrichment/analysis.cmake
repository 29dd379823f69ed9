# Image analysis, the language-model features and the model-planned search.
find_package(Qt6 REQUIRED COMPONENTS Gui Network)
pkg_check_modules(VELLORA_PLIST REQUIRED IMPORTED_TARGET GLOBAL libplist-2.0)
# Content labels: the cascades of opencv-data and an optional ONNX classifier.
find_package(OpenCV REQUIRED COMPONENTS core imgproc objdetect dnn)

target_sources(vellora_enrichment PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/AnalysisImage.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Palette.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FeaturePrint.cpp
  ${CMAKE_CURRENT_LIST_DIR}/FeaturePrintStore.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ContentLabels.cpp
  ${CMAKE_CURRENT_LIST_DIR}/TextDetector.cpp
  ${CMAKE_CURRENT_LIST_DIR}/ImageAnalysis.cpp
  ${CMAKE_CURRENT_LIST_DIR}/RuleDraft.cpp
  ${CMAKE_CURRENT_LIST_DIR}/LanguageFeatures.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Analyzer.cpp
  ${CMAKE_CURRENT_LIST_DIR}/Search.cpp
)
target_include_directories(vellora_enrichment PRIVATE ${OpenCV_INCLUDE_DIRS})
target_link_libraries(vellora_enrichment
  PUBLIC vellora_library Qt6::Gui Qt6::Network
  PRIVATE PkgConfig::VELLORA_PLIST ${OpenCV_LIBS})
# The distance loop of find-similar runs over every stored print.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/FeaturePrint.cpp ${CMAKE_CURRENT_LIST_DIR}/FeaturePrintStore.cpp
  PROPERTIES COMPILE_OPTIONS "-O3")
# The look for strokes runs over every pixel of every thumbnail.
set_source_files_properties(${CMAKE_CURRENT_LIST_DIR}/TextDetector.cpp PROPERTIES COMPILE_OPTIONS "-O3")
