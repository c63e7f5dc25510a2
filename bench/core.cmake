# Request processing speed of the Pellacor core (Google Benchmark).
find_package(benchmark REQUIRED)
add_executable(bench_request ${CMAKE_CURRENT_LIST_DIR}/bench_request.cpp)
target_link_libraries(bench_request PRIVATE pellacor_static benchmark::benchmark Threads::Threads)
