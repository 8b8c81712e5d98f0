#include "bridge/picturecache.h"

#include <QDateTime>
#include <QImage>
#include <QImageWriter>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// The smallest GIF: Qt reads it but has no writer for it.
const char tinyGif[] = "GIF89a\x01\x00\x01\x00\x80\x00\x00\xff\xff\xff\x00\x00\x00!\xf9\x04\x01\x00\x00\x00\x00,"
                       "\x00\x00\x00\x00\x01\x00\x01\x00\x00\x02\x02" "D\x01\x00;";

QImage quadrants(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(Qt::white);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, x < size.width() / 2 ? (y < size.height() / 2 ? qRgb(255, 0, 0) : qRgb(0, 255, 0))
                                                      : (y < size.height() / 2 ? qRgb(0, 0, 255) : qRgb(255, 255, 0)));
    return image;
}

void writeBytes(const QString &path, const QByteArray &data)
{
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly));
    file.write(data);
}

QByteArray readBytes(const QString &path)
{
    QFile file(path);
    file.open(QIODevice::ReadOnly);
    return file.readAll();
}

bool near(QRgb a, QRgb b)
{
    return qAbs(qRed(a) - qRed(b)) < 40 && qAbs(qGreen(a) - qGreen(b)) < 40 && qAbs(qBlue(a) - qBlue(b)) < 40;
}
} // namespace

class tst_PictureCache : public QObject
{
    Q_OBJECT
private slots:
    void init() { PictureCache::resetCounter(); }

    void folderIsCreatedOnLookup()
    {
        QTemporaryDir dir;
        PictureCache cache(dir.filePath(QStringLiteral("data/App/_pictures")));
        QVERIFY(!QFileInfo::exists(dir.filePath(QStringLiteral("data/App/_pictures"))));
        QCOMPARE(cache.folder(), dir.filePath(QStringLiteral("data/App/_pictures")));
        QVERIFY(QFileInfo(cache.folder()).isDir());
    }

    void firstNameOfARun()
    {
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        QCOMPARE(cache.nextName(QStringLiteral("png")), QStringLiteral("picCache_0.png"));
        QCOMPARE(cache.nextName(QStringLiteral("JPG")), QStringLiteral("picCache_1.jpg"));
    }

    void namesSkipPicturesOfEarlierRuns()
    {
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        writeBytes(dir.filePath(QStringLiteral("picCache_0.png")), "old");
        writeBytes(dir.filePath(QStringLiteral("picCache_1.png")), "old");
        writeBytes(dir.filePath(QStringLiteral("picCache_3.png")), "old");
        QCOMPARE(cache.nextName(QStringLiteral("png")), QStringLiteral("picCache_2.png"));
        QCOMPARE(cache.nextName(QStringLiteral("png")), QStringLiteral("picCache_4.png"));
        QCOMPARE(readBytes(dir.filePath(QStringLiteral("picCache_0.png"))), QByteArray("old"));
    }

    void importCompresses_data()
    {
        QTest::addColumn<QSize>("source");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QString>("suffix");
        QTest::addColumn<QSize>("stored");
        QTest::addColumn<QString>("storedSuffix");
        QTest::newRow("1600x1200 into the default box") << QSize(1600, 1200) << QSize(800, 600) << "png" << QSize(800, 600) << "png";
        QTest::newRow("400x300 unscaled") << QSize(400, 300) << QSize(800, 600) << "jpg" << QSize(400, 300) << "jpg";
        QTest::newRow("wide") << QSize(1000, 500) << QSize(800, 600) << "png" << QSize(800, 400) << "png";
        QTest::newRow("tall, truncated") << QSize(333, 1000) << QSize(800, 600) << "png" << QSize(199, 600) << "png";
        QTest::newRow("own box") << QSize(640, 480) << QSize(320, 320) << "JPG" << QSize(320, 240) << "jpg";
    }
    void importCompresses()
    {
        QFETCH(QSize, source);
        QFETCH(QSize, box);
        QFETCH(QString, suffix);
        QFETCH(QSize, stored);
        QFETCH(QString, storedSuffix);
        QTemporaryDir sourceDir;
        QTemporaryDir cacheDir;
        const QString path = sourceDir.filePath(QStringLiteral("photo.") + suffix);
        QVERIFY(quadrants(source).save(path, suffix.toLower().toLatin1().constData(), 100));
        PictureCache cache(cacheDir.path());
        QString name;
        QVERIFY(cache.import(path, box, 55, &name));
        QCOMPARE(name, QStringLiteral("picCache_0.") + storedSuffix);
        const QImage result(cacheDir.filePath(name));
        QCOMPARE(result.size(), stored);
        QVERIFY(near(result.pixel(2, 2), qRgb(255, 0, 0)));
        QVERIFY(near(result.pixel(stored.width() - 3, stored.height() - 3), qRgb(255, 255, 0)));
    }

