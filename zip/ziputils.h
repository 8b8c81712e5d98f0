#pragma once

#include <QObject>
#include <QString>

// One-call unpacking that replaces the destination directory with the archive's contents.
class ZipUtils : public QObject
{
    Q_OBJECT
    Q_DISABLE_COPY(ZipUtils)
public:
    static bool unzip(const QString &zipPath, const QString &destination);
};
