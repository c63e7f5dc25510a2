# The OPC UA client's chunk layer, secure channel and text forms, against the
# golden session bytes in golden/.
qv_test(NAME opc_ua_chunks_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_chunks_test.cpp LIBS ostrand_static)
target_compile_definitions(opc_ua_chunks_test PRIVATE QV_UA_GOLDEN_DIR="${CMAKE_CURRENT_LIST_DIR}/golden")
qv_test(NAME opc_ua_text_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_text_test.cpp LIBS ostrand_static)
