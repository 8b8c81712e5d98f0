#include "updater/consent.h"

#include "widgets/desktopalertwidget.h"
#include "core/messagebox.h"
#include "core/testswitches.h"

#include <QTimer>

#include <cstdio>

QObject *showUpdateConsent(const QString &title, const QString &text, QObject *context,
                           const std::function<void(int)> &answer)
{
    if (isNonInteractive() && TestSwitches::isSet(TestSwitches::UpdateConsent)) {
        const QByteArray line = (title + QStringLiteral(": ") + text + QLatin1Char('\n')).toUtf8();
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
        const int cmd = TestSwitches::value(TestSwitches::UpdateConsent) == "yes" ? 0 : 1;
        QTimer::singleShot(0, context, [answer, cmd] { answer(cmd); });
        return nullptr;
    }
    // Layout 0 carries the "立刻升级" button and never fades out by itself.
    auto *alert = new DesktopAlertWidget(nullptr, DesktopAlertWidget::ActionButtonLayout);
    alert->setTitle(title);
    alert->setContent(text);
    QObject::connect(alert, &DesktopAlertWidget::runCmd, context, [answer](int cmd) { answer(cmd); });
    alert->popUp();
    return alert;
}
