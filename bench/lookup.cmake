valdane_add_bench(bench_md5text ${CMAKE_CURRENT_SOURCE_DIR}/md5text_bench.cpp)
