# The table-history simulator (table_history.cpp) and its property tests. The simulator
# is a library of its own so that the long run (bench/sim_long.cpp) shares it.
add_library(paradox_sim STATIC ${CMAKE_CURRENT_LIST_DIR}/table_history.cpp
  ${CMAKE_CURRENT_LIST_DIR}/table_properties.cpp ${CMAKE_CURRENT_LIST_DIR}/stored_values.cpp)
target_link_libraries(paradox_sim PUBLIC paradox PRIVATE PkgConfig::PXLIB)
target_include_directories(paradox_sim PUBLIC ${CMAKE_CURRENT_LIST_DIR})
target_compile_definitions(paradox_sim PRIVATE REKASTO_HAVE_PXLIB=1)

add_executable(paradox_history_tests ${CMAKE_CURRENT_LIST_DIR}/table_history_test.cpp
  ${CMAKE_CURRENT_LIST_DIR}/value_rule_test.cpp)
target_link_libraries(paradox_history_tests PRIVATE paradox_sim GTest::gtest_main)
# The value rule's property reads the fuzz corpus (family_input.h) and the shared tables.
target_include_directories(paradox_history_tests PRIVATE ${CMAKE_SOURCE_DIR}/fuzz)
target_compile_definitions(paradox_history_tests PRIVATE
  REKASTO_TABLES_DIR="${CMAKE_SOURCE_DIR}/../shared/tables"
  REKASTO_FUZZ_DIR="${CMAKE_SOURCE_DIR}/fuzz")
gtest_discover_tests(paradox_history_tests DISCOVERY_TIMEOUT 60)

# Long run over a seed range: sim_long <first seed> <last seed> [--huge]
add_executable(sim_long ${CMAKE_SOURCE_DIR}/bench/sim_long.cpp)
target_link_libraries(sim_long PRIVATE paradox_sim)
