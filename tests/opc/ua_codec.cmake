# The OPC UA binary codec and messages: golden session bytes, encoding traps,
# hostile input. The golden chunks live in tests/opc/golden.
qv_test(NAME opc_ua_codec_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_codec_test.cpp LIBS ostrand_static)
target_compile_definitions(opc_ua_codec_test PRIVATE QV_UA_GOLDEN_DIR="${CMAKE_CURRENT_LIST_DIR}/golden")
