# Big tables: verify beside cat, dump beside pxlib, rebuild beside cp -r + sync, peak RSS,
# by running the rekasto executable of this build tree.
find_package(PkgConfig)
if(PkgConfig_FOUND)
  pkg_check_modules(BENCH_BIG_PXLIB IMPORTED_TARGET pxlib)
endif()
add_executable(bench_big ${CMAKE_CURRENT_LIST_DIR}/bench_big.cpp)
target_link_libraries(bench_big PRIVATE paradox)
target_compile_definitions(bench_big PRIVATE REKASTO_CLI_PATH="$<TARGET_FILE:rekasto>")
add_dependencies(bench_big rekasto)
if(TARGET PkgConfig::BENCH_BIG_PXLIB)
  target_link_libraries(bench_big PRIVATE PkgConfig::BENCH_BIG_PXLIB)
  target_compile_definitions(bench_big PRIVATE REKASTO_HAVE_PXLIB=1)
endif()
