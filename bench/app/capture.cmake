# A burst of screenshots into the watched folder.
vellora_add_benchmark(bench_capture
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_capture.cpp
  LIBS vellora_app)
