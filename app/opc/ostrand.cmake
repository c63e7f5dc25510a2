# Ostrand: the OPC client service, its VARIANT type and the built-in
# simulation servers. Every .cpp in src/ belongs to it.
file(GLOB OSTRAND_SOURCES CONFIGURE_DEPENDS ${CMAKE_CURRENT_SOURCE_DIR}/src/*.cpp)

add_library(ostrand_objects OBJECT ${OSTRAND_SOURCES})
target_include_directories(ostrand_objects PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                           PRIVATE ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_compile_options(ostrand_objects PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden)
target_compile_definitions(ostrand_objects PRIVATE OSTRAND_BUILDING=1)
target_link_libraries(ostrand_objects PUBLIC Threads::Threads)

# The deliverable: only the names marked OSTRAND_API are exported.
add_library(ostrand SHARED $<TARGET_OBJECTS:ostrand_objects>)
target_include_directories(ostrand PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include)
target_link_libraries(ostrand PUBLIC Threads::Threads)
set_target_properties(ostrand PROPERTIES VERSION 1.0.0 SOVERSION 1)

# Tests, fuzzers and benchmarks that need the internal seams (src/*.h).
add_library(ostrand_static STATIC $<TARGET_OBJECTS:ostrand_objects>)
target_include_directories(ostrand_static PUBLIC ${CMAKE_CURRENT_SOURCE_DIR}/include
                                                 ${CMAKE_CURRENT_SOURCE_DIR}/src)
target_link_libraries(ostrand_static PUBLIC Threads::Threads)
