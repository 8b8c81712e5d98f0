#pragma once

#include <QSystemTrayIcon>

class QMenu;

// The application-mode tray icon. Its context menu asks the application to open the main window,
// clear the web caches or exit; the application carries the requests out.
class TrayIcon : public QSystemTrayIcon
{
    Q_OBJECT
    Q_DISABLE_COPY(TrayIcon)
public:
    TrayIcon();
    ~TrayIcon() override;

    QMenu *menu() const { return m_menu; }

signals:
    void openMainWindow();
    void clearCache();
    void exitApp();

private:
    QMenu *m_menu;
};
