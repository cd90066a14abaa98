# Handler tests: table selection, properties page, verify, rebuild, whole-alias run,
# TBDEUtil and ProgressCallback, with the window built as the program builds it over the
# scripted utility library (support/) and a test engine configuration (data/engine.ini).

add_library(tutil_scripted STATIC
  ${CMAKE_CURRENT_SOURCE_DIR}/support/ScriptedTUtil.h
  ${CMAKE_CURRENT_SOURCE_DIR}/support/ScriptedTUtil.cpp)
target_include_directories(tutil_scripted PUBLIC
  ${CMAKE_CURRENT_SOURCE_DIR}/support ${CMAKE_SOURCE_DIR}/src/tutil)
target_link_libraries(tutil_scripted PUBLIC engine)

add_executable(test_handlers
  ${CMAKE_CURRENT_SOURCE_DIR}/handlers_test_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/handlers_selection_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/handlers_operations_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/handlers_keyboard_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/bdeutil_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/support/HandlersFixture.h)
target_compile_definitions(test_handlers PRIVATE
  HANDLERS_ENGINE_CONFIG="${CMAKE_CURRENT_SOURCE_DIR}/data/engine.ini")
target_link_libraries(test_handlers PRIVATE
  mainform tutil_scripted engine widgets Qt6::Test GTest::gtest)
gtest_discover_tests(test_handlers
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS handlers
  DISCOVERY_TIMEOUT 60)

# End to end over the real utility library and the generated demo tables.
add_executable(test_handlers_e2e ${CMAKE_CURRENT_SOURCE_DIR}/handlers_e2e_test.cpp)
add_dependencies(test_handlers_e2e demo-tables)
target_compile_definitions(test_handlers_e2e PRIVATE
  HANDLERS_DEMO_TABLES="${CMAKE_BINARY_DIR}/samples/demo"
  HANDLERS_SHARED_TABLES="${CMAKE_SOURCE_DIR}/../shared/tables")
target_include_directories(test_handlers_e2e PRIVATE ${CMAKE_SOURCE_DIR}/tests/tutil)
target_link_libraries(test_handlers_e2e PRIVATE mainform tutil engine widgets GTest::gtest)
gtest_discover_tests(test_handlers_e2e
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS handlers
  DISCOVERY_TIMEOUT 60)
