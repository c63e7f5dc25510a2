# OPC UA values and the list file of endpoints (no server).
qv_test(NAME opc_ua_variant_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_variant_test.cpp LIBS ostrand_static)
# The service's C interface on the node-opcua peer (tests/peers/install.sh
# installs it; without it the test fails and says so).
qv_test(NAME opc_ua_service_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_service_test.cpp LIBS ostrand_static
        LABELS uapeer TIMEOUT 180)
target_include_directories(opc_ua_service_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../support)
target_compile_definitions(opc_ua_service_test PRIVATE QV_UA_PEER_DIR="${PROJECT_SOURCE_DIR}/tests/peers/opcua")
# The change queue every backend delivers through (coalescing, removal).
qv_test(NAME opc_change_queue_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/change_queue_test.cpp LIBS ostrand_static
        LABELS concurrency TIMEOUT 60)
# Groups and items as subscriptions on the peer; removal races run under TSan too.
qv_test(NAME opc_ua_subscribe_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_subscribe_test.cpp LIBS ostrand_static
        LABELS "uapeer;concurrency" TIMEOUT 180)
target_include_directories(opc_ua_subscribe_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../support)
target_compile_definitions(opc_ua_subscribe_test PRIVATE QV_UA_PEER_DIR="${PROJECT_SOURCE_DIR}/tests/peers/opcua")
