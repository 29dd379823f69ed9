# Image analysis: palette, feature print, text, throughput, find-similar.
find_package(Qt6 REQUIRED COMPONENTS Gui)
vellora_add_benchmark(bench_analysis
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_analysis.cpp
  LIBS vellora_enrichment)
target_include_directories(bench_analysis PRIVATE ${CMAKE_SOURCE_DIR}/tests/enrichment)

# Text in screenshots against the Tesseract command (tesseract-ocr), and
# text invented on photographs.
vellora_add_benchmark(bench_textrecall
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_textrecall.cpp
  LIBS vellora_enrichment)
target_include_directories(bench_textrecall PRIVATE ${CMAKE_SOURCE_DIR}/tests/enrichment)

# Precision and recall of the detector labels on the labelled real pictures
# of tests/data/labelled/, and the thresholds they give.
add_executable(bench_labelprecision ${CMAKE_CURRENT_LIST_DIR}/bench_labelprecision.cpp)
target_link_libraries(bench_labelprecision PRIVATE vellora_enrichment Qt6::Gui)
target_include_directories(bench_labelprecision PRIVATE ${CMAKE_SOURCE_DIR}/tests/enrichment)
target_compile_definitions(bench_labelprecision PRIVATE VELLORA_SOURCE_DIR="${CMAKE_SOURCE_DIR}")
