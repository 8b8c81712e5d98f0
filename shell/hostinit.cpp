#include "browser/host.h"

#include "bridge/clientdb.h"
#include "bridge/kavocamera.h"
#include "bridge/kavodevice.h"
#include "bridge/kavofactory.h"
#include "bridge/kavofile.h"
#include "bridge/kavonotification.h"
#include "bridge/kavoupdate.h"
#include "browser/browserwindow.h"

// The main program's creator tables, filled once at start-up.
bool Host::init()
{
    registerCreator(QStringLiteral("ClientDb"), [] { return new ClientDb(); });
    registerCreator(QStringLiteral("Window"), [] {
        auto *window = new BrowserWindow();
        window->setTitleFollowsPage(true);
        return window;
    });
    // The window publishes these in order into every new script environment.
    registerWindowObject(QStringLiteral("KavoFactory"), [](BrowserWindow *) { return new KavoFactory(); });
    registerWindowObject(QStringLiteral("KavoDevice"), [](BrowserWindow *window) { return new KavoDevice(window); });
    registerWindowObject(QStringLiteral("KavoFile"), [](BrowserWindow *window) { return new KavoFile(window); });
    registerWindowObject(QStringLiteral("KavoCamera"), [](BrowserWindow *window) { return new KavoCamera(window); });
    registerWindowObject(QStringLiteral("KavoUpdate"), [](BrowserWindow *window) { return new KavoUpdate(window); });
    registerWindowObject(QStringLiteral("KavoNotification"),
                         [](BrowserWindow *window) { return new KavoNotification(window); });
    return true;
}
