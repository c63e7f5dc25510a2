# Port setup, server selection and status, Add Group, the call log window, the
# file prompts, help and the traffic window, offscreen, with the simulation
# server, a pseudo-terminal and a libmodbus master on 127.0.0.1.
qv_test(NAME frame_dialogs_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/frame_dialogs_test.cpp
  LIBS quorvane_windows PkgConfig::LIBMODBUS LABELS gui TIMEOUT 180)
target_include_directories(frame_dialogs_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/frame)
target_compile_definitions(frame_dialogs_test PRIVATE QV_SOURCE_DIR="${PROJECT_SOURCE_DIR}")
set_tests_properties(frame_dialogs_test PROPERTIES ENVIRONMENT
  "QT_QPA_PLATFORM=offscreen;TZ=UTC;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
