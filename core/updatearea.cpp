#include "updatearea.h"

#include "versions.h"

namespace UpdateArea {

bool isSafeName(const QString &name)
{
    return !name.isEmpty() && name != QLatin1String(".") && name != QLatin1String("..")
        && !name.contains(QLatin1Char('/')) && !name.contains(QLatin1Char('\\')) && !name.contains(QChar(0));
}

QString packageFileName(const QString &url)
{
    const QString name = url.mid(url.lastIndexOf(QLatin1Char('/')) + 1);
    return isSafeName(name) ? name : QString();
}

QString downloadDir(const QString &app, const QString &version)
{
    if (!isSafeName(app) || !isVersionText(version))
        return QString();
    return QStringLiteral("data/update/") + app + QLatin1Char('/') + version;
}

QString applicationRoot(const QString &dir)
{
    const QString marker = QStringLiteral("/data/update/");
    const int at = (dir + QLatin1Char('/')).lastIndexOf(marker);
    if (at < 0)
        return QString();
    return at == 0 ? QStringLiteral("/") : dir.left(at);
}

} // namespace UpdateArea
