#include "updater/consent.h"

#include "bridge/messagebox.h"

#include <QMessageBox>
#include <QPushButton>
#include <QTimer>

#include <cstdio>

QObject *showUpdateConsent(const QString &title, const QString &text, QObject *context,
                           const std::function<void(int)> &answer)
{
    if (isNonInteractive() && qEnvironmentVariableIsSet("KAVO_UPDATE_CONSENT")) {
        const QByteArray line = (title + QStringLiteral(": ") + text + QLatin1Char('\n')).toUtf8();
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
        const int cmd = qEnvironmentVariable("KAVO_UPDATE_CONSENT") == QLatin1String("yes") ? 0 : 1;
        QTimer::singleShot(0, context, [answer, cmd] { answer(cmd); });
        return nullptr;
    }
    auto *box = new QMessageBox(QMessageBox::Question, title, text, QMessageBox::Close);
    box->setAttribute(Qt::WA_DeleteOnClose);
    QPushButton *now = box->addButton(QStringLiteral("立刻升级"), QMessageBox::AcceptRole);
    QObject::connect(box, &QMessageBox::buttonClicked, context,
                     [answer, now](QAbstractButton *button) { answer(button == now ? 0 : 1); });
    box->show();
    return box;
}
