# Shell tests: the application object and its default handler, the fatal start-up path, the
# window's stored layout and log, the dialogs seam, and the about picture's decoding.
# The window links the real utility library, as the program does.
add_executable(test_shell
  ${CMAKE_CURRENT_SOURCE_DIR}/shell_test_main.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/shell_rules_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/shell_layout_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/shell_about_test.cpp
  ${CMAKE_CURRENT_SOURCE_DIR}/shell_dialogs_test.cpp)
target_link_libraries(test_shell PRIVATE mainform tutil engine widgets GTest::gtest)
gtest_discover_tests(test_shell
  PROPERTIES ENVIRONMENT "QT_QPA_PLATFORM=offscreen" LABELS main
  DISCOVERY_TIMEOUT 60)

# The window on screens of several densities, one run per screen (Qt's offscreen platform
# reads the screen from data/screens): placement on the screen and the stand-in face.
# 192x2 is a dense screen the way X gives it to Qt (96 logical, device pixel ratio 2).
add_executable(test_placement ${CMAKE_CURRENT_SOURCE_DIR}/placement_test.cpp)
target_link_libraries(test_placement PRIVATE mainform tutil engine widgets Qt6::Test GTest::gtest)
foreach(screen 96 120 144 192 192x2 144small)
  string(REGEX MATCH "^[0-9]+" density ${screen})
  add_test(NAME placement_${screen} COMMAND test_placement)
  set_tests_properties(placement_${screen} PROPERTIES LABELS main ENVIRONMENT
    "QT_QPA_PLATFORM=offscreen:configfile=${CMAKE_CURRENT_SOURCE_DIR}/data/screens/screen-${screen}.json;REKASTO_TEST_DENSITY=${density}")
endforeach()

# The density on a real X display: Xvfb started with -dpi, with and without Xft.dpi among
# its resources; each probe a process of its own on the xcb platform.
find_program(XVFB_EXECUTABLE Xvfb REQUIRED)
add_executable(test_server_density ${CMAKE_CURRENT_SOURCE_DIR}/server_density_test.cpp)
target_compile_definitions(test_server_density PRIVATE XVFB_EXECUTABLE="${XVFB_EXECUTABLE}")
target_link_libraries(test_server_density PRIVATE
  mainform tutil engine widgets PkgConfig::XCB Qt6::Test GTest::gtest)
add_test(NAME server_density COMMAND test_server_density)
set_tests_properties(server_density PROPERTIES LABELS main)
