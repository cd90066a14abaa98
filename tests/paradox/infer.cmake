# Tests of the structure inference from data blocks, over the table-history simulator's
# tables and the shared real tables, each with its header damaged.
add_executable(paradox_infer_tests ${CMAKE_CURRENT_LIST_DIR}/structure_inference_test.cpp)
target_link_libraries(paradox_infer_tests PRIVATE paradox_sim GTest::gtest_main)
target_compile_definitions(paradox_infer_tests PRIVATE
  REKASTO_TABLES_DIR="${CMAKE_SOURCE_DIR}/../shared/tables")
gtest_discover_tests(paradox_infer_tests DISCOVERY_TIMEOUT 60)
