#include "bridge/host.h"

#include "bridge/kavofactory.h"
#include "browser/browserwindow.h"

// The main program's creator tables, filled once at start-up.
bool Host::init()
{
    registerCreator(QStringLiteral("Window"), [] { return new BrowserWindow(); });
    // The window publishes these in order into every new script environment.
    registerWindowObject(QStringLiteral("KavoFactory"), [](BrowserWindow *) { return new KavoFactory(); });
    return true;
}
