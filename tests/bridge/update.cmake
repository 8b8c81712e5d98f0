# Update client.
kavo_add_test(tst_kavoupdate SOURCES tst_kavoupdate.cpp LIBS kavo_bridge)
kavo_add_test(tst_kavoupdatepage SOURCES tst_kavoupdatepage.cpp eventpage.h LIBS kavo_shell)
