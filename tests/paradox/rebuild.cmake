# Tests of the rebuilder (salvage, rebuild, swap, fault injection). Included by
# tests/paradox/CMakeLists.txt; pxlib (test-only) reads the rebuilt tables back.
add_executable(paradox_rebuild_tests
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_fault_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_tables_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wild_tables_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_limits_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/restore_test.cpp)
target_link_libraries(paradox_rebuild_tests PRIVATE paradox paradox_test_support PkgConfig::PXLIB GTest::gtest_main)
target_include_directories(paradox_rebuild_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(paradox_rebuild_tests PRIVATE
  REKASTO_TABLES_DIR="${CMAKE_SOURCE_DIR}/../shared/tables")
gtest_discover_tests(paradox_rebuild_tests DISCOVERY_TIMEOUT 60)

# Replays the fuzz seed corpus and every fuzz find (fuzz/regressions) through the
# rebuild fuzz target with the ordinary compiler: no crash, and every property the
# target checks (see fuzz/fuzz_rebuild.cpp) holds.
add_executable(rebuild_fuzz_replay ${CMAKE_SOURCE_DIR}/fuzz/fuzz_rebuild.cpp ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
target_link_libraries(rebuild_fuzz_replay PRIVATE paradox)
target_include_directories(rebuild_fuzz_replay PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
add_test(NAME rebuild_fuzz_replay
         COMMAND rebuild_fuzz_replay ${CMAKE_SOURCE_DIR}/fuzz/corpus ${CMAKE_SOURCE_DIR}/fuzz/regressions)
set_tests_properties(rebuild_fuzz_replay PROPERTIES TIMEOUT 300)