    void importUsesTheQuality()
    {
        QTemporaryDir sourceDir;
        QTemporaryDir cacheDir;
        QImage noisy(400, 300, QImage::Format_RGB32);
        for (int y = 0; y < 300; ++y)
            for (int x = 0; x < 400; ++x)
                noisy.setPixel(x, y, qRgb((x * 7 + y * 13) % 256, (x * y) % 256, (x ^ y) % 256));
        const QString path = sourceDir.filePath(QStringLiteral("noisy.jpg"));
        QVERIFY(noisy.save(path, "jpg", 100));
        PictureCache cache(cacheDir.path());
        QString low;
        QString high;
        QVERIFY(cache.import(path, QSize(800, 600), 55, &low));
        QVERIFY(cache.import(path, QSize(800, 600), 95, &high));
        QVERIFY(QFileInfo(cacheDir.filePath(low)).size() < QFileInfo(cacheDir.filePath(high)).size());
        QVERIFY(QFileInfo(cacheDir.filePath(low)).size() < QFileInfo(path).size());
    }

    void importOfAGifIsStoredAsPng()
    {
        QVERIFY(!QImageWriter::supportedImageFormats().contains("gif"));
        QTemporaryDir sourceDir;
        QTemporaryDir cacheDir;
        const QString path = sourceDir.filePath(QStringLiteral("anim.gif"));
        writeBytes(path, QByteArray(tinyGif, sizeof(tinyGif) - 1));
        QVERIFY(!QImage(path).isNull());
        PictureCache cache(cacheDir.path());
        QString name;
        QVERIFY(cache.import(path, QSize(800, 600), 55, &name));
        QCOMPARE(name, QStringLiteral("picCache_0.png"));
        QCOMPARE(QImage(cacheDir.filePath(name)).size(), QSize(1, 1));
    }

    void importOfANonPictureFailsAndLeavesNothing()
    {
        QTemporaryDir sourceDir;
        QTemporaryDir cacheDir;
        const QString path = sourceDir.filePath(QStringLiteral("notes.png"));
        writeBytes(path, "not a picture");
        PictureCache cache(cacheDir.path());
        QString name;
        QVERIFY(!cache.import(path, QSize(800, 600), 55, &name));
        QCOMPARE(name, QStringLiteral("picCache_0.png"));
        QVERIFY(QDir(cacheDir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden).isEmpty());
    }

    void resolveStaysInTheFolder_data()
    {
        QTest::addColumn<QString>("picUrl");
        QTest::addColumn<bool>("found");
        // %1 stands for the cache folder.
        QTest::newRow("bare name") << "picCache_0.png" << true;
        QTest::newRow("server URL") << "http://127.0.0.1:58899/data/App/_pictures/picCache_0.png" << true;
        QTest::newRow("absolute inside") << "%1/picCache_0.png" << true;
        QTest::newRow("file URL inside") << "file://%1/picCache_0.png" << true;
        QTest::newRow("relative other folder") << "somewhere/picCache_0.png" << true;
        QTest::newRow("dot dot") << "../picCache_0.png" << false;
        QTest::newRow("dot dot inside a path") << "a/../../picCache_0.png" << false;
        QTest::newRow("dot dot in a URL") << "http://127.0.0.1:58899/a/../../picCache_0.png" << false;
        QTest::newRow("absolute outside") << "/tmp/picCache_0.png" << false;
        QTest::newRow("file URL outside") << "file:///etc/picCache_0.png" << false;
        QTest::newRow("only dots") << ".." << false;
        QTest::newRow("no suffix") << "picCache_0" << false;
        QTest::newRow("empty suffix") << "picCache_0." << false;
        QTest::newRow("missing") << "picCache_9.png" << false;
        QTest::newRow("folder itself") << "%1/" << false;
        QTest::newRow("link out of the folder") << "escape.png" << false;
    }
    void resolveStaysInTheFolder()
    {
        QFETCH(QString, picUrl);
        QFETCH(bool, found);
        QTemporaryDir outside;
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        writeBytes(dir.filePath(QStringLiteral("picCache_0.png")), "x");
        writeBytes(outside.filePath(QStringLiteral("secret.png")), "secret");
        QVERIFY(QFile::link(outside.filePath(QStringLiteral("secret.png")), dir.filePath(QStringLiteral("escape.png"))));
        const QString url = picUrl.contains(QLatin1String("%1")) ? picUrl.arg(dir.path()) : picUrl;
        const QString resolved = cache.resolve(url);
        QCOMPARE(!resolved.isEmpty(), found);
        if (found)
            QCOMPARE(resolved, dir.filePath(QStringLiteral("picCache_0.png")));
    }

