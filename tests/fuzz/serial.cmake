# Serial links: arbitrary chunked byte streams through real reader threads on
# pseudo-terminals.
qv_fuzzer(NAME fuzz_serial_stream
          SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_serial_stream.cpp
          LIBS pellacor_static util)
target_include_directories(fuzz_serial_stream PRIVATE ${CMAKE_CURRENT_LIST_DIR}/../slave)
