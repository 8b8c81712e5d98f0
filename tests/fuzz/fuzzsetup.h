#pragma once

// Shared set-up of the fuzz targets: one quiet Qt application per process, with its HOME, XDG
// folders and every file the target writes inside one private temporary folder.

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLoggingCategory>
#include <QStandardPaths>
#include <QTemporaryDir>

#include <cstdint>
#include <cstdlib>

#include <fcntl.h>
#include <unistd.h>

namespace fuzz {

// In memory where the machine has a tmpfs: the targets write and sync a file per input, and a
// sync on a disk costs more than everything the parsers do with it.
inline QString scratchRoot()
{
    const QFileInfo shm(QStringLiteral("/dev/shm"));
    return shm.isDir() && shm.isWritable() ? shm.filePath() : QDir::tempPath();
}

inline QTemporaryDir &workDir()
{
    static QTemporaryDir dir(scratchRoot() + QStringLiteral("/kavo-fuzz-XXXXXX"));
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

// Plain system calls: a QFile per input would cost its buffers on every one of millions of runs.
inline bool writeInput(const QString &file, const uint8_t *data, size_t size)
{
    const int fd = ::open(QFile::encodeName(file).constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0)
        abort();
    size_t done = 0;
    while (done < size) {
        const ssize_t count = ::write(fd, data + done, size - done);
        if (count <= 0)
            break;
        done += size_t(count);
    }
    ::close(fd);
    return done == size;
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
