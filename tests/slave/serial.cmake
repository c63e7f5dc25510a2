# Serial links: tests on pseudo-terminals, with libmodbus as an independent
# RTU master.

add_library(serial_test_support INTERFACE)
target_include_directories(serial_test_support INTERFACE ${CMAKE_CURRENT_LIST_DIR})
target_link_libraries(serial_test_support INTERFACE pellacor_static Threads::Threads util)

qv_test(NAME test_serial_link
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_serial_link.cpp
        LIBS serial_test_support
        LABELS concurrency TIMEOUT 120)

qv_test(NAME test_serial_frames
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_serial_frames.cpp
        LIBS serial_test_support PkgConfig::LIBMODBUS
        LABELS concurrency TIMEOUT 120)

qv_test(NAME test_serial_rts
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_serial_rts.cpp
        LIBS serial_test_support
        LABELS concurrency TIMEOUT 120)

# About 11 s: one bounded flood on three ports at once.
qv_test(NAME test_serial_flood
        SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_serial_flood.cpp
        LIBS serial_test_support
        LABELS concurrency TIMEOUT 180)
