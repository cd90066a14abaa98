# Verifier tests (included by tests/paradox/CMakeLists.txt). They write their tables with
# the paradox writer; pxlib reads them back.
add_executable(verifier_tests
  ${CMAKE_CURRENT_LIST_DIR}/verifier_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/verifier_tables_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/field_profile_test.cpp)
target_link_libraries(verifier_tests PRIVATE paradox paradox_test_support PkgConfig::PXLIB GTest::gtest_main)
target_include_directories(verifier_tests PRIVATE ${CMAKE_CURRENT_SOURCE_DIR})
target_compile_definitions(verifier_tests PRIVATE
  REKASTO_TABLES_DIR="${CMAKE_SOURCE_DIR}/../shared/tables")
gtest_discover_tests(verifier_tests DISCOVERY_TIMEOUT 60)

# Replays the fuzz seed corpus, every fuzz find (fuzz/regressions) and the shared real
# tables through the fuzz target with the ordinary compiler: none may crash.
add_executable(verifier_fuzz_replay ${CMAKE_SOURCE_DIR}/fuzz/fuzz_verify.cpp ${CMAKE_SOURCE_DIR}/fuzz/replay_main.cpp)
target_link_libraries(verifier_fuzz_replay PRIVATE paradox)
target_include_directories(verifier_fuzz_replay PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
add_test(NAME verifier_fuzz_replay
         COMMAND verifier_fuzz_replay ${CMAKE_SOURCE_DIR}/fuzz/corpus ${CMAKE_SOURCE_DIR}/fuzz/regressions
                 ${CMAKE_SOURCE_DIR}/../shared/tables)
set_tests_properties(verifier_fuzz_replay PROPERTIES TIMEOUT 300)
