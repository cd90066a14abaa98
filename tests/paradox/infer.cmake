# Tests of the structure inference from data blocks, over the table-history simulator's
# tables and the shared real tables, each with its header damaged.
add_executable(paradox_infer_tests ${CMAKE_CURRENT_LIST_DIR}/structure_inference_test.cpp)
target_link_libraries(paradox_infer_tests PRIVATE paradox_sim GTest::gtest_main)
target_compile_definitions(paradox_infer_tests PRIVATE
  REKASTO_TABLES_DIR="${CMAKE_SOURCE_DIR}/../shared/tables")
gtest_discover_tests(paradox_infer_tests DISCOVERY_TIMEOUT 60)

# Replays the fuzz seed corpus and every fuzz find (fuzz/regressions) through the
# inference fuzz target with the ordinary compiler: no crash, and the target's checks hold.
add_executable(infer_fuzz_replay ${CMAKE_SOURCE_DIR}/fuzz/fuzz_infer.cpp ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
target_link_libraries(infer_fuzz_replay PRIVATE paradox)
target_include_directories(infer_fuzz_replay PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
add_test(NAME infer_fuzz_replay
         COMMAND infer_fuzz_replay ${CMAKE_SOURCE_DIR}/fuzz/corpus ${CMAKE_SOURCE_DIR}/fuzz/regressions)
set_tests_properties(infer_fuzz_replay PROPERTIES TIMEOUT 300)
