# Item model figures: data changes per second through the model's callback
# entry, and the cost of one register store with a full point map.
add_executable(bench_model ${CMAKE_CURRENT_LIST_DIR}/bench_model.cpp)
target_link_libraries(bench_model PRIVATE quorvane_model)
