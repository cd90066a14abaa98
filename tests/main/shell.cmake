# Shell tests: the application object and its default handler, the fatal start-up path, the
# window's stored layout and log, the dialogs seam, and the about picture's decoding.
# The window links the real utility library, as the program does.
add_executable(test_shell
  ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_rules.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_layout.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_about.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_dialogs.cpp)
target_link_libraries(test_shell PRIVATE mainform tutil engine widgets GTest::gtest)
gtest_discover_tests(test_shell
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS main
  DISCOVERY_TIMEOUT 60)
