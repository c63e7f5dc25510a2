# Text typed into the dialogs' number boxes (the parser alone, so coverage
# stays on it).
qv_fuzzer(NAME fuzz_number_parse
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_number_parse.cpp
                  ${CMAKE_CURRENT_LIST_DIR}/../../app/model/number_parse.cpp)
target_include_directories(fuzz_number_parse PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../../app/model)
