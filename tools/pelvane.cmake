# The pelvane command-line tool: build/native/pelvane, and cross-built
# build/win32/pelvane.exe next to pelvane.dll. It reaches the reader through the
# shared library's exports only.
set(PELVANE_TOOL_SOURCES
  ${CMAKE_CURRENT_LIST_DIR}/main.cpp
  ${CMAKE_CURRENT_LIST_DIR}/cli.cpp
  ${CMAKE_CURRENT_LIST_DIR}/card_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/peer_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/raw_commands.cpp
  ${CMAKE_CURRENT_LIST_DIR}/shell.cpp
  ${CMAKE_CURRENT_LIST_DIR}/demo.cpp
  ${CMAKE_CURRENT_LIST_DIR}/reader.cpp
  ${CMAKE_CURRENT_LIST_DIR}/virtual_reader.cpp)

# The parts that talk to no reader, shared with the tool's tests.
add_library(pelvane_tool_core STATIC
  ${CMAKE_CURRENT_LIST_DIR}/hex.cpp
  ${CMAKE_CURRENT_LIST_DIR}/json.cpp
  ${CMAKE_CURRENT_LIST_DIR}/names.cpp
  ${CMAKE_CURRENT_LIST_DIR}/packets.cpp
  ${CMAKE_CURRENT_LIST_DIR}/output.cpp
  ${CMAKE_CURRENT_LIST_DIR}/line_editor.cpp
  ${CMAKE_CURRENT_LIST_DIR}/terminal.cpp
  ${CMAKE_CURRENT_LIST_DIR}/port_list.cpp)
target_include_directories(pelvane_tool_core PUBLIC ${CMAKE_CURRENT_LIST_DIR})
if(WIN32)
  target_link_libraries(pelvane_tool_core PUBLIC setupapi)
endif()

add_executable(pelvane_cli ${PELVANE_TOOL_SOURCES})
set_target_properties(pelvane_cli PROPERTIES OUTPUT_NAME pelvane)
target_link_libraries(pelvane_cli PRIVATE pelvane_tool_core pelvane)
target_include_directories(pelvane_cli PRIVATE ${PELVANE_VERSION_INCLUDE})
if(WIN32)
  target_sources(pelvane_cli PRIVATE ${PROJECT_SOURCE_DIR}/src/api/pelvane.rc)
  target_compile_definitions(pelvane_cli PRIVATE PELVANE_RC_TOOL)
endif()

if(WIN32)
  # CLI11 is header-only and lives in /usr/include; expose that one folder, so
  # no other Linux header can reach the MinGW build.
  set(PELVANE_CLI11_DIR ${CMAKE_BINARY_DIR}/cli11-include)
  file(MAKE_DIRECTORY ${PELVANE_CLI11_DIR})
  if(NOT EXISTS ${PELVANE_CLI11_DIR}/CLI)
    file(CREATE_LINK /usr/include/CLI ${PELVANE_CLI11_DIR}/CLI SYMBOLIC)
  endif()
  target_include_directories(pelvane_cli PRIVATE ${PELVANE_CLI11_DIR})
  # The virtual reader of --sim: the simulated controller on a named pipe.
  target_link_libraries(pelvane_cli PRIVATE pelvsim_pipe)
elseif(TARGET pelvsim_pty)
  # The virtual reader of --sim: the simulated controller on a pseudo-terminal.
  target_link_libraries(pelvane_cli PRIVATE pelvsim_pty)
else()
  target_compile_definitions(pelvane_cli PRIVATE PELVANE_TOOL_NO_VIRTUAL_READER)
  target_link_libraries(pelvane_cli PRIVATE pelvsim)
endif()
