# One booted Wine prefix per ctest run, removed at its end; every Windows test copies it
# into a fresh prefix of its own (tests/wine/run-under-wine.sh).
string(MD5 _vbx_build_hash "${CMAKE_BINARY_DIR}")
set(VBX_WINE_TEMPLATE /tmp/vbx-wine-template-${_vbx_build_hash})
set(VBX_WINE_RUNNER ${CMAKE_CURRENT_LIST_DIR}/run-under-wine.sh)
# The template carries the test controller, whose "desktop" command each run uses to wait
# for Wine's desktop before the program under test starts.
add_test(NAME wine_prefix_template
         COMMAND ${VBX_WINE_RUNNER} --make-template ${VBX_WINE_TEMPLATE} $<TARGET_FILE:vbx_sc_controller>)
set_tests_properties(wine_prefix_template PROPERTIES FIXTURES_SETUP wine_prefix TIMEOUT 300)
add_test(NAME wine_prefix_remove COMMAND ${VBX_WINE_RUNNER} --remove-template ${VBX_WINE_TEMPLATE})
set_tests_properties(wine_prefix_remove PROPERTIES FIXTURES_CLEANUP wine_prefix)
