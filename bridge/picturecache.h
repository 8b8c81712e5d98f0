#pragma once

#include <QImage>
#include <QSize>
#include <QString>

// The folder of pictures handed to pages. Names are generated as "picCache_N.suffix" from one
// process-wide counter and never name a file already there; every name a page gives back is
// confined to the folder. Saves go to a temporary file in the folder and are renamed into place,
// so a failure never leaves a half-written or lost picture.
class PictureCache
{
public:
    // The cache of the running application: application directory + "/data/" + Name + "/_pictures".
    PictureCache();
    explicit PictureCache(const QString &folder);

    // The folder, created with missing parents when absent.
    QString folder() const;

    // The next free name with the lower-cased suffix, advancing the counter.
    QString nextName(const QString &suffix) const;
    static void resetCounter();

    // The path inside the folder that a page's picture URL names, or empty when it names no file
    // there: the name is the text after the last "/"; a ".." segment or a local path outside the
    // folder is refused.
    QString resolve(const QString &picUrl) const;

    // Writes the image under name; false (and nothing left behind) on failure.
    bool save(const QImage &image, const QString &name, const char *format, int quality) const;

    // Import: scaled into the bounding box when larger, then stored under a new name. The name
    // is returned through name even on failure.
    bool import(const QString &sourcePath, const QSize &compressSize, int quality, QString *name) const;

    enum RotateResult { Rotated, NotFound, Unreadable, SaveFailed };
    RotateResult rotate(const QString &path, float angle, int quality) const;

    // Empties the folder, recursively.
    void clear() const;

    // Factor and size of the scaling into the bounding box; the size unchanged when it fits.
    static QSize compressedSize(const QSize &size, const QSize &box);

private:
    QString m_folder;
};
