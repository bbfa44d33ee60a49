# The rank list import, a look-up, and the memory a loaded 1,000,000-domain list takes.
add_executable(bench_ranks ${CMAKE_CURRENT_SOURCE_DIR}/ranks_lists.cpp)
target_link_libraries(bench_ranks PRIVATE valdane_service benchmark::benchmark)
