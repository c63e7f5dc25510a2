# Configuration file figures: restore of a large file and item line parsing.
find_package(benchmark REQUIRED)
add_executable(bench_config ${CMAKE_CURRENT_LIST_DIR}/bench_config.cpp)
target_link_libraries(bench_config PRIVATE quorvane_config benchmark::benchmark)
