# The subscription set (Publish loop, gap repair, re-creation) under hostile
# answers, faults, time-outs and outages. The UA sources are compiled into the
# fuzzer itself so that libFuzzer's coverage reaches them.
qv_fuzzer(NAME fuzz_ua_subscriptions
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_ua_subscriptions.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_subscriptions.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_client.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_channel.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_chunks.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_codec.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/ua_messages.cpp)
target_include_directories(fuzz_ua_subscriptions PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src)
