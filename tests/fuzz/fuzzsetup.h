#pragma once

// Shared set-up of the fuzz targets: one quiet Qt application per process, with its HOME, XDG
// folders and every file the target writes inside one private temporary folder.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

namespace fuzz {

inline QTemporaryDir &workDir()
{
    static QTemporaryDir dir(QDir::tempPath() + QStringLiteral("/kavo-fuzz-XXXXXX"));
    return dir;
}

inline void setUp(int *argc, char ***argv)
{
    static bool done = false;
    if (done)
        return;
    done = true;
    qputenv("KAVO_NONINTERACTIVE", "1");
    qputenv("QT_QPA_PLATFORM", "offscreen");
    const QByteArray home = QFile::encodeName(workDir().path());
    qputenv("HOME", home);
    qputenv("XDG_DATA_HOME", home + "/data");
    qputenv("XDG_CONFIG_HOME", home + "/config");
    qputenv("XDG_CACHE_HOME", home + "/cache");
    // Millions of inputs: the parsers' diagnostics would cost more than the parsing.
    QLoggingCategory::setFilterRules(QStringLiteral("*.debug=false\n*.info=false\n*.warning=false\n*.critical=false"));
    static QCoreApplication app(*argc, *argv);
    QCoreApplication::setOrganizationName(QStringLiteral("KavoFuzz"));
    QCoreApplication::setApplicationName(QStringLiteral("KavoFuzz"));
}

inline QString path(const QString &name)
{
    return workDir().filePath(name);
}

inline bool writeInput(const QString &file, const uint8_t *data, size_t size)
{
    QFile out(file);
    if (!out.open(QIODevice::WriteOnly | QIODevice::Truncate))
        abort();
    return out.write(reinterpret_cast<const char *>(data), qint64(size)) == qint64(size);
}

inline QByteArray bytes(const uint8_t *data, size_t size)
{
    return QByteArray(reinterpret_cast<const char *>(data), int(size));
}

} // namespace fuzz

#define KAVO_FUZZ_SETUP                                                                                                \
    extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv)                                                     \
    {                                                                                                                  \
        fuzz::setUp(argc, argv);                                                                                       \
        return 0;                                                                                                      \
    }
