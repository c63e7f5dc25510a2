# Pellacor core: data-block table, request processing, serial framing.
qv_test(NAME test_core_framing SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_core_framing.cpp LIBS pellacor_static)
qv_test(NAME test_core_table SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_core_table.cpp LIBS pellacor_static)
qv_test(NAME test_core_concurrency SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_core_concurrency.cpp
        LIBS pellacor_static LABELS concurrency TIMEOUT 120)
