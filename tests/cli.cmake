# The pelvane tool: its own pieces (hex, packets, names, JSON, line editor) as
# unit tests, the commands end to end against the virtual reader, and the
# quick-start example of the Windows guide compiled and run on Linux.
# (Native only: the pieces are portable, and a Windows test binary could not run here.)
if(TARGET pelvane_tool_core AND NOT WIN32)
  add_executable(pelvane_tool_tests ${PROJECT_SOURCE_DIR}/tools/tests/tool_test.cpp)
  target_link_libraries(pelvane_tool_tests PRIVATE pelvane_tool_core ${PELVANE_GTEST})
  target_include_directories(pelvane_tool_tests PRIVATE ${CMAKE_CURRENT_LIST_DIR})
  set_target_properties(pelvane_tool_tests PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  add_test(NAME pelvane_tool_tests COMMAND pelvane_tool_tests)
endif()

# The example links the shipped library only, as a host application does.
add_executable(quickstart ${PROJECT_SOURCE_DIR}/examples/c/quickstart.c)
target_link_libraries(quickstart PRIVATE pelvane)
set_target_properties(quickstart PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)

if(NOT WIN32 AND TARGET pelvane_cli)
  set(PELVANE_CLI_TEST ${CMAKE_CURRENT_LIST_DIR}/integration/cli_test.sh)
  add_test(NAME cli COMMAND bash ${PELVANE_CLI_TEST} tool $<TARGET_FILE:pelvane_cli>)
  set_tests_properties(cli PROPERTIES TIMEOUT 300)
  if(TARGET pelvane-sim)
    add_test(NAME cli_device COMMAND bash ${PELVANE_CLI_TEST} device $<TARGET_FILE:pelvane_cli> $<TARGET_FILE:pelvane-sim>)
    set_tests_properties(cli_device PROPERTIES TIMEOUT 120)
    add_test(NAME cli_quickstart
             COMMAND bash ${PELVANE_CLI_TEST} quickstart $<TARGET_FILE:quickstart> $<TARGET_FILE:pelvane-sim>
                     $<TARGET_FILE:pelvane>)
    set_tests_properties(cli_quickstart PROPERTIES TIMEOUT 60)
  endif()
endif()
