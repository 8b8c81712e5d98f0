#include "startup.h"

#include <QCoreApplication>
#include <QLibraryInfo>
#include <QPointer>
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
#include <QTextCodec>
#endif
#include <QTranslator>

#include <clocale>
#include <csignal>

#include <langinfo.h>

void prepareLibraryPaths()
{
    const QByteArray systemPlugins(KAVO_QT_PLUGIN_DIR);
    QByteArray pluginPath = qgetenv("QT_PLUGIN_PATH");
    pluginPath = pluginPath.isEmpty() ? systemPlugins : pluginPath + ':' + systemPlugins;
    qputenv("QT_PLUGIN_PATH", pluginPath);
}

void ignoreLostOutput()
{
    std::signal(SIGPIPE, SIG_IGN);
}

void installSystemCodec()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 0, 0)
    QTextCodec::setCodecForLocale(QTextCodec::codecForName("UTF-8"));
#endif
    // Window titles reach the window manager through Xlib, which converts them by the C
    // library's character type: a session that names no locale would lose every Chinese title.
    if (qstrcmp(nl_langinfo(CODESET), "UTF-8") != 0)
        std::setlocale(LC_CTYPE, "C.UTF-8");
}

QLocale qtTranslationLocale(const QLocale &locale)
{
    if (locale.language() == QLocale::Chinese)
        return locale;
    return QLocale(QLocale::Chinese, QLocale::China);
}

bool installQtTranslations(const QLocale &locale)
{
    static QPointer<QTranslator> installed;
    if (installed) {
        QCoreApplication::removeTranslator(installed);
        delete installed;
    }
    auto *translator = new QTranslator(QCoreApplication::instance());
    // The program's own qt.conf moves Qt's prefix beside the program; the system's folder is
    // where Debian puts the translations.
    const QStringList folders = {QStringLiteral(KAVO_QT_TRANSLATIONS_DIR),
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
                                 QLibraryInfo::path(QLibraryInfo::TranslationsPath)};
#else
                                 QLibraryInfo::location(QLibraryInfo::TranslationsPath)};
#endif
    for (const QString &folder : folders) {
        if (translator->load(qtTranslationLocale(locale), QStringLiteral("qt"), QStringLiteral("_"), folder)) {
            QCoreApplication::installTranslator(translator);
            installed = translator;
            return true;
        }
    }
    delete translator;
    return false;
}

bool installQtTranslations()
{
    return installQtTranslations(QLocale::system());
}
