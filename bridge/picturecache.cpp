#include "picturecache.h"

#include "core/fileutils.h"
#include "core/config.h"

#include <QDir>
#include <QFileInfo>
#include <QImageReader>
#include <QImageWriter>
#include <QSaveFile>
#include <QTransform>
#include <QUrl>

#include <atomic>
#include <cmath>

namespace {
std::atomic<int> pictureCounter{0};

bool canWrite(const QByteArray &format)
{
    return QImageWriter::supportedImageFormats().contains(format.toLower());
}
} // namespace

PictureCache::PictureCache()
    : m_folder(QDir::cleanPath(applicationDir() + QStringLiteral("/data/") + appConfig().name() + QStringLiteral("/_pictures")))
{
}

PictureCache::PictureCache(const QString &folder)
    : m_folder(QDir::cleanPath(absolutePath(folder)))
{
}

QString PictureCache::folder() const
{
    makeDir(m_folder);
    return m_folder;
}

void PictureCache::resetCounter()
{
    pictureCounter = 0;
}

QString PictureCache::nextName(const QString &suffix) const
{
    const QDir dir(folder());
    // The counter restarts with each run while the folder keeps earlier pictures.
    for (;;) {
        const QString name = QStringLiteral("picCache_%1.%2").arg(pictureCounter++).arg(suffix.toLower());
        if (!QFileInfo::exists(dir.filePath(name)))
            return name;
    }
}

QString PictureCache::resolve(const QString &picUrl) const
{
    const QString name = picUrl.mid(picUrl.lastIndexOf(QLatin1Char('/')) + 1);
    const int dot = name.lastIndexOf(QLatin1Char('.'));
    if (name.isEmpty() || dot < 0 || dot == name.size() - 1 || name == QLatin1String(".."))
        return QString();

    // What stands before the name: a URL's path or a local path.
    QString path = picUrl;
    const QUrl url(picUrl);
    if (url.isValid() && !url.scheme().isEmpty() && url.scheme().size() > 1)
        path = url.isLocalFile() ? url.toLocalFile() : url.path();
    if (path.split(QLatin1Char('/')).contains(QStringLiteral("..")))
        return QString();
    const QString root = folder();
    const bool localPath = url.isLocalFile() || QDir::isAbsolutePath(picUrl);
    if (localPath && QFileInfo(path).absolutePath() != root
        && QFileInfo(QFileInfo(path).absolutePath()).canonicalFilePath() != QFileInfo(root).canonicalFilePath())
        return QString();

    const QString file = root + QLatin1Char('/') + name;
    const QFileInfo info(file);
    if (!info.isFile())
        return QString();
    // A link inside the folder that points elsewhere is not a cached picture.
    if (info.canonicalPath() != QFileInfo(root).canonicalFilePath())
        return QString();
    return file;
}

bool PictureCache::save(const QImage &image, const QString &name, const char *format, int quality) const
{
    if (image.isNull())
        return false;
    QSaveFile file(folder() + QLatin1Char('/') + name);
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly))
        return false;
    if (!image.save(&file, format, quality)) {
        file.cancelWriting();
        return false;
    }
    return file.commit();
}

QSize PictureCache::compressedSize(const QSize &size, const QSize &box)
{
    if (size.width() <= box.width() && size.height() <= box.height())
        return size;
    const double factor = std::min(double(box.height()) / size.height(), double(box.width()) / size.width());
    return QSize(int(factor * size.width()), int(factor * size.height()));
}

bool PictureCache::import(const QString &sourcePath, const QSize &compressSize, int quality, QString *name) const
{
    QString suffix = QFileInfo(sourcePath).fileName();
    suffix = suffix.mid(suffix.lastIndexOf(QLatin1Char('.')) + 1).toLower();
    // Formats Qt reads but cannot write (gif) are stored as png instead of failing every time.
    if (!canWrite(suffix.toLatin1()))
        suffix = QStringLiteral("png");
    *name = nextName(suffix);

    QImage image(sourcePath);
    if (image.isNull())
        return false;
    const QSize target = compressedSize(image.size(), compressSize);
    if (target != image.size())
        image = image.scaled(target, Qt::IgnoreAspectRatio, Qt::FastTransformation);
    return save(image, *name, suffix.toLatin1().constData(), quality);
}

PictureCache::RotateResult PictureCache::rotate(const QString &path, float angle, int quality) const
{
    if (path.isEmpty() || !QFileInfo(path).isFile())
        return NotFound;
    const QString name = QFileInfo(path).fileName();
    const QByteArray format = name.mid(name.lastIndexOf(QLatin1Char('.')) + 1).toLower().toLatin1();
    QImage image(path);
    if (image.isNull())
        return Unreadable;
    if (std::fabs(angle) > 0.01f)
        image = image.transformed(QTransform().rotate(angle), Qt::FastTransformation);
    // The original stays in place until the rotated picture is completely written.
    return save(image, name, format.constData(), quality) ? Rotated : SaveFailed;
}

void PictureCache::clear() const
{
    QDir dir(folder());
    const QFileInfoList entries = dir.entryInfoList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System);
    for (const QFileInfo &entry : entries) {
        if (entry.isDir() && !entry.isSymLink())
            QDir(entry.filePath()).removeRecursively();
        else
            QFile::remove(entry.filePath());
    }
}
