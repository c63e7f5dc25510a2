# Fault injection for the OPC UA client: the loopback proxy and the hostile server.
qv_test(NAME opc_fault_proxy_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/fault_proxy_test.cpp TIMEOUT 60)
# The I/O loop and engine against a scripted hostile server (ASan for the memory
# faults), and the loop's own limits on a silent one.
qv_test(NAME opc_ua_hostile_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_hostile_test.cpp LIBS ostrand_static
        LABELS concurrency TIMEOUT 120)
# The I/O loop and engine on the node-opcua peer through the fault proxy
# (tests/peers/install.sh installs the peer; without it the test fails and says so).
qv_test(NAME opc_ua_fault_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_fault_test.cpp LIBS ostrand_static
        LABELS "uapeer;concurrency" TIMEOUT 180)
target_compile_definitions(opc_ua_fault_test PRIVATE QV_UA_PEER_DIR="${PROJECT_SOURCE_DIR}/tests/peers/opcua")
