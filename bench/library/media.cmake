# Import throughput against the decode-and-encode floor.
vellora_add_benchmark(bench_media
  SOURCES bench_media.cpp
  LIBS vellora_library)