    void rotateTurnsClockwise_data()
    {
        QTest::addColumn<float>("angle");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QPoint>("redAt");
        // Red is the top-left quadrant of a 40 x 20 picture.
        QTest::newRow("90") << 90.0f << QSize(20, 40) << QPoint(15, 5);
        QTest::newRow("-90") << -90.0f << QSize(20, 40) << QPoint(5, 35);
        QTest::newRow("180") << 180.0f << QSize(40, 20) << QPoint(35, 15);
        QTest::newRow("below the threshold") << 0.005f << QSize(40, 20) << QPoint(5, 5);
    }
    void rotateTurnsClockwise()
    {
        QFETCH(float, angle);
        QFETCH(QSize, size);
        QFETCH(QPoint, redAt);
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        const QString path = dir.filePath(QStringLiteral("picCache_0.png"));
        QVERIFY(quadrants(QSize(40, 20)).save(path, "png"));
        const QDateTime old = QDateTime::currentDateTime().addDays(-1);
        {
            QFile file(path);
            QVERIFY(file.open(QIODevice::ReadWrite));
            QVERIFY(file.setFileTime(old, QFileDevice::FileModificationTime));
        }
        QCOMPARE(cache.rotate(path, angle, 55), PictureCache::Rotated);
        const QImage result(path);
        QCOMPARE(result.size(), size);
        QVERIFY(near(result.pixel(redAt), qRgb(255, 0, 0)));
        // Rewritten, also when left unturned.
        QVERIFY(QFileInfo(path).lastModified() > old.addSecs(60));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("picCache_0.png")});
    }

    void rotateByAnOddAngleEnlarges()
    {
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        const QString path = dir.filePath(QStringLiteral("picCache_0.jpg"));
        QVERIFY(quadrants(QSize(100, 100)).save(path, "jpg"));
        QCOMPARE(cache.rotate(path, 45.0f, 55), PictureCache::Rotated);
        const QImage result(path);
        QVERIFY(result.width() >= 141 && result.width() <= 143);
        QCOMPARE(result.width(), result.height());
    }

    void rotateLeavesAnUnreadablePictureAlone()
    {
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        const QString path = dir.filePath(QStringLiteral("picCache_0.png"));
        writeBytes(path, "not a picture");
        QCOMPARE(cache.rotate(path, 90.0f, 55), PictureCache::Unreadable);
        QCOMPARE(readBytes(path), QByteArray("not a picture"));
    }

    void rotateKeepsThePictureWhenTheSaveFails()
    {
        // Qt reads GIF but cannot write it: the save fails after the picture was loaded.
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        const QString path = dir.filePath(QStringLiteral("picCache_0.gif"));
        const QByteArray gif(tinyGif, sizeof(tinyGif) - 1);
        writeBytes(path, gif);
        QCOMPARE(cache.rotate(path, 90.0f, 55), PictureCache::SaveFailed);
        QCOMPARE(readBytes(path), gif);
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden), QStringList{QStringLiteral("picCache_0.gif")});
    }

    void rotateOfAMissingPicture()
    {
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        QCOMPARE(cache.rotate(dir.filePath(QStringLiteral("picCache_7.png")), 90.0f, 55), PictureCache::NotFound);
        QCOMPARE(cache.rotate(QString(), 90.0f, 55), PictureCache::NotFound);
    }

    void clearEmptiesTheFolder()
    {
        QTemporaryDir outside;
        QTemporaryDir dir;
        PictureCache cache(dir.path());
        writeBytes(dir.filePath(QStringLiteral("picCache_0.png")), "x");
        writeBytes(dir.filePath(QStringLiteral(".hidden")), "x");
        QVERIFY(QDir(dir.path()).mkpath(QStringLiteral("sub/deeper")));
        writeBytes(dir.filePath(QStringLiteral("sub/deeper/a.png")), "x");
        writeBytes(outside.filePath(QStringLiteral("keep.png")), "keep");
        QVERIFY(QFile::link(outside.path(), dir.filePath(QStringLiteral("linked"))));
        cache.clear();
        QVERIFY(QFileInfo(dir.path()).isDir());
        QVERIFY(QDir(dir.path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden | QDir::System).isEmpty());
        // A link is removed, never followed.
        QCOMPARE(readBytes(outside.filePath(QStringLiteral("keep.png"))), QByteArray("keep"));
    }

    void compressedSizes_data()
    {
        QTest::addColumn<QSize>("size");
        QTest::addColumn<QSize>("box");
        QTest::addColumn<QSize>("expected");
        QTest::newRow("fits") << QSize(800, 600) << QSize(800, 600) << QSize(800, 600);
        QTest::newRow("only too wide") << QSize(1600, 100) << QSize(800, 600) << QSize(800, 50);
        QTest::newRow("only too tall") << QSize(100, 1200) << QSize(800, 600) << QSize(50, 600);
    }
    void compressedSizes()
    {
        QFETCH(QSize, size);
        QFETCH(QSize, box);
        QFETCH(QSize, expected);
        QCOMPARE(PictureCache::compressedSize(size, box), expected);
    }
};

QTEST_MAIN(tst_PictureCache)
#include "tst_picturecache.moc"
