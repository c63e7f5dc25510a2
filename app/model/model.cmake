# The item model: point map and conversions, OPC groups and items, and the
# item list's texts, row arithmetic and draw list. Plain C++, shared by the
# headless program and the windows.
file(GLOB QUORVANE_MODEL_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/*.cpp)
add_library(quorvane_model STATIC ${QUORVANE_MODEL_SOURCES})
target_include_directories(quorvane_model PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}
                                                 ${PROJECT_SOURCE_DIR}/app/opc/include)
target_link_libraries(quorvane_model PUBLIC pellacor ostrand Threads::Threads)
