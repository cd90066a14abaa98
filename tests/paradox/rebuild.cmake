# Tests of the rebuilder (salvage, rebuild, swap, fault injection). Included by
# tests/paradox/CMakeLists.txt; pxlib (test-only) reads the rebuilt tables back.
add_executable(paradox_rebuild_tests
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_fault_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_tables_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/wild_tables_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/rebuild_limits_test.cpp)
target_link_libraries(paradox_rebuild_tests PRIVATE paradox PkgConfig::PXLIB GTest::gtest_main)
target_include_directories(paradox_rebuild_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(paradox_rebuild_tests PRIVATE
  REKASTO_TABLES_DIR="${CMAKE_SOURCE_DIR}/../shared/tables")
gtest_discover_tests(paradox_rebuild_tests DISCOVERY_TIMEOUT 60)
