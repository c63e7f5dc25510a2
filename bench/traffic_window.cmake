# The windowed program's Modbus/TCP server with and without the traffic window
# (bench/compare_traffic_window.sh).
if(TARGET quorvane_windows)
  find_package(Qt6 REQUIRED COMPONENTS Widgets)
  add_executable(traffic_window_server ${CMAKE_CURRENT_LIST_DIR}/traffic_window_server.cpp)
  target_link_libraries(traffic_window_server PRIVATE quorvane_windows)
endif()
