# Ring 3: the Windows builds. tests/wine/run.sh checks the export and import
# tables and runs these programs (and unit_tests.exe) under Wine.
if(WIN32)
  # A host application that loads pelvane.dll at run time.
  add_executable(pelvane_host ${CMAKE_CURRENT_SOURCE_DIR}/wine/host.c)
  target_include_directories(pelvane_host PRIVATE ${PROJECT_SOURCE_DIR}/include)
  target_compile_definitions(pelvane_host PRIVATE PELVANE_STATIC)  # no import declarations
  add_dependencies(pelvane_host pelvane)
  # Tells whether this machine runs programs of the build's architecture.
  add_executable(pelvane_probe ${CMAKE_CURRENT_SOURCE_DIR}/wine/probe.c)
  # Links through the import library (never run).
  add_executable(pelvane_implib_client ${CMAKE_CURRENT_SOURCE_DIR}/wine/implib_client.c)
  target_link_libraries(pelvane_implib_client PRIVATE pelvane)
  set_target_properties(pelvane_host pelvane_probe pelvane_implib_client PROPERTIES
    RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests)
  set_target_properties(pelvane_host PROPERTIES OUTPUT_NAME host)
  set_target_properties(pelvane_probe PROPERTIES OUTPUT_NAME probe)
  set_target_properties(pelvane_implib_client PROPERTIES OUTPUT_NAME implib_client)
else()
  # libpelvane.so exports the C functions and the class members, nothing else.
  add_test(NAME library_exports
    COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/wine/check-exports.sh so $<TARGET_FILE:pelvane>)
endif()
