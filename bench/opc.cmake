# Ostrand figures: data changes delivered per second for one large group, and
# the CPU the service spends on them.
add_executable(bench_opc ${CMAKE_CURRENT_LIST_DIR}/bench_opc.cpp)
target_link_libraries(bench_opc PRIVATE ostrand Threads::Threads)

# The OPC UA client on a real server's subscription; bench/compare_opcua.sh
# runs it beside node-opcua's own client.
add_executable(bench_opc_ua ${CMAKE_CURRENT_LIST_DIR}/bench_opc_ua.cpp)
target_link_libraries(bench_opc_ua PRIVATE ostrand)
