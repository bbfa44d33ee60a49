valdane_add_bench(bench_storage ${CMAKE_CURRENT_SOURCE_DIR}/bench_storage.cpp)
