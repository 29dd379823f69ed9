vellora_add_benchmark(bench_records
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/bench_records.cpp
  LIBS vellora_library)
# Writes a generated library for measuring the program itself (load_peak.sh).
add_executable(bench_write_library ${CMAKE_CURRENT_LIST_DIR}/write_library.cpp)
target_link_libraries(bench_write_library PRIVATE vellora_library)
