# The application frame. quorvane_config is the Qt-free part (configuration
# file, settings file, command table, command line) that the fuzzers link;
# quorvane_frame adds the QtCore logic; quorvane is the program.
add_library(quorvane_config STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/config_reader.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/config_writer.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/port_settings_store.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/commands.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/command_line.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/server_status.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/file_io.cpp)
# Uses the model's mapping record and codes (header only) and Pellacor's
# PortSettings; links neither library, so the fuzzers stay small.
target_include_directories(quorvane_config PUBLIC ${CMAKE_CURRENT_SOURCE_DIR} ${PROJECT_SOURCE_DIR}/slave/include
                                                  ${PROJECT_SOURCE_DIR}/app/model ${PROJECT_SOURCE_DIR}/app/opc/include)

if(QV_FUZZ)
  return()
endif()

find_package(Qt6 REQUIRED COMPONENTS Core)

# Restores, links and OPC commands need the model and both libraries.
if(NOT TARGET quorvane_model OR NOT TARGET ostrand)
  message(STATUS "quorvane: the item model or Ostrand is missing; only quorvane_config is built")
  return()
endif()

add_library(quorvane_frame STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/api_log.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/ui_window.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/main_frame.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/quorvane_app.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/headless.cpp)
target_link_libraries(quorvane_frame PUBLIC quorvane_config quorvane_model pellacor ostrand Qt6::Core Threads::Threads)

add_executable(quorvane ${CMAKE_CURRENT_SOURCE_DIR}/main.cpp)
target_link_libraries(quorvane PRIVATE quorvane_frame)
set_target_properties(quorvane PROPERTIES INSTALL_RPATH "$ORIGIN/../lib")
install(TARGETS quorvane RUNTIME DESTINATION bin)
