# Fault injection for the OPC UA client: the loopback proxy and the hostile server.
qv_test(NAME opc_fault_proxy_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_proxy_test.cpp TIMEOUT 60)
# The I/O loop and engine against a scripted hostile server (ASan for the memory faults).
qv_test(NAME opc_ua_hostile_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_hostile_test.cpp LIBS ostrand_static
        LABELS concurrency TIMEOUT 120)
