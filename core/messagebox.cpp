#include "messagebox.h"

#include <QMessageBox>

#include <cstdio>

bool isNonInteractive()
{
    return qEnvironmentVariable("KAVO_NONINTERACTIVE") == QLatin1String("1");
}

namespace {
void showMessage(QMessageBox::Icon icon, const QString &title, const QString &text)
{
    if (isNonInteractive()) {
        const QByteArray line = (title + QStringLiteral(": ") + text + QLatin1Char('\n')).toUtf8();
        std::fwrite(line.constData(), 1, size_t(line.size()), stderr);
        std::fflush(stderr);
        return;
    }
    QMessageBox box(icon, title, text, QMessageBox::Ok);
    box.setDefaultButton(QMessageBox::Ok);
    box.exec();
}
} // namespace

void showCriticalMessage(const QString &title, const QString &text)
{
    showMessage(QMessageBox::Critical, title, text);
}

void showInformationMessage(const QString &title, const QString &text)
{
    showMessage(QMessageBox::Information, title, text);
}
