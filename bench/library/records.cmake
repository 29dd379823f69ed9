vellora_add_benchmark(bench_records
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_records.cpp
  LIBS vellora_library)
