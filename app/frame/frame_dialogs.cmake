# The Qt-free part of the frame's dialogs and windows: the serial setup lists,
# the OPC server listing, the call log's scroll rules and the Modbus traffic
# tap. Added to quorvane_frame, which frame.cmake defines first.
if(NOT TARGET quorvane_frame)
  return()
endif()
target_sources(quorvane_frame PRIVATE
  ${CMAKE_CURRENT_LIST_DIR}/frame_dialog_data.cpp
  ${CMAKE_CURRENT_LIST_DIR}/traffic_monitor.cpp)
