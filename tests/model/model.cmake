# Item model: conversions, point map, groups and items (recording stand-ins for
# the libraries), and the end-to-end and stress runs against the real ones.
add_library(model_test_support STATIC ${CMAKE_CURRENT_LIST_DIR}/fake_services.cpp)
target_link_libraries(model_test_support PUBLIC quorvane_model)

qv_test(NAME test_model_conversion SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_conversion.cpp
        LIBS quorvane_model)
qv_test(NAME test_model_point_map SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_point_map.cpp
        LIBS model_test_support)
qv_test(NAME test_model_groups SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_groups.cpp
        LIBS model_test_support LABELS concurrency)

# Against the real libraries: the simulation server, the Modbus/TCP server and
# libmodbus masters on 127.0.0.1.
qv_test(NAME test_model_end_to_end SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_end_to_end.cpp
        LIBS quorvane_model PkgConfig::LIBMODBUS LABELS concurrency TIMEOUT 120)
qv_test(NAME test_model_stress SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_stress.cpp
        LIBS model_test_support PkgConfig::LIBMODBUS LABELS concurrency TIMEOUT 180)

# The item list's texts, row arithmetic and draw list; times are shown in UTC.
qv_test(NAME test_model_item_list SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_item_list.cpp
        LIBS model_test_support LABELS concurrency)
set_tests_properties(test_model_item_list PROPERTIES ENVIRONMENT TZ=UTC)

qv_test(NAME test_model_served_values SOURCES ${CMAKE_CURRENT_LIST_DIR}/test_served_values.cpp
        LIBS model_test_support PkgConfig::LIBMODBUS LABELS concurrency TIMEOUT 120)
