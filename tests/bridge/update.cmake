# Update client.
kavo_add_test(tst_kavoupdate SOURCES tst_kavoupdate.cpp LIBS kavo_bridge)
# A directory of its own: the test lays stand-in updaters beside the program.
set_target_properties(tst_kavoupdate PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/kavoupdate)
# Pages against the real updater, which is copied beside this program and reads a qt.conf there.
kavo_add_test(tst_kavoupdatepage SOURCES tst_kavoupdatepage.cpp eventpage.h LIBS kavo_shell LABELS blackbox
              TIMEOUT 600)
set_target_properties(tst_kavoupdatepage PROPERTIES RUNTIME_OUTPUT_DIRECTORY ${CMAKE_BINARY_DIR}/tests/kavoupdatepage)
add_dependencies(tst_kavoupdatepage Kavo.Update)
