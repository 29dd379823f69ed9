# From start to the first painted grid of a large library, offscreen.
vellora_add_benchmark(bench_windowstart
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_windowstart.cpp
  LIBS vellora_app)
