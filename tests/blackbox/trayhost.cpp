// A minimal system tray for tests: owns the tray selection of the X screen, takes in every icon
// that asks to dock (reparenting it into its own window, as a tray does) and prints
// "dock" for each on standard output. Runs until it is ended.
#include <X11/Xlib.h>

#include <cstdio>

int main()
{
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return 1;
    const Window root = DefaultRootWindow(display);
    const Window tray = XCreateSimpleWindow(display, root, 0, 0, 64, 24, 0, 0, 0);
    const Atom selection = XInternAtom(display, "_NET_SYSTEM_TRAY_S0", False);
    const Atom opcode = XInternAtom(display, "_NET_SYSTEM_TRAY_OPCODE", False);
    XSetSelectionOwner(display, selection, tray, CurrentTime);
    if (XGetSelectionOwner(display, selection) != tray)
        return 2;
    XClientMessageEvent manager = {};
    manager.type = ClientMessage;
    manager.window = root;
    manager.message_type = XInternAtom(display, "MANAGER", False);
    manager.format = 32;
    manager.data.l[0] = CurrentTime;
    manager.data.l[1] = long(selection);
    manager.data.l[2] = long(tray);
    XSendEvent(display, root, False, StructureNotifyMask, reinterpret_cast<XEvent *>(&manager));
    XFlush(display);
    std::printf("ready\n");
    std::fflush(stdout);
    for (;;) {
        XEvent event;
        XNextEvent(display, &event);
        if (event.type != ClientMessage || event.xclient.message_type != opcode || event.xclient.data.l[1] != 0)
            continue;
        const Window icon = Window(event.xclient.data.l[2]);
        XReparentWindow(display, icon, tray, 0, 0);
        XMapWindow(display, icon);
        XFlush(display);
        std::printf("dock\n");
        std::fflush(stdout);
    }
}
