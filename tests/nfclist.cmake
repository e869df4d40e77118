# The simulated controller checked against libnfc's tools, one row per tool (a row whose
# tool is not installed is skipped; the test is skipped when every row is).
if(NOT WIN32 AND TARGET pelvane-sim)
  add_test(NAME nfc_list COMMAND ${CMAKE_CURRENT_SOURCE_DIR}/integration/nfc_list_test.sh $<TARGET_FILE:pelvane-sim>)
  set_tests_properties(nfc_list PROPERTIES SKIP_RETURN_CODE 77 TIMEOUT 120)
endif()
