# The query service over loopback: answer latency and throughput (beside nginx), memory.
# The loopback helpers take their free port from the service tests' support.
if(TARGET valdane_service_testsupport)
    add_executable(bench_service ${CMAKE_CURRENT_SOURCE_DIR}/service_answers.cpp)
    target_link_libraries(bench_service PRIVATE valdane_service_testsupport benchmark::benchmark)
endif()
# A first refresh of 50 new sites in simulated time, against faked search engines.
if(TARGET valdane_service_testsupport)
    add_executable(bench_service_first_refresh ${CMAKE_CURRENT_SOURCE_DIR}/service_first_refresh.cpp)
    target_link_libraries(bench_service_first_refresh PRIVATE valdane_service_testsupport)
endif()
# A cold refresh of 300 sites by one instance and by three sharing PostgreSQL, simulated time.
if(TARGET valdane_service_testsupport)
    add_executable(bench_service_fleet_refresh ${CMAKE_CURRENT_SOURCE_DIR}/service_fleet_refresh.cpp)
    target_link_libraries(bench_service_fleet_refresh PRIVATE valdane_service_testsupport)
endif()
# The alert rules after each measurement: 10,000 sites, 20 rules, 1 and 8 reporting workers.
if(TARGET valdane_service_testsupport)
    add_executable(bench_service_alerts ${CMAKE_CURRENT_SOURCE_DIR}/service_alerts.cpp)
    target_link_libraries(bench_service_alerts PRIVATE valdane_service_testsupport
                          benchmark::benchmark)
endif()
# The store with a large history, SQLite beside PostgreSQL: an answer's read and the overview's
# first page.
if(TARGET valdane_service_testsupport)
    add_executable(bench_service_store ${CMAKE_CURRENT_SOURCE_DIR}/service_store.cpp)
    target_link_libraries(bench_service_store PRIVATE valdane_service_testsupport
                          benchmark::benchmark)
endif()
