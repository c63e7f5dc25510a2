# The traffic window's follower over arbitrary traffic and chunking. Built
# from its source with Pellacor, since the frame library is not built here.
qv_fuzzer(NAME fuzz_traffic_follower
  SOURCES ${CMAKE_CURRENT_LIST_DIR}/fuzz_traffic_follower.cpp ${PROJECT_SOURCE_DIR}/app/frame/traffic_monitor.cpp
  LIBS pellacor_static)
target_include_directories(fuzz_traffic_follower PRIVATE ${PROJECT_SOURCE_DIR}/app/frame)
