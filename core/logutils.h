#pragma once

#include <QObject>
#include <QString>

// Appends one-line records to a log file: open, write, close on every call under one
// process-wide lock, so lines of concurrent writers never interleave. A path ending in
// ".elf" names the file; any other path names the folder that holds "log.elf".
class LogUtils : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(LogUtils)
public:
    static void write(const QString &level, const QString &path, const QString &message);
    static void debug(const QString &path, const QString &message);
    static void info(const QString &path, const QString &message);
    static void warn(const QString &path, const QString &message);
    static void error(const QString &path, const QString &message);
    static void fatal(const QString &path, const QString &message);

    static QString logFilePath(const QString &path);
};
