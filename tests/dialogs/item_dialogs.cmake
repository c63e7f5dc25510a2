# The item dialogs, the tag browser and printing, offscreen, with the real
# libraries, the simulation server and a libmodbus master on 127.0.0.1.
qv_test(NAME item_dialogs_test SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/item_dialogs_test.cpp
  LIBS quorvane_windows model_test_support PkgConfig::LIBMODBUS LABELS gui TIMEOUT 180)
target_include_directories(item_dialogs_test PRIVATE ${PROJECT_SOURCE_DIR}/tests/frame)
set_tests_properties(item_dialogs_test PROPERTIES ENVIRONMENT
  "QT_QPA_PLATFORM=offscreen;TZ=UTC;LSAN_OPTIONS=suppressions=${CMAKE_CURRENT_SOURCE_DIR}/lsan.supp")
