# Fault injection for the OPC UA client: the loopback proxy and the hostile server.
qv_test(NAME opc_fault_proxy_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_proxy_test.cpp TIMEOUT 60)
