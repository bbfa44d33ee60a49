valdane_add_bench(bench_startup ${CMAKE_CURRENT_SOURCE_DIR}/bench_startup.cpp)
add_dependencies(bench_startup valdane)
target_compile_definitions(bench_startup PRIVATE VALDANE_BINARY="$<TARGET_FILE:valdane>")
