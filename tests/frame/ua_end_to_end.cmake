# The program end to end on the node-opcua peer (tests/peers/install.sh
# installs it; without it the test fails and says so).
if(TARGET quorvane)
  qv_test(NAME frame_ua_end_to_end_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/ua_end_to_end_test.cpp
    LIBS ostrand_static PkgConfig::LIBMODBUS LABELS uapeer TIMEOUT 180)
  target_compile_definitions(frame_ua_end_to_end_test PRIVATE QV_QUORVANE_BINARY="$<TARGET_FILE:quorvane>"
                                                              QV_UA_PEER_DIR="${PROJECT_SOURCE_DIR}/tests/peers/opcua")
  add_dependencies(frame_ua_end_to_end_test quorvane)
endif()
