# Modbus/TCP request assembly and processing under arbitrary byte streams.
qv_fuzzer(NAME fuzz_tcp_assembly SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_tcp_assembly.cpp LIBS pellacor_static)
