# Ostrand figures: data changes delivered per second for one large group, and
# the CPU the service spends on them.
add_executable(bench_opc ${CMAKE_CURRENT_LIST_DIR}/bench_opc.cpp)
target_link_libraries(bench_opc PRIVATE ostrand Threads::Threads)
