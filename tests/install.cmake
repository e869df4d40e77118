# The Linux install tree: `cmake --install` of this build, used by the examples
# through find_package and through pkg-config (tests/package/install_test.sh).
if(NOT WIN32 AND TARGET pelvane-sim AND TARGET pelvane_cli)
  foreach(mode cmake pkg-config)
    add_test(NAME install_${mode}
             COMMAND bash ${CMAKE_CURRENT_LIST_DIR}/package/install_test.sh ${mode} ${CMAKE_BINARY_DIR}
                     $<TARGET_FILE:pelvane-sim>)
    set_tests_properties(install_${mode} PROPERTIES TIMEOUT 180)
  endforeach()
endif()
