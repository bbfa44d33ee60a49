# Site tracking timings; needs the fake query service of the tests.
if(TARGET valdane_testsupport)
    valdane_add_bench(bench_tracking ${CMAKE_CURRENT_SOURCE_DIR}/bench_tracking.cpp)
    target_link_libraries(bench_tracking PRIVATE valdane_testsupport)
endif()
