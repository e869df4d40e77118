# The fault soak over a pseudo-terminal: the real POSIX serial code against the
# simulated controller injecting seeded random faults (tests/soak/soak.cpp).
# Not a ctest: it is timing-sensitive, so scripts/test.sh runs it as a step of
# its own with nothing beside it (build/native/tests/soak --help for options).
if(NOT WIN32 AND TARGET pelvsim_pty AND TARGET pelvane_static)
  add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak/soak.cpp)
  target_link_libraries(soak PRIVATE pelvane_static pelvsim_pty)
  target_include_directories(soak PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  set_target_properties(soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
endif()
