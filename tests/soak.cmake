# The fault soak over a pseudo-terminal: the real POSIX serial code against the
# simulated controller injecting seeded random faults (tests/soak/soak.cpp).
# Not a ctest: it is timing-sensitive, so scripts/test.sh runs it as a step of
# its own with nothing beside it (build/native/tests/soak --help for options).
# soak-replay runs the same calls over the library on the simulated port and its
# virtual clock: `soak --replay-call N` starts it to show call N of a seeded run.
if(NOT WIN32 AND TARGET pelvsim_pty AND TARGET pelvane_static)
  set(PELVANE_SOAK_SOURCES
    ${CMAKE_CURRENT_LIST_DIR}/soak/soak.cpp ${CMAKE_CURRENT_LIST_DIR}/soak/calls.cpp
    ${CMAKE_CURRENT_LIST_DIR}/soak/oracle.cpp ${CMAKE_CURRENT_LIST_DIR}/soak/plan.cpp)
  add_executable(soak ${PELVANE_SOAK_SOURCES} ${CMAKE_CURRENT_LIST_DIR}/soak/pty_bench.cpp)
  target_link_libraries(soak PRIVATE pelvane_static pelvsim_pty)
  add_executable(soak-replay ${PELVANE_SOAK_SOURCES} ${CMAKE_CURRENT_LIST_DIR}/soak/virtual_bench.cpp)
  target_link_libraries(soak-replay PRIVATE pelvane_simcore pelvsim)
  foreach(t soak soak-replay)
    target_include_directories(${t} PRIVATE ${CMAKE_CURRENT_LIST_DIR})
    set_target_properties(${t} PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  endforeach()
  add_dependencies(soak soak-replay)
endif()
