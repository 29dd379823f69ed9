# Typing into the search field over a large library.
vellora_add_benchmark(bench_visibleitems
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_visibleitems.cpp
  LIBS vellora_app)
