#include "pagemanager.h"

#include "browserwindow.h"

#include "core/config.h"

#include <utility>

namespace {
QList<BrowserWindow *> &registry()
{
    static QList<BrowserWindow *> windows;
    return windows;
}
} // namespace

QString PageManager::mainWindowName()
{
    return QStringLiteral("Kavo_Browser_Main_Window");
}

BrowserWindow *PageManager::mainWindow()
{
    if (!isAppMode())
        return nullptr;
    for (BrowserWindow *window : std::as_const(registry())) {
        if (window->accessibleName() == mainWindowName())
            return window;
    }
    return nullptr;
}

BrowserWindow *PageManager::createMainWindow(const QUrl &url, QWidget *parent, Qt::WindowFlags flags)
{
    if (!isAppMode() || mainWindow())
        return nullptr;
    BrowserWindow *window = createWindow(url, parent, flags);
    window->setAccessibleName(mainWindowName());
    return window;
}

BrowserWindow *PageManager::createWindow(const QUrl &url, QWidget *parent, Qt::WindowFlags flags)
{
    BrowserWindow *window = (url.isEmpty() || !url.isValid()) ? new BrowserWindow(parent, flags)
                                                               : new BrowserWindow(url, parent, flags);
    registry().append(window);
    return window;
}

BrowserWindow *PageManager::createPageWindow()
{
    BrowserWindow *window = createWindow(QUrl(), nullptr, Qt::WindowFlags());
    window->setTitleFollowsPage(true);
    return window;
}

void PageManager::removeWindow(BrowserWindow *window)
{
    if (!window)
        return;
    window->deleteLater();
    registry().removeOne(window);
}

void PageManager::closeAll()
{
    const QList<BrowserWindow *> windows = registry();
    registry().clear();
    qDeleteAll(windows);
}

QList<BrowserWindow *> PageManager::windows()
{
    return registry();
}
