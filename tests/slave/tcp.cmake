# Modbus/TCP server tests: real sockets on 127.0.0.1.
qv_test(NAME test_tcp SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tcp.cpp
        LIBS pellacor_static LABELS concurrency TIMEOUT 120)

qv_test(NAME test_tcp_libmodbus SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tcp_libmodbus.cpp
        LIBS pellacor_static PkgConfig::LIBMODBUS LABELS concurrency TIMEOUT 60)

# About a minute of connection churn (QV_SOAK_SECONDS shortens it).
qv_test(NAME test_tcp_soak SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tcp_soak.cpp
        LIBS pellacor_static LABELS concurrency TIMEOUT 240)

# Burst connects, close and reopen, injected failures, close while masters
# read, access control.
qv_test(NAME test_tcp_hardening SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_tcp_hardening.cpp
        LIBS pellacor_static LABELS concurrency TIMEOUT 120)
