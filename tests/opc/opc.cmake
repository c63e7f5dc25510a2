qv_test(NAME opc_variant_test SOURCES ${CMAKE_CURRENT_LIST_DIR}/variant_test.cpp LIBS ostrand)
