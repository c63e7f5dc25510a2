# The OPC UA client's chunk assembly and channel checks under arbitrary server
# byte streams, and its text parsers (NodeId, endpoint URL, Guid, base64).
qv_fuzzer(NAME fuzz_ua_chunks SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ua_chunks.cpp LIBS ostrand_static)
target_include_directories(fuzz_ua_chunks PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../opc)
qv_fuzzer(NAME fuzz_ua_text SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ua_text.cpp LIBS ostrand_static)
