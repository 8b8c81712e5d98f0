# Factory, client database and remote data.
kavo_add_test(tst_clientdb SOURCES tst_clientdb.cpp LIBS kavo_bridge Qt::Sql)
kavo_add_test(tst_remotedata SOURCES tst_remotedata.cpp loopbackhttpserver.h LIBS kavo_bridge Qt::Qml)
kavo_add_test(tst_kavofactory SOURCES tst_kavofactory.cpp LIBS kavo_bridge)
kavo_add_test(tst_demonotes SOURCES tst_demonotes.cpp LIBS kavo_bridge)
kavo_add_test(tst_remotedatapage SOURCES tst_remotedatapage.cpp loopbackhttpserver.h LIBS kavo_bridge)
kavo_add_test(tst_kavodevice SOURCES tst_kavodevice.cpp loopbackhttpserver.h
              LIBS kavo_shell kavo_httpserver)
kavo_add_test(tst_trustedorigins SOURCES tst_trustedorigins.cpp loopbackhttpserver.h
              LIBS kavo_shell kavo_httpserver)
