#include "windowlist.h"

#include <QGuiApplication>

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>

#include <memory>

namespace {

// Windows can vanish while they are walked; their BadWindow errors are expected, not fatal.
int ignoreXError(Display *, XErrorEvent *)
{
    return 0;
}

struct DisplayCloser {
    void operator()(Display *display) const { XCloseDisplay(display); }
};

// The values of a 32-bit list property, empty when the window has none of that type.
QVector<unsigned long> listProperty(Display *display, Window window, Atom property, Atom type)
{
    Atom actualType = None;
    int actualFormat = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char *data = nullptr;
    QVector<unsigned long> values;
    if (XGetWindowProperty(display, window, property, 0, 4096, False, type, &actualType, &actualFormat, &count,
                           &remaining, &data)
            == Success
        && data) {
        if (actualType == type && actualFormat == 32) {
            const auto *items = reinterpret_cast<const unsigned long *>(data);
            values.reserve(int(count));
            for (unsigned long i = 0; i < count; ++i)
                values.append(items[i]);
        }
        XFree(data);
    }
    return values;
}

// Bottom-to-top order: the window manager's client list when there is one, else the root's children.
QVector<unsigned long> stackingOrder(Display *display, Window root)
{
    const Atom clientList = XInternAtom(display, "_NET_CLIENT_LIST_STACKING", False);
    QVector<unsigned long> windows = listProperty(display, root, clientList, XA_WINDOW);
    if (!windows.isEmpty())
        return windows;
    Window rootReturn = 0;
    Window parent = 0;
    Window *children = nullptr;
    unsigned int count = 0;
    if (XQueryTree(display, root, &rootReturn, &parent, &children, &count) && children) {
        for (unsigned int i = 0; i < count; ++i)
            windows.append(children[i]);
        XFree(children);
    }
    return windows;
}

bool isMinimised(Display *display, Window window)
{
    const Atom state = XInternAtom(display, "_NET_WM_STATE", False);
    const Atom hidden = XInternAtom(display, "_NET_WM_STATE_HIDDEN", False);
    if (listProperty(display, window, state, XA_ATOM).contains(hidden))
        return true;
    const Atom wmState = XInternAtom(display, "WM_STATE", False);
    const QVector<unsigned long> icccm = listProperty(display, window, wmState, wmState);
    return !icccm.isEmpty() && icccm.first() == IconicState;
}

} // namespace

QVector<QRect> topLevelWindowRects(WId exclude)
{
    QVector<QRect> rects;
    if (QGuiApplication::platformName() != QLatin1String("xcb"))
        return rects;
    std::unique_ptr<Display, DisplayCloser> display(XOpenDisplay(nullptr));
    if (!display)
        return rects;
    Display *d = display.get();
    const auto previousHandler = XSetErrorHandler(ignoreXError);
    const Window root = DefaultRootWindow(d);
    const Atom frameExtents = XInternAtom(d, "_NET_FRAME_EXTENTS", False);

    const QVector<unsigned long> order = stackingOrder(d, root);
    for (int i = order.size() - 1; i >= 0; --i) {
        const Window window = order.at(i);
        if (window == Window(exclude))
            continue;
        XWindowAttributes attributes;
        if (!XGetWindowAttributes(d, window, &attributes))
            continue;
        if (attributes.c_class == InputOnly || attributes.map_state != IsViewable || isMinimised(d, window))
            continue;
        int x = 0;
        int y = 0;
        Window child = 0;
        if (!XTranslateCoordinates(d, window, root, 0, 0, &x, &y, &child))
            continue;
        QRect rect(x, y, attributes.width, attributes.height);
        const QVector<unsigned long> frame = listProperty(d, window, frameExtents, XA_CARDINAL);
        if (frame.size() == 4)
            rect.adjust(-int(frame[0]), -int(frame[2]), int(frame[1]), int(frame[3]));
        if (rect.isValid())
            rects.append(rect);
    }
    XSync(d, False);
    XSetErrorHandler(previousHandler);
    return rects;
}
