vellora_add_benchmark(bench_store
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_store.cpp
  LIBS vellora_library)
