qv_test(NAME opc_variant_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/variant_test.cpp LIBS ostrand)
qv_test(NAME opc_service_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/service_test.cpp LIBS ostrand
        LABELS concurrency TIMEOUT 120)
qv_test(NAME opc_teardown_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/teardown_test.cpp LIBS ostrand
        LABELS concurrency TIMEOUT 120)
