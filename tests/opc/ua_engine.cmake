# The OPC UA client engine (fake clock, scripted server, golden session).
qv_test(NAME opc_ua_engine_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_engine_test.cpp LIBS ostrand_static)
target_compile_definitions(opc_ua_engine_test PRIVATE QV_UA_GOLDEN_DIR="${CMAKE_CURRENT_LIST_DIR}/golden")
# The I/O loop and engine against the node-opcua peer (tests/peers/install.sh
# installs it; without it the test fails and says so).
qv_test(NAME opc_ua_peer_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_peer_test.cpp LIBS ostrand_static
        LABELS "uapeer;concurrency" TIMEOUT 180)
target_include_directories(opc_ua_peer_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../support)
target_compile_definitions(opc_ua_peer_test PRIVATE QV_UA_PEER_DIR="${PROJECT_SOURCE_DIR}/tests/peers/opcua")
# Groups as subscriptions and items as monitored items (fake port and clock).
qv_test(NAME opc_ua_subscriptions_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_subscriptions_test.cpp LIBS ostrand_static)
