#include "core/fileutils.h"
#include "bridge/kavocamera.h"
#include "bridge/picturecache.h"
#include "bridge/screengrab.h"
#include "eventpage.h"
#include "grabtesthelpers.h"
#include "core/config.h"
#include "tests/stderrcapture.h"

#include <QPushButton>
#include <QTemporaryDir>
#include <QtTest>

using namespace GrabInput;

namespace {
QImage solid(const QSize &size, const QColor &colour)
{
    QImage image(size, QImage::Format_RGB32);
    image.fill(colour);
    return image;
}

QStringList cacheEntries()
{
    return QDir(PictureCache().folder()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden, QDir::Name);
}
} // namespace

class tst_KavoCamera : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        appConfig().set(QStringLiteral("tst_kavocamera"), QString(), QString(), QString(), QString(), QString(), 800,
                        600, QUrl());
        QCOMPARE(PictureCache().folder(), applicationDir() + QStringLiteral("/data/tst_kavocamera/_pictures"));
    }
    void init()
    {
        removeDir(QStringLiteral("data/tst_kavocamera"));
        PictureCache::resetCounter();
        KavoCamera::setFileChooser({});
    }
    void cleanupTestCase() { removeDir(QStringLiteral("data/tst_kavocamera")); }

    void compressParams_data()
    {
        QTest::addColumn<int>("width");
        QTest::addColumn<int>("height");
        QTest::addColumn<int>("quality");
        QTest::addColumn<QSize>("size");
        QTest::addColumn<int>("expectedQuality");
        QTest::newRow("both given") << 320 << 240 << 90 << QSize(320, 240) << 90;
        QTest::newRow("no width") << 0 << 480 << 90 << QSize(800, 600) << 55;
        QTest::newRow("negative height") << 640 << -1 << 90 << QSize(800, 600) << 55;
    }
    void compressParams()
    {
        QFETCH(int, width);
        QFETCH(int, height);
        QFETCH(int, quality);
        QFETCH(QSize, size);
        QFETCH(int, expectedQuality);
        KavoCamera camera(nullptr);
        camera.setCompressParams(width, height, quality);
        QCOMPARE(camera.compressSize(), size);
        QCOMPARE(camera.compressQuality(), expectedQuality);
    }

    void takePictureStoresTheSelection()
    {
        EventPage page;
        KavoCamera camera(&page.window);
        camera.takePicture(80, true, QStringLiteral("jpg"));
        ScreenGrab *grab = KavoCamera::openScreenGrab();
        QVERIFY(grab);
        QVERIFY(grab->isVisible());
        QCOMPARE(camera.pictureType(), QStringLiteral("png"));
        drag(grab, QPoint(10, 20), QPoint(60, 50));
        QVERIFY(settle(grab));
        const QImage expected = grab->shot().toImage().copy(QRect(10, 20, 50, 30));
        QTest::mouseClick(grab->findChild<QPushButton *>(QStringLiteral("toolBtnOK")), Qt::LeftButton);

        QCOMPARE(page.events().size(), 1);
        const QJsonObject event = page.event(0);
        QCOMPARE(event.value("type").toString(), QStringLiteral("kavo.camera.picture.add"));
        QCOMPARE(event.value("success").toBool(), true);
        QCOMPARE(event.value("filename").toString(), QStringLiteral("picCache_0.png"));
        // The list already holds the name when the listener runs.
        QCOMPARE(event.value("list").toArray(), QJsonArray{QStringLiteral("picCache_0.png")});
        const QImage stored(PictureCache().folder() + QStringLiteral("/picCache_0.png"));
        QCOMPARE(stored.size(), QSize(50, 30));
        QCOMPARE(stored.convertToFormat(QImage::Format_RGB32), expected.convertToFormat(QImage::Format_RGB32));
        QVERIFY(!KavoCamera::openScreenGrab());
    }

    void busyWhileAGrabIsOpen()
    {
        EventPage page;
        KavoCamera camera(&page.window);
        KavoCamera other(&page.window);
        camera.takePicture(0, false, QString());
        ScreenGrab *grab = KavoCamera::openScreenGrab();
        QVERIFY(grab);
        other.takePicture(0, false, QString());
        camera.takePicture(0, false, QString());
        QCOMPARE(page.events().size(), 2);
        QCOMPARE(page.event(0).value("type").toString(), QStringLiteral("kavo.camera.picture.busy"));
        QCOMPARE(page.event(1).value("message").toString(), QStringLiteral("busy"));
        QCOMPARE(KavoCamera::openScreenGrab(), grab);
        QVERIFY(grab->isVisible());
        QTest::keyClick(grab, Qt::Key_Escape);
    }

    void everyWayOfEndingTheGrabFreesTheCamera_data()
    {
        QTest::addColumn<QString>("way");
        QTest::addColumn<bool>("cancelEvent");
        QTest::newRow("escape") << "escape" << true;
        QTest::newRow("cancel button") << "button" << true;
        QTest::newRow("window closed") << "close" << true;
        QTest::newRow("window deleted") << "delete" << false;
        QTest::newRow("camera deleted") << "camera" << false;
    }
    void everyWayOfEndingTheGrabFreesTheCamera()
    {
        QFETCH(QString, way);
        QFETCH(bool, cancelEvent);
        EventPage page;
        auto *camera = new KavoCamera(&page.window);
        camera->takePicture(0, false, QString());
        QPointer<ScreenGrab> grab = KavoCamera::openScreenGrab();
        QVERIFY(grab);
        if (way == QLatin1String("escape")) {
            QTest::keyClick(grab, Qt::Key_Escape);
        } else if (way == QLatin1String("button")) {
            drag(grab, QPoint(10, 10), QPoint(40, 40));
            settle(grab);
            QTest::mouseClick(grab->findChild<QPushButton *>(QStringLiteral("toolBtnCancel")), Qt::LeftButton);
        } else if (way == QLatin1String("close")) {
            grab->close();
        } else if (way == QLatin1String("delete")) {
            delete grab.data();
        } else {
            delete camera;
            camera = nullptr;
            QVERIFY(!grab || !grab->isVisible());
        }
        QVERIFY(!KavoCamera::openScreenGrab());
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        QVERIFY(grab.isNull());
        QCOMPARE(page.events().size(), cancelEvent ? 1 : 0);
        if (cancelEvent)
            QCOMPARE(page.event(0).value("type").toString(), QStringLiteral("kavo.camera.picture.cancel"));

        // A later picture is not refused as busy.
        KavoCamera next(&page.window);
        next.takePicture(0, false, QString());
        QVERIFY(KavoCamera::openScreenGrab());
        QCOMPARE(page.events().size(), cancelEvent ? 1 : 0);
        QTest::keyClick(KavoCamera::openScreenGrab(), Qt::Key_Escape);
        delete camera;
    }

    // The camera is idle when its event is heard: a listener can open the next grab at once.
    void listenerTakesTheNextPicture_data()
    {
        QTest::addColumn<bool>("finish");
        QTest::newRow("after a picture") << true;
        QTest::newRow("after a cancel") << false;
    }
    void listenerTakesTheNextPicture()
    {
        QFETCH(bool, finish);
        EventPage page;
        KavoCamera camera(&page.window);
        page.publish(QStringLiteral("TestCamera"), &camera);
        page.run(QStringLiteral("var again = function () { TestCamera.takePicture(0, false, '');"
                                "  again = function () {}; };"
                                "document.addEventListener('kavo.camera.picture.add', function () { again(); });"
                                "document.addEventListener('kavo.camera.picture.cancel', function () { again(); });"));
        camera.takePicture(0, false, QString());
        QPointer<ScreenGrab> first = KavoCamera::openScreenGrab();
        QVERIFY(first);
        if (finish) {
            drag(first, QPoint(10, 20), QPoint(60, 50));
            QVERIFY(settle(first));
            QTest::mouseClick(first->findChild<QPushButton *>(QStringLiteral("toolBtnOK")), Qt::LeftButton);
        } else {
            QTest::keyClick(first, Qt::Key_Escape);
        }
        QCOMPARE(page.events().size(), 1);
        QCOMPARE(page.event(0).value("type").toString(), finish ? QStringLiteral("kavo.camera.picture.add")
                                                                 : QStringLiteral("kavo.camera.picture.cancel"));
        ScreenGrab *second = KavoCamera::openScreenGrab();
        QVERIFY(second);
        QVERIFY(second != first.data());
        QVERIFY(second->isVisible());
        QTest::keyClick(second, Qt::Key_Escape);
        QCOMPARE(page.events().size(), 2);
        QCOMPARE(page.event(1).value("type").toString(), QStringLiteral("kavo.camera.picture.cancel"));
    }

    // With the focus in an iframe (a rich-text editor) events still reach the page's own document,
    // where Kavo.picturelist and the listeners live.
    void eventsReachTheMainFrameWhileAnIframeHasFocus_data()
    {
        QTest::addColumn<QString>("call");
        QTest::addColumn<QString>("type");
        QTest::newRow("import") << "import" << "kavo.camera.picture.add";
        QTest::newRow("clear") << "clear" << "kavo.camera.picture.clear";
    }
    void eventsReachTheMainFrameWhileAnIframeHasFocus()
    {
        QFETCH(QString, call);
        QFETCH(QString, type);
        QTemporaryDir source;
        const QString path = source.filePath(QStringLiteral("a.png"));
        QVERIFY(solid(QSize(10, 10), Qt::red).save(path, "png"));
        KavoCamera::setFileChooser([path](const QString &, const QString &, const QString &) { return path; });
        EventPage page;
        const QString editorFocused = QStringLiteral("document.activeElement === document.getElementById('editor')");
        page.run(QStringLiteral("var f = document.createElement('iframe'); f.id = 'editor';"
                                "f.src = 'about:blank'; document.body.appendChild(f);"
                                "f.contentDocument.designMode = 'on'; f.contentWindow.focus();"
                                "f.contentDocument.body.focus();"));
        QTRY_VERIFY(page.run(editorFocused).toBool());
        KavoCamera camera(&page.window);
        if (call == QLatin1String("import"))
            camera.importPicture();
        else
            camera.clearPictures();
        QVERIFY(page.run(editorFocused).toBool());
        QCOMPARE(page.events().size(), 1);
        QCOMPARE(page.event(0).value("type").toString(), type);
        QCOMPARE(page.event(0).value("success").toBool(), true);
        QCOMPARE(page.pictureList().size(), call == QLatin1String("import") ? 1 : 0);
    }

    void importCompressesAndSkipsEarlierPictures()
    {
        QTemporaryDir source;
        const QString path = source.filePath(QStringLiteral("photo.PNG"));
        QVERIFY(solid(QSize(1600, 1200), Qt::green).save(path, "png"));
        QVERIFY(solid(QSize(4, 4), Qt::red).save(PictureCache().folder() + QStringLiteral("/picCache_0.png"), "png"));
        QString offeredFolder;
        KavoCamera::setFileChooser([&](const QString &caption, const QString &folder, const QString &filter) {
            offeredFolder = folder;
            return caption == QStringLiteral("图片") && filter == QStringLiteral("图片(*.jpg *.gif *.png)") ? path
                                                                                                           : QString();
        });
        EventPage page;
        KavoCamera camera(&page.window);
        camera.importPicture();
        QCOMPARE(page.events().size(), 1);
        QCOMPARE(page.event(0).value("success").toBool(), true);
        QCOMPARE(page.event(0).value("filename").toString(), QStringLiteral("picCache_1.png"));
        QCOMPARE(page.pictureList(), QJsonArray{QStringLiteral("picCache_1.png")});
        QCOMPARE(QImage(PictureCache().folder() + QStringLiteral("/picCache_1.png")).size(), QSize(800, 600));
        // The earlier run's picture is untouched.
        QCOMPARE(QImage(PictureCache().folder() + QStringLiteral("/picCache_0.png")).size(), QSize(4, 4));
        QVERIFY(offeredFolder.isEmpty() || QFileInfo(offeredFolder).isDir());
    }

    void importAnswers_data()
    {
        QTest::addColumn<QString>("chosen");
        QTest::addColumn<QString>("type");
        QTest::addColumn<bool>("success");
        QTest::addColumn<QString>("filename");
        QTest::newRow("dialog cancelled") << "" << "kavo.camera.picture.cancel" << false << "";
        QTest::newRow("no suffix") << "/tmp/some.folder/picture" << "kavo.camera.picture.add" << false
                                   << "/tmp/some.folder/picture";
        QTest::newRow("not a picture") << "/etc/hostname.png" << "kavo.camera.picture.add" << false << "picCache_0.png";
    }
    void importAnswers()
    {
        QFETCH(QString, chosen);
        QFETCH(QString, type);
        QFETCH(bool, success);
        QFETCH(QString, filename);
        KavoCamera::setFileChooser([chosen](const QString &, const QString &, const QString &) { return chosen; });
        EventPage page;
        KavoCamera camera(&page.window);
        camera.importPicture();
        QCOMPARE(page.events().size(), 1);
        QCOMPARE(page.event(0).value("type").toString(), type);
        QCOMPARE(page.event(0).value("success").toBool(), success);
        if (!filename.isEmpty())
            QCOMPARE(page.event(0).value("filename").toString(), filename);
        QCOMPARE(page.pictureList().size(), 0);
    }

    void rotateActsOnlyInTheCache_data()
    {
        QTest::addColumn<QString>("picUrl");
        QTest::addColumn<QByteArray>("message");
        QTest::addColumn<bool>("rotated");
        QTest::newRow("name") << "picCache_0.png" << QByteArray() << true;
        QTest::newRow("server URL") << "http://127.0.0.1:58899/data/tst_kavocamera/_pictures/picCache_0.png"
                                    << QByteArray() << true;
        QTest::newRow("dot dot") << "../picCache_0.png" << QByteArray("错误: 找不到指定的图片文件: ../picCache_0.png") << false;
        QTest::newRow("outside") << "/tmp/picCache_0.png" << QByteArray("错误: 找不到指定的图片文件: /tmp/picCache_0.png") << false;
        QTest::newRow("missing") << "picCache_5.png" << QByteArray("错误: 找不到指定的图片文件: picCache_5.png") << false;
        QTest::newRow("unreadable") << "broken.png" << QByteArray("错误: 无法读取图片文件: broken.png") << false;
    }
    void rotateActsOnlyInTheCache()
    {
        QFETCH(QString, picUrl);
        QFETCH(QByteArray, message);
        QFETCH(bool, rotated);
        const QString folder = PictureCache().folder();
        QVERIFY(solid(QSize(40, 20), Qt::blue).save(folder + QStringLiteral("/picCache_0.png"), "png"));
        writeFileBytes("broken", folder + QStringLiteral("/broken.png"), true);
        EventPage page;
        KavoCamera camera(&page.window);
        StderrCapture capture;
        camera.rotatePicture(picUrl, 90.0f);
        if (!message.isEmpty())
            QVERIFY2(capture.text().contains(message), capture.text().constData());
        QCOMPARE(QImage(folder + QStringLiteral("/picCache_0.png")).size(), rotated ? QSize(20, 40) : QSize(40, 20));
        QCOMPARE(readFileBytes(folder + QStringLiteral("/broken.png")), QByteArray("broken"));
        QCOMPARE(page.events().size(), 0);
    }

    void clearEmptiesTheCacheAndTheList()
    {
        EventPage page;
        KavoCamera camera(&page.window);
        QTemporaryDir source;
        const QString path = source.filePath(QStringLiteral("a.jpg"));
        QVERIFY(solid(QSize(10, 10), Qt::red).save(path, "jpg"));
        KavoCamera::setFileChooser([path](const QString &, const QString &, const QString &) { return path; });
        camera.importPicture();
        camera.importPicture();
        QCOMPARE(page.pictureList().size(), 2);
        QCOMPARE(cacheEntries(), (QStringList{QStringLiteral("picCache_0.jpg"), QStringLiteral("picCache_1.jpg")}));
        camera.clearPictures();
        QVERIFY(cacheEntries().isEmpty());
        QCOMPARE(page.pictureList().size(), 0);
        QCOMPARE(page.events().size(), 3);
        QCOMPARE(page.event(2).value("type").toString(), QStringLiteral("kavo.camera.picture.clear"));
        QCOMPARE(page.event(2).value("success").toBool(), true);
        QCOMPARE(page.event(2).value("list").toArray().size(), 0);
    }
};

QTEST_MAIN(tst_KavoCamera)
#include "tst_kavocamera.moc"
