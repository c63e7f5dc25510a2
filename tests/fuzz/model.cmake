# Item model conversions and item-list texts over values and mappings from
# outside (OPC values, master writes, mappings read from configuration files).
# The conversion, text and coercion sources are compiled into the fuzzer so
# that coverage reaches them.
qv_fuzzer(NAME fuzz_model_conversion
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_model_conversion.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/model/conversion.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/model/item_text.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/src/variant.cpp)
target_include_directories(fuzz_model_conversion PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../../app/model
                                                         ${CMAKE_CURRENT_LIST_DIR}/../../app/opc/include)
