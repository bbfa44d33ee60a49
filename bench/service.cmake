# The query service over loopback: answer latency and throughput (beside nginx), memory.
add_executable(bench_service ${CMAKE_CURRENT_SOURCE_DIR}/service_answers.cpp)
target_link_libraries(bench_service PRIVATE valdane_service benchmark::benchmark)
