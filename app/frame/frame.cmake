# The application frame. quorvane_config is the Qt-free part (configuration
# file, settings file, command table, command line) that the fuzzers link;
# quorvane_frame adds the QtCore logic; quorvane is the program.
add_library(quorvane_config STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/config_reader.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/config_writer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/port_settings_store.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/commands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/command_line.cpp)
# Uses the model's mapping record and codes (header only) and Pellacor's
# PortSettings; links neither library, so the fuzzers stay small.
target_include_directories(quorvane_config PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/slave/include
                                                  ${PROJECT_SOURCE_DIR}/app/model ${PROJECT_SOURCE_DIR}/app/opc/include)

if(QV_FUZZ)
  return()
endif()
