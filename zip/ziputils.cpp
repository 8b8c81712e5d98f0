#include "ziputils.h"

#include "zipdecompress.h"

#include "core/fileutils.h"

#include <QDir>

bool ZipUtils::unzip(const QString &zipPath, const QString &destination)
{
    ZipDecompress zip;
    if (zip.open(absolutePath(zipPath)) != 0)
        return false;
    // Unpacked beside the destination and swapped in only when whole: a damaged archive leaves
    // the old contents in place instead of half of the new ones.
    const QString target = absolutePath(destination);
    const QString staging = target + QStringLiteral(".unzipping");
    removeDir(staging);
    makeDir(staging);
    const int result = zip.extractAll(staging);
    zip.close();
    if (result != 0) {
        removeDir(staging);
        return false;
    }
    removeDir(target);
    return QDir().rename(staging, target);
}
