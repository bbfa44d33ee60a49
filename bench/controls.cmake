valdane_add_bench(bench_controls ${CMAKE_CURRENT_SOURCE_DIR}/controls_window.cpp)
