# VARIANT coercion from outside text. The coercion source is compiled into the
# fuzzer itself so that libFuzzer's coverage reaches it.
qv_fuzzer(NAME fuzz_variant
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_variant.cpp ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/variant.cpp)
target_include_directories(fuzz_variant PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/include)
