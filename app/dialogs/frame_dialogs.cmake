# The frame's dialogs and windows: port setup, server selection and status,
# Add Group, the file prompts and help, the OPC call log and the Modbus
# traffic window. Included by this folder's CMakeLists.txt after
# quorvane_windows exists.
target_sources(quorvane_windows PRIVATE
  ${CMAKE_CURRENT_SOURCE_DIR}/api_log_wnd.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/frame_commands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/frame_dialogs.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/traffic_wnd.cpp)
