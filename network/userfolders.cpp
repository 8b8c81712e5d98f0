#include "userfolders.h"

#include "core/updatearea.h"

#include <QCoreApplication>
#include <QDir>
#include <QStandardPaths>

namespace {
QString &application()
{
    static QString name;
    return name;
}

QString below(const QString &base)
{
    return application().isEmpty() ? base : base + QLatin1Char('/') + application();
}
} // namespace

namespace UserFolders {

void setApplication(const QString &name)
{
    application() = UpdateArea::isSafeName(name) ? name : QString();
}

QString data()
{
    QString directory = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    if (directory.isEmpty())
        directory = QDir::homePath() + QStringLiteral("/.") + QCoreApplication::applicationName();
    return below(directory);
}

QString cache()
{
    return below(QStandardPaths::writableLocation(QStandardPaths::CacheLocation));
}

} // namespace UserFolders
