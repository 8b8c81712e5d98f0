# Notifications, screen grab and pictures, file upload.
find_package(X11 REQUIRED)
kavo_add_test(tst_screengrab SOURCES tst_screengrab.cpp grabtesthelpers.h LIBS kavo_bridge)
kavo_add_test(tst_httpuploader SOURCES tst_httpuploader.cpp uploadserver.h LIBS kavo_bridge)
kavo_add_test(tst_picturecache SOURCES tst_picturecache.cpp LIBS kavo_bridge)
# Starts its own X server (xvfb-run) for the real screen and window list.
kavo_add_test(tst_screengrab_x11 SOURCES tst_screengrab_x11.cpp grabtesthelpers.h LIBS kavo_bridge TIMEOUT 120)
kavo_add_test(tst_kavofile SOURCES tst_kavofile.cpp eventpage.h uploadserver.h LIBS kavo_bridge)
kavo_add_test(tst_kavocamera SOURCES tst_kavocamera.cpp eventpage.h grabtesthelpers.h LIBS kavo_bridge)
kavo_add_test(tst_kavonotification SOURCES tst_kavonotification.cpp eventpage.h LIBS kavo_bridge)
kavo_add_test(tst_desktopobjects SOURCES tst_desktopobjects.cpp eventpage.h LIBS kavo_shell)
