#pragma once

#include "bridge/kavoupdate.h"
#include "httpserver/httpserver.h"
#include "shell/singleinstance.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QString>

class IMInterface;
class NetworkAccessManager;
class BrowserWindow;
class TrayIcon;

// The main program's application object: its start-up fixes the process-wide state (codec,
// creator table, configuration, instance guard, plug-ins, style sheet, installation check,
// server, first window) and completes the hand-over from the updater.
class BrowserApplication : public QApplication
{
    Q_OBJECT
    Q_DISABLE_COPY(BrowserApplication)
public:
    BrowserApplication(int &argc, char **argv);
    ~BrowserApplication() override;

    // The start-up sequence; false after the failing step's message.
    bool init();
    // The exit code of a start that init() ended: 0 when a running instance took it over.
    int failedStartExitCode() const { return m_failedStartExitCode; }

    QString webRoot() const { return m_webRoot; }
    IMInterface *imInterface() const { return m_imInterface; }
    static NetworkAccessManager *networkAccessManager();
    HttpServer &httpServer() { return m_httpServer; }
    BrowserWindow *firstWindow() const;
    TrayIcon *trayIcon() const { return m_trayIcon; }
    // Application mode: the tray icon with its menu, icon, tool tip and requests; nothing otherwise.
    void createTrayIcon();
    // Whether the tray icon is there for a hidden main window to come back from.
    bool trayIconReachable() const;

public slots:
    // What the tray icon of application mode asks for.
    void onOpenMainWindow();
    void onClearCache();
    void onExitApp();
    void onTrayIconActivated(QSystemTrayIcon::ActivationReason reason);

    // A later start asked for this instance: its main window comes to the front.
    void bringMainWindowToFront();

public:
    // The instance guard's key for the configured application and the current user.
    static QString singleInstanceKey();
    // The configured Port of qt.conf, 58899 by default.
    static quint16 serverPort();

private:
    bool loadAppConfig();
    bool startServer();
    void warnAboutPlainOrigins();
    bool ensureSingleInstance();
    void loadPlugins();
    bool checkUpdater();
    bool resumePendingUpdate();
    void checkMainExecutable();
    void createFirstWindow();
    void onLastWindowClosed();
    void handleEndOfUpdate();
    void quitOnSignals();
    void traceStartup(const char *what);

    IMInterface *m_imInterface = nullptr;
    HttpServer m_httpServer;
    SingleInstance m_singleInstance;
    QString m_webRoot;
    QPointer<BrowserWindow> m_firstWindow;
    TrayIcon *m_trayIcon = nullptr;
    QElapsedTimer m_startClock;
    // The last click on the tray icon, and whether it showed the hidden or minimised window.
    QElapsedTimer m_trayClick;
    bool m_trayClickShowedWindow = false;
    KavoUpdate::EndedUpdate m_repairedUpdate;
    int m_failedStartExitCode = -1;
};
