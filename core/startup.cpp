#include "startup.h"

#include <QCoreApplication>
#include <QTextCodec>

void prepareLibraryPaths()
{
    const QByteArray systemPlugins(KAVO_QT_PLUGIN_DIR);
    QByteArray pluginPath = qgetenv("QT_PLUGIN_PATH");
    pluginPath = pluginPath.isEmpty() ? systemPlugins : pluginPath + ':' + systemPlugins;
    qputenv("QT_PLUGIN_PATH", pluginPath);
}

void installSystemCodec()
{
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
}
