# The installer's decisions (which groups it installs, how it goes on when an index or
# a group fails), against a stand-in package tool: the machine is not touched.
if(NOT WIN32)
  add_test(NAME install_deps COMMAND bash ${CMAKE_CURRENT_SOURCE_DIR}/setup/install_deps_test.sh)
  set_tests_properties(install_deps PROPERTIES TIMEOUT 120)
endif()
