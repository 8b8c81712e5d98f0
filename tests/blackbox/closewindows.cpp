// Asks every mapped top-level window of the display to close (WM_DELETE_WINDOW), as a window
// manager would. Prints how many it asked.
#include <X11/Xlib.h>

#include <cstdio>
#include <cstring>

int main()
{
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return 1;
    const Atom protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    const Atom deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    Window root = 0, parent = 0, *children = nullptr;
    unsigned count = 0;
    XQueryTree(display, DefaultRootWindow(display), &root, &parent, &children, &count);
    int asked = 0;
    for (unsigned i = 0; i < count; ++i) {
        Atom *supported = nullptr;
        int supportedCount = 0;
        if (!XGetWMProtocols(display, children[i], &supported, &supportedCount))
            continue;
        XWindowAttributes attributes;
        XGetWindowAttributes(display, children[i], &attributes);
        for (int j = 0; j < supportedCount; ++j) {
            if (supported[j] != deleteWindow || attributes.map_state != IsViewable)
                continue;
            XEvent event;
            std::memset(&event, 0, sizeof event);
            event.xclient.type = ClientMessage;
            event.xclient.window = children[i];
            event.xclient.message_type = protocols;
            event.xclient.format = 32;
            event.xclient.data.l[0] = long(deleteWindow);
            event.xclient.data.l[1] = CurrentTime;
            XSendEvent(display, children[i], False, NoEventMask, &event);
            ++asked;
        }
        XFree(supported);
    }
    if (children)
        XFree(children);
    XFlush(display);
    std::printf("asked %d\n", asked);
    XCloseDisplay(display);
    return 0;
}
