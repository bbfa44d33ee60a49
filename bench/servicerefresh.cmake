# A full refresh by the program against the real query service; needs the tests' fake desktop.
if(TARGET valdane_testsupport)
    valdane_add_bench(bench_service_refresh ${CMAKE_CURRENT_SOURCE_DIR}/service_refresh.cpp)
    target_link_libraries(bench_service_refresh PRIVATE valdane_testsupport)
    add_dependencies(bench_service_refresh valdane-service)
    target_compile_definitions(bench_service_refresh PRIVATE
        VALDANE_SERVICE_BIN="$<TARGET_FILE:valdane-service>")
endif()
