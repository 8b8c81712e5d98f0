#pragma once

#include <QList>
#include <QObject>
#include <QUrl>

class BrowserWindow;

// The registry of open windows in creation order. The main window (application mode only) is
// the one carrying the accessible name "Kavo_Browser_Main_Window".
class PageManager : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(PageManager)
public:
    static QString mainWindowName();

    static BrowserWindow *mainWindow();
    static BrowserWindow *createMainWindow(const QUrl &url, QWidget *parent, Qt::WindowFlags flags);
    static BrowserWindow *createWindow(const QUrl &url, QWidget *parent, Qt::WindowFlags flags);
    // A window a page asked for, named after the page it shows.
    static BrowserWindow *createPageWindow();
    static void removeWindow(BrowserWindow *window);
    static void closeAll();
    static QList<BrowserWindow *> windows();

private:
    PageManager() = default;
};
