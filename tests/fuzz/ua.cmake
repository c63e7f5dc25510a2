# OPC UA binary decoding of messages and built-in types. The codec sources are
# compiled into the fuzzer itself so that libFuzzer's coverage reaches them.
qv_fuzzer(NAME fuzz_ua_decode
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ua_decode.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_codec.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_messages.cpp)
target_include_directories(fuzz_ua_decode PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src)
