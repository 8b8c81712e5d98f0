#include "pluginloader.h"

#include "iminterface.h"

#include "core/fileutils.h"

#include <QDir>
#include <QFileInfo>
#include <QPluginLoader>

QString pluginSearchDir(const QString &applicationDir)
{
    // Plain path arithmetic: the folders above need not be readable.
    const auto parent = [](const QString &path) { return QFileInfo(path).path(); };
    const auto name = [](const QString &path) { return QFileInfo(path).fileName().toLower(); };
    QString dir = QDir::cleanPath(applicationDir);
    if (name(dir) == QLatin1String("kavo.v5"))
        dir = parent(dir);
    if (name(dir) == QLatin1String("debug") || name(dir) == QLatin1String("release"))
        dir = parent(parent(dir));
    return dir;
}

IMInterface *loadImPlugins(const QString &folder)
{
    IMInterface *found = nullptr;
    const QStringList files = listFiles(folder);
    for (const QString &file : files) {
        if (!file.startsWith(QLatin1String("Kavo.")))
            continue;
        QPluginLoader loader(QDir(folder).absoluteFilePath(file));
        if (QObject *instance = loader.instance())
            found = qobject_cast<IMInterface *>(instance);
    }
    return found;
}
