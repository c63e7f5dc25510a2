# The OPC UA client engine after a golden handshake, fed hostile server bytes
# and clock ticks. The UA sources are compiled into the fuzzer itself so that
# libFuzzer's coverage reaches them.
qv_fuzzer(NAME fuzz_ua_engine
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ua_engine.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_client.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_channel.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_chunks.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_codec.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_messages.cpp)
target_include_directories(fuzz_ua_engine PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src)
target_compile_definitions(fuzz_ua_engine PRIVATE QV_UA_GOLDEN_DIR="${CMAKE_CURRENT_LIST_DIR}/../opc/golden")
