# Long run of the table-history properties. With tests built, tests/paradox/history.cmake
# already defines it (sharing the simulator library); otherwise it is built here.
if(NOT TARGET sim_long)
  add_library(paradox_sim STATIC ${CMAKE_SOURCE_DIR}/tests/paradox/table_history.cpp
    ${CMAKE_SOURCE_DIR}/tests/paradox/table_properties.cpp)
  target_link_libraries(paradox_sim PUBLIC paradox)
  target_include_directories(paradox_sim PUBLIC ${CMAKE_SOURCE_DIR}/tests/paradox)
  add_executable(sim_long ${CMAKE_CURRENT_LIST_DIR}/sim_long.cpp)
  target_link_libraries(sim_long PRIVATE paradox_sim)
endif()
