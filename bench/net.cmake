# HttpGet's wait costs (processor share while a request hangs).
valdane_add_bench(bench_net_wait ${CMAKE_CURRENT_SOURCE_DIR}/net_wait.cpp)
