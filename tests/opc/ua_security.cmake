# Secured OPC UA connections without a server: crypto vectors, the channel
# under Basic256Sha256 with renewal, session signatures, endpoint choice, PKI.
qv_test(NAME opc_ua_security_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_security_test.cpp LIBS ostrand_static)
