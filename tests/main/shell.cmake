# Shell tests: the application object and its default handler, the fatal start-up path, the
# window's stored layout and log, the dialogs seam, and the about picture's decoding.
# The window links a utility library: the real one when it is built, else the scripted one
# (defined by handlers.cmake, which this directory includes after this file).
function(rekasto_add_shell_tests)
  if(TARGET tutil)
    set(utility tutil)
  elseif(TARGET tutil_scripted)
    set(utility tutil_scripted)
  else()
    return()
  endif()
  add_executable(test_shell
    ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_main.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_rules.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_layout.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_about.cpp
    ${CMAKE_CURRENT_SOURCE_DIR}/test_shell_dialogs.cpp)
  target_link_libraries(test_shell PRIVATE mainform ${utility} engine widgets GTest::gtest)
  gtest_discover_tests(test_shell
    PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS main
    DISCOVERY_TIMEOUT 60)
endfunction()

if(EXISTS ${CMAKE_SOURCE_DIR}/src/main/MainForm.cpp AND TARGET mainform)
  if(TARGET tutil)
    rekasto_add_shell_tests()
  else()
    cmake_language(DEFER CALL rekasto_add_shell_tests)
  endif()
endif()
