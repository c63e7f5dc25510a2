# Pellacor core: serial framing and request processing over arbitrary input.
foreach(_qv_core_fuzzer fuzz_rtu fuzz_ascii fuzz_request)
  qv_fuzzer(NAME ${_qv_core_fuzzer} SOURCES ${CMAKE_CURRENT_LIST_DIR}/${_qv_core_fuzzer}.cpp LIBS pellacor_static)
endforeach()
