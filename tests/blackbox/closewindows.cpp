// Asks every viewable top-level window of the display to close (WM_DELETE_WINDOW), as a window
// manager would: the root's own children, and under a window manager the clients inside its
// frames (those carrying WM_STATE; icons embedded in a tray have none). Prints how many it asked.
#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <cstdio>
#include <cstring>

namespace {
Atom protocols;
Atom deleteWindow;
Atom wmState;
int asked = 0;

bool hasProperty(Display *display, Window window, Atom property)
{
    Atom type = None;
    int format = 0;
    unsigned long items = 0, after = 0;
    unsigned char *data = nullptr;
    if (XGetWindowProperty(display, window, property, 0, 1, False, AnyPropertyType, &type, &format, &items, &after,
                           &data)
        != Success)
        return false;
    if (data)
        XFree(data);
    return type != None;
}

void askToClose(Display *display, Window window)
{
    Atom *supported = nullptr;
    int supportedCount = 0;
    if (!XGetWMProtocols(display, window, &supported, &supportedCount))
        return;
    XWindowAttributes attributes;
    XGetWindowAttributes(display, window, &attributes);
    for (int j = 0; j < supportedCount; ++j) {
        if (supported[j] != deleteWindow || attributes.map_state != IsViewable)
            continue;
        XEvent event;
        std::memset(&event, 0, sizeof event);
        event.xclient.type = ClientMessage;
        event.xclient.window = window;
        event.xclient.message_type = protocols;
        event.xclient.format = 32;
        event.xclient.data.l[0] = long(deleteWindow);
        event.xclient.data.l[1] = CurrentTime;
        XSendEvent(display, window, False, NoEventMask, &event);
        ++asked;
    }
    XFree(supported);
}

void visit(Display *display, Window parent, int depth)
{
    Window root = 0, up = 0, *children = nullptr;
    unsigned count = 0;
    if (!XQueryTree(display, parent, &root, &up, &children, &count))
        return;
    for (unsigned i = 0; i < count; ++i) {
        if (depth == 0 || hasProperty(display, children[i], wmState))
            askToClose(display, children[i]);
        if (depth < 3)
            visit(display, children[i], depth + 1);
    }
    if (children)
        XFree(children);
}
} // namespace

int main()
{
    Display *display = XOpenDisplay(nullptr);
    if (!display)
        return 1;
    protocols = XInternAtom(display, "WM_PROTOCOLS", False);
    deleteWindow = XInternAtom(display, "WM_DELETE_WINDOW", False);
    wmState = XInternAtom(display, "WM_STATE", False);
    visit(display, DefaultRootWindow(display), 0);
    XFlush(display);
    std::printf("asked %d\n", asked);
    XCloseDisplay(display);
    return 0;
}
