# OPC UA values into VARIANTs and the list file of endpoints. The sources are
# compiled into the fuzzer itself so that libFuzzer's coverage reaches them.
set(_qv_ua_src ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src)
qv_fuzzer(NAME fuzz_ua_values
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ua_values.cpp
                  ${_qv_ua_src}/ua_variant.cpp ${_qv_ua_src}/ua_discovery.cpp ${_qv_ua_src}/ua_text.cpp
                  ${_qv_ua_src}/ua_client.cpp ${_qv_ua_src}/ua_channel.cpp ${_qv_ua_src}/ua_chunks.cpp
                  ${_qv_ua_src}/ua_transport.cpp ${_qv_ua_src}/ua_codec.cpp ${_qv_ua_src}/ua_messages.cpp
                  ${_qv_ua_src}/variant.cpp)
target_include_directories(fuzz_ua_values PRIVATE ${_qv_ua_src} ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/include)
