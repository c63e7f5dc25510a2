# Modbus/TCP load tools: our server as a process, the libmodbus reference
# server, and the load generator. bench/compare_tcp.sh runs them side by side.

add_executable(tcp_bench_server ${CMAKE_CURRENT_LIST_DIR}/tcp_bench_server.cpp)
target_link_libraries(tcp_bench_server PRIVATE pellacor Threads::Threads)

add_executable(tcp_load ${CMAKE_CURRENT_LIST_DIR}/tcp_load.cpp)
target_link_libraries(tcp_load PRIVATE Threads::Threads)

add_executable(ref_server_libmodbus ${CMAKE_CURRENT_LIST_DIR}/ref_server_libmodbus.c)
target_link_libraries(ref_server_libmodbus PRIVATE PkgConfig::LIBMODBUS)
