qv_test(NAME frame_config_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_file_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/frame_data_test.cpp
  LIBS quorvane_config)

if(NOT TARGET quorvane_frame)
  return()
endif()

# Pellacor's window on the Qt event loop, the log and the headless pieces.
qv_test(NAME frame_qt_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ui_window_test.cpp
  LIBS quorvane_frame LABELS concurrency TIMEOUT 120)

# The application object with the real libraries, pseudo-terminals and loopback.
qv_test(NAME frame_app_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/app_test.cpp
  LIBS quorvane_frame LABELS concurrency TIMEOUT 180)
