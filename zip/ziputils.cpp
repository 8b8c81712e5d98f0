#include "ziputils.h"

#include "zipdecompress.h"

#include "bridge/fileutils.h"

bool ZipUtils::unzip(const QString &zipPath, const QString &destination)
{
    ZipDecompress zip;
    if (zip.open(absolutePath(zipPath)) != 0)
        return false;
    removeDir(destination);
    makeDir(destination);
    const int result = zip.extractAll(absolutePath(destination));
    zip.close();
    return result == 0;
}
