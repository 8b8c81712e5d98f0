#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>

class BrowserWindow;
class DesktopAlertWidget;

// Lets page script show and hide desktop pop-ups by a numeric id; a click on a pop-up's message
// brings the window to the front and raises "kavo.device.notification" with that id.
class KavoNotification : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(KavoNotification)
public:
    explicit KavoNotification(BrowserWindow *window);
    ~KavoNotification() override;

    DesktopAlertWidget *notification(int id) const { return m_notifications.value(id); }
    int count() const { return m_notifications.size(); }

public slots:
    void showNotification(int id, const QString &title, const QString &content);
    void hideNotification(int id);

private slots:
    void onNotifyDestory(QObject *obj);
    void onNotifyDestory();
    void onRunCmd(int cmd);

private:
    QHash<int, DesktopAlertWidget *> m_notifications;
    QPointer<BrowserWindow> m_window;
};
