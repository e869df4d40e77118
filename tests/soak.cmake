# The fault soak over a pseudo-terminal: the real POSIX serial code against the
# simulated controller injecting seeded random faults (tests/soak/soak.cpp).
# Label "soak"; run alone with: ctest -L soak --output-on-failure
if(NOT WIN32 AND TARGET pelvsim_pty AND TARGET pelvane_static)
  add_executable(soak ${CMAKE_CURRENT_LIST_DIR}/soak/soak.cpp)
  target_link_libraries(soak PRIVATE pelvane_static pelvsim_pty)
  target_include_directories(soak PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  set_target_properties(soak PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME soak COMMAND soak --seed 20261208 --commands 3000 --seconds 90)
  set_tests_properties(soak PROPERTIES LABELS soak TIMEOUT 240)
endif()
