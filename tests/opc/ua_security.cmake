# Secured OPC UA connections without a server: crypto vectors, the channel
# under Basic256Sha256 with renewal, session signatures, endpoint choice, PKI.
qv_test(NAME opc_ua_security_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_security_test.cpp LIBS ostrand_static)
target_include_directories(opc_ua_security_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../support)
# Against the node-opcua peer started with --security (tests/peers/install.sh).
qv_test(NAME opc_ua_security_peer_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_security_peer_test.cpp
        LIBS ostrand_static LABELS uapeer TIMEOUT 180)
target_include_directories(opc_ua_security_peer_test PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../support)
target_compile_definitions(opc_ua_security_peer_test PRIVATE QV_UA_PEER_DIR="${PROJECT_SOURCE_DIR}/tests/peers/opcua")
