qv_fuzzer(NAME fuzz_config_restore SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_config_restore.cpp LIBS quorvane_config)
qv_fuzzer(NAME fuzz_config_settings SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_config_settings.cpp LIBS quorvane_config)
qv_fuzzer(NAME fuzz_config_cmdline SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/fuzz_config_cmdline.cpp LIBS quorvane_config)
