# The secured chunk path (Basic256Sha256) after an OPN handshake with a test
# server: forged chunks, and validly signed chunks with the fuzzer's padding.
qv_fuzzer(NAME fuzz_ua_secure SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ua_secure.cpp LIBS ostrand_static)
target_include_directories(fuzz_ua_secure PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../opc)
