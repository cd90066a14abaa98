# Rebuild throughput beside `cp` of the same family (Google Benchmark).
find_package(benchmark REQUIRED)
add_executable(bench_rebuild ${CMAKE_CURRENT_LIST_DIR}/bench_rebuild.cpp)
target_link_libraries(bench_rebuild PRIVATE paradox benchmark::benchmark)
