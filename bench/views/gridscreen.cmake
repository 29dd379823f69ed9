vellora_add_benchmark(bench_gridscreen
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_gridscreen.cpp
  LIBS vellora_views)
