# The dialogs' number boxes and the printout's pagination and page layout,
# without a display.
qv_test(NAME test_model_number_parse SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_number_parse.cpp
        LIBS quorvane_model)
qv_test(NAME test_model_item_print SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_item_print.cpp
        LIBS model_test_support)
set_tests_properties(test_model_item_print PROPERTIES ENVIRONMENT TZ=UTC)
qv_test(NAME test_model_first_value SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_first_value.cpp
        LIBS model_test_support LABELS concurrency)
