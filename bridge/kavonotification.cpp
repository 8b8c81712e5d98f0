#include "kavonotification.h"

#include "widgets/desktopalertwidget.h"
#include "browser/pageevent.h"

#include "browser/bridgelifetime.h"
#include "browser/browserwindow.h"
#include "core/config.h"

#include <algorithm>

KavoNotification::KavoNotification(BrowserWindow *window)
    : QObject(nullptr)
    , m_window(window)
{
}

// Pop-ups are windows of their own and stay up after a page reload; only the map goes.
KavoNotification::~KavoNotification() = default;

void KavoNotification::showNotification(int id, const QString &title, const QString &content)
{
    auto *alert = new DesktopAlertWidget(nullptr, DesktopAlertWidget::IconLinkLayout);
    connect(alert, &QObject::destroyed, this, qOverload<QObject *>(&KavoNotification::onNotifyDestory));
    connect(alert, &DesktopAlertWidget::runCmd, this, &KavoNotification::onRunCmd);
    hideNotification(id);
    m_notifications.insert(id, alert);
    // Task bars and window lists name the pop-up after the application the user knows.
    alert->setWindowTitle(appConfig().displayName());
    alert->setTitle(title);
    alert->setContent(content);
    alert->popUp();
}

void KavoNotification::hideNotification(int id)
{
    DesktopAlertWidget *alert = m_notifications.take(id);
    if (!alert)
        return;
    // Gone from the desktop at once, so a pop-up replacing it takes its place in the stack
    // instead of resting above a hole.
    alert->hide();
    alert->deleteLater();
}

void KavoNotification::onNotifyDestory(QObject *obj)
{
    for (auto it = m_notifications.begin(); it != m_notifications.end(); ++it) {
        if (it.value() == obj) {
            m_notifications.erase(it);
            return;
        }
    }
}

void KavoNotification::onNotifyDestory()
{
}

void KavoNotification::onRunCmd(int cmd)
{
    if (cmd != DesktopAlertWidget::LinkCommand)
        return;
    QObject *source = sender();
    auto it = std::find_if(m_notifications.cbegin(), m_notifications.cend(),
                           [source](const DesktopAlertWidget *alert) { return alert == source; });
    if (it == m_notifications.cend() || !m_window || BridgeLifetime::isRetired(this))
        return;
    const int id = it.key();
    m_window->showNormal();
    m_window->raise();
    m_window->activateWindow();
    m_window->raiseEvent(PageEvent::deviceNotification(id));
}
