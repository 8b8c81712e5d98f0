#include "stylesheet.h"

#include <QApplication>
#include <QFile>

bool loadStyleSheet()
{
    QFile file(QStringLiteral(":/images/defaultStyle"));
    if (!file.open(QIODevice::ReadOnly))
        return false;
    qApp->setStyleSheet(QString::fromUtf8(file.readAll()));
    return true;
}
