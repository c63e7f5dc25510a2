# The OPC UA client engine (fake clock, scripted server, golden session).
qv_test(NAME opc_ua_engine_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_engine_test.cpp LIBS ostrand_static)
target_compile_definitions(opc_ua_engine_test PRIVATE QV_UA_GOLDEN_DIR="${CMAKE_CURRENT_LIST_DIR}/golden")
