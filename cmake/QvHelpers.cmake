# Shared helpers for the folders' CMakeLists.

# qv_test(NAME name SOURCES ... [LIBS ...] [LABELS ...] [TIMEOUT seconds])
# One GoogleTest executable registered with ctest. The label "concurrency"
# marks the tests that ./test.sh also runs under ThreadSanitizer.
function(qv_test)
  cmake_parse_arguments(T "" "NAME;TIMEOUT" "SOURCES;LIBS;LABELS" ${ARGN})
  add_executable(${T_NAME} ${T_SOURCES})
  target_link_libraries(${T_NAME} PRIVATE ${T_LIBS} GTest::gtest GTest::gtest_main GTest::gmock Threads::Threads)
  add_test(NAME ${T_NAME} COMMAND ${T_NAME})
  if(NOT T_TIMEOUT)
    set(T_TIMEOUT 300)
  endif()
  set_tests_properties(${T_NAME} PROPERTIES TIMEOUT ${T_TIMEOUT})
  if(T_LABELS)
    set_tests_properties(${T_NAME} PROPERTIES LABELS "${T_LABELS}")
  endif()
endfunction()

# qv_fuzzer(NAME name SOURCES ... [LIBS ...] [CORPUS dir])
function(qv_fuzzer)
  cmake_parse_arguments(F "" "NAME" "SOURCES;LIBS" ${ARGN})
  add_executable(${F_NAME} ${F_SOURCES})
  target_compile_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_options(${F_NAME} PRIVATE -fsanitize=fuzzer)
  target_link_libraries(${F_NAME} PRIVATE ${F_LIBS} Threads::Threads)
endfunction()

# qv_c_library(NAME name DIR dir EXPORT_DEFINE macro VERSION v SOVERSION s)
# A deliverable library behind a C header: every .cpp below DIR/src compiled once
# into NAME_objects, linked into the shared library NAME (only the names marked
# with the export macro are visible) and into NAME_static, which also exposes
# DIR/src so that tests and benchmarks can reach the internal seams.
function(qv_c_library)
  cmake_parse_arguments(L "" "NAME;DIR;EXPORT_DEFINE;VERSION;SOVERSION" "" ${ARGN})
  file(GLOB_RECURSE _sources CONFIGURE_DEPENDS ${L_DIR}/src/*.cpp)
  add_library(${L_NAME}_objects OBJECT ${_sources})
  target_include_directories(${L_NAME}_objects PUBLIC ${L_DIR}/include PRIVATE ${L_DIR}/src)
  target_compile_options(${L_NAME}_objects PRIVATE -fvisibility=hidden -fvisibility-inlines-hidden)
  target_compile_definitions(${L_NAME}_objects PRIVATE ${L_EXPORT_DEFINE}=1)
  target_link_libraries(${L_NAME}_objects PUBLIC Threads::Threads)

  add_library(${L_NAME} SHARED $<TARGET_OBJECTS:${L_NAME}_objects>)
  # The header from the source tree here, from <prefix>/include once installed.
  target_include_directories(${L_NAME} PUBLIC $<BUILD_INTERFACE:${L_DIR}/include> $<INSTALL_INTERFACE:include>)
  target_link_libraries(${L_NAME} PUBLIC Threads::Threads)
  set_target_properties(${L_NAME} PROPERTIES VERSION ${L_VERSION} SOVERSION ${L_SOVERSION})

  add_library(${L_NAME}_static STATIC $<TARGET_OBJECTS:${L_NAME}_objects>)
  target_include_directories(${L_NAME}_static PUBLIC ${L_DIR}/include ${L_DIR}/src)
  target_link_libraries(${L_NAME}_static PUBLIC Threads::Threads)
endfunction()
