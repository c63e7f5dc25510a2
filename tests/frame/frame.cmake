qv_test(NAME frame_config_test
  SOURCES ${CMAKE_CURRENT_SOURCE_DIR}/config_file_test.cpp ${CMAKE_CURRENT_SOURCE_DIR}/frame_data_test.cpp
  LIBS quorvane_config)
