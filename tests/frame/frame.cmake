qv_test(NAME frame_config_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_file_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/frame_data_test.cpp
  LIBS quorvane_config)

if(NOT TARGET quorvane_frame)
  return()
endif()

# Pellacor's window on the Qt event loop, the log and the headless pieces.
qv_test(NAME frame_qt_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/ui_window_test.cpp
  LIBS quorvane_frame LABELS concurrency TIMEOUT 120)

# libmodbus is the independent master of the tests below.

# The application object with the real libraries, pseudo-terminals and loopback.
qv_test(NAME frame_app_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/app_test.cpp
  LIBS quorvane_frame PkgConfig::LIBMODBUS LABELS concurrency TIMEOUT 180)

# The program as a process.
qv_test(NAME frame_process_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/process_test.cpp
  LIBS PkgConfig::LIBMODBUS LABELS concurrency TIMEOUT 180)
target_compile_definitions(frame_process_test PRIVATE QV_QUORVANE_BINARY="$<TARGET_FILE:quorvane>"
                                                      QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
add_dependencies(frame_process_test quorvane)
if(TARGET quorvane_windows)
  target_compile_definitions(frame_process_test PRIVATE QV_WINDOWS_BUILT=1)
  # The windowed program keeps font caches that leak checking must not count.
  set_tests_properties(frame_process_test PROPERTIES LABELS "concurrency;gui"
    ENVIRONMENT "LSAN_OPTIONS=suppressions=${PROJECT_SOURCE_DIR}/tests/dialogs/lsan.supp")
endif()
