# Modbus/TCP server tests: real sockets on 127.0.0.1.
qv_test(NAME test_tcp SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tcp.cpp
        LIBS pellacor_static LABELS concurrency TIMEOUT 120)
