# Pellacor core: serial framing and request processing over arbitrary input.
# The library's objects carry coverage instrumentation too, so that the fuzzer
# is guided by the code under test and not only by the harness.
if(NOT DEFINED QV_PELLACOR_FUZZ_COVERAGE)
  set(QV_PELLACOR_FUZZ_COVERAGE ON)
  target_compile_options(pellacor_objects PRIVATE -fsanitize=fuzzer-no-link)
endif()
foreach(_qv_core_fuzzer fuzz_rtu fuzz_ascii fuzz_request)
  qv_fuzzer(NAME ${_qv_core_fuzzer} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${_qv_core_fuzzer}.cpp LIBS pellacor_static)
endforeach()
