#include "ziputils.h"

#include "zipdecompress.h"

#include "core/fileutils.h"

#include <QDir>
#include <QFileInfo>

bool ZipUtils::unzip(const QString &zipPath, const QString &destination)
{
    ZipDecompress zip;
    if (zip.open(absolutePath(zipPath)) != 0)
        return false;
    // Unpacked beside the destination and swapped in only when whole: a damaged archive leaves
    // the old contents in place instead of half of the new ones. The destination is named
    // without a trailing "/", so the staging folder is its sibling, never its child.
    const QString target = QDir::cleanPath(absolutePath(destination));
    if (target.isEmpty() || target == QDir::rootPath())
        return false;
    const QString staging = target + QStringLiteral(".unzipping");
    const QString previous = target + QStringLiteral(".replaced");
    removeDir(staging);
    if (!makeDir(staging))
        return false;
    const int result = zip.extractAll(staging);
    zip.close();
    if (result != 0) {
        removeDir(staging);
        return false;
    }
    // The old contents step aside first and come back when the new ones cannot take their place.
    removeDir(previous);
    const QFileInfo old(target);
    const bool hadOld = old.exists() || old.isSymLink();
    if (hadOld && !QDir().rename(target, previous)) {
        removeDir(staging);
        return false;
    }
    if (!QDir().rename(staging, target)) {
        removeDir(staging);
        if (hadOld)
            QDir().rename(previous, target);
        return false;
    }
    removeDir(previous);
    return true;
}
