#pragma once

#include <QByteArray>
#include <QFile>
#include <QObject>
#include <QString>
#include <QStringList>

// Stateless file and folder helpers. Every path may be absolute or relative to the
// program's own directory (never the working directory).
QString applicationDir();
QString absolutePath(const QString &path);

QByteArray readFileBytes(const QString &path);
// Reads an open file to its end into bytes, unless it holds more than limit bytes: checked
// before reading and again on what was read, so a file that grows meanwhile is refused too.
bool readAtMost(QFile &file, qint64 limit, QByteArray *bytes);
bool writeFileBytes(const QByteArray &data, const QString &path, bool overwrite);
// Writes text to "<path>.part", syncs it and renames it over path, so a kill or a crash leaves
// the old file or the new one, never a part; the partial file is removed when it fails.
bool replaceDurably(const QString &path, const QByteArray &text);
bool makeDir(const QString &path);
QStringList listFiles(const QString &folder);
bool copyFile(const QString &source, const QString &target);
bool removeFile(const QString &path);
void removeDir(const QString &path);
void sleepMs(int milliseconds);

// Script-visible home of the existence test.
class FileUtils : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(FileUtils)
public:
    explicit FileUtils(QObject *parent = nullptr)
        : QObject(parent)
    {
    }
    Q_INVOKABLE static bool exists(const QString &fileName);
};
