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
