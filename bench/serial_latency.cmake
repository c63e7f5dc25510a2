# Serial link figures over a pseudo-terminal: time from a request's last byte
# to the reply's first byte, and requests answered per second, for RTU timed by
# the reader thread, RTU timed by a window and ASCII.
if(TARGET serial_test_support)
  add_executable(bench_serial_latency ${CMAKE_CURRENT_LIST_DIR}/serial_latency.cpp)
  target_link_libraries(bench_serial_latency PRIVATE serial_test_support)
endif()
