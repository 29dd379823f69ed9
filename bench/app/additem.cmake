# One edit of a large library with the main window open, to the painted frame.
vellora_add_benchmark(bench_additem
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_additem.cpp
  LIBS vellora_app)
