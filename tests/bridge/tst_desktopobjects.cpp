#include "browser/host.h"
#include "bridge/kavocamera.h"
#include "bridge/kavofile.h"
#include "bridge/kavonotification.h"
#include "browser/pagemanager.h"
#include "core/config.h"
#include "core/fileutils.h"
#include "eventpage.h"

#include <QApplication>
#include <QTemporaryDir>
#include <QtTest>

namespace {
// Every browser window alive in the process, the page's own included.
QList<BrowserWindow *> browserWindows()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    QList<BrowserWindow *> windows;
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *window = qobject_cast<BrowserWindow *>(widget))
            windows << window;
    }
    return windows;
}

} // namespace

// The main program's tables publish the desktop objects into every page, in their order.
class tst_DesktopObjects : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QVERIFY(Host::instance().init());
        appConfig().set(QStringLiteral("tst_desktopobjects"), QString(), QString(), QString(), QString(), QString(),
                        800, 600, QUrl());
    }
    void cleanupTestCase() { removeDir(QStringLiteral("data/tst_desktopobjects")); }

    void registeredInOrder()
    {
        QStringList names;
        for (const auto &entry : Host::instance().windowObjects())
            names << entry.first;
        const int file = names.indexOf(QStringLiteral("KavoFile"));
        const int camera = names.indexOf(QStringLiteral("KavoCamera"));
        const int notification = names.indexOf(QStringLiteral("KavoNotification"));
        QVERIFY(names.indexOf(QStringLiteral("KavoFactory")) == 0);
        QVERIFY(file > 0);
        QVERIFY(camera > file);
        QVERIFY(notification > camera);
    }

    void pagesSeeTheObjects()
    {
        EventPage page;
        const QString types = page.run(QStringLiteral("typeof KavoFile.uploadToServer + ' ' + "
                                                      "typeof KavoCamera.takePicture + ' ' + "
                                                      "typeof KavoCamera.rotatePicture + ' ' + "
                                                      "typeof KavoNotification.showNotification"))
                                  .toString();
        QCOMPARE(types, QStringLiteral("function function function function"));
        int found = 0;
        for (QObject *object : page.window.bridgeObjects())
            found += qobject_cast<KavoFile *>(object) || qobject_cast<KavoCamera *>(object)
                || qobject_cast<KavoNotification *>(object);
        QCOMPARE(found, 3);
    }

    // "Window" through the start-up table: a new top-level browser window without parent, outside
    // the registry, not shown until the page shows it.
    void pageMakesAWindowThroughTheFactory()
    {
        EventPage page;
        const QList<BrowserWindow *> before = browserWindows();
        const QString kind = page.run(QStringLiteral("var w = KavoFactory.createObject('Window');"
                                                     "w === null ? 'null' : typeof w.showModal"))
                                 .toString();
        QCOMPARE(kind, QStringLiteral("function"));
        QList<BrowserWindow *> made = browserWindows();
        for (BrowserWindow *window : before)
            made.removeAll(window);
        QCOMPARE(made.size(), 1);
        QVERIFY(!made.at(0)->parent());
        QVERIFY(!made.at(0)->isVisible());
        QVERIFY(!PageManager::windows().contains(made.at(0)));
        page.run(QStringLiteral("w.showModal('')"));
        QVERIFY(made.at(0)->isVisible());
        delete made.at(0);
    }

    // A window the page made and never showed goes with the page; a shown one is the user's.
    void factoryWindowsAndReloads_data()
    {
        QTest::addColumn<bool>("show");
        QTest::newRow("never shown") << false;
        QTest::newRow("shown") << true;
    }
    void factoryWindowsAndReloads()
    {
        QFETCH(bool, show);
        EventPage page;
        const int baseline = browserWindows().size();
        QList<QPointer<BrowserWindow>> made;
        for (int load = 0; load < 4; ++load) {
            const QList<BrowserWindow *> before = browserWindows();
            page.run(QStringLiteral("var w = KavoFactory.createObject('Window');%1")
                         .arg(show ? "w.showModal('');" : ""));
            for (BrowserWindow *window : browserWindows()) {
                if (!before.contains(window))
                    made << window;
            }
            page.load();
        }
        QCOMPARE(made.size(), 4);
        const QList<BrowserWindow *> after = browserWindows();
        QCOMPARE(after.size(), baseline + (show ? 4 : 0));
        for (const QPointer<BrowserWindow> &window : made) {
            QCOMPARE(!window.isNull(), show);
            if (window)
                QVERIFY(window->isVisible());
        }
        for (const QPointer<BrowserWindow> &window : made)
            delete window.data();
    }

    // A slot that waits in a dialog while the page reloads keeps its object alive until it
    // returns, and then says nothing to the new page.
    void slotWaitingInADialogOutlivesAReload()
    {
        QTemporaryDir source;
        const QString path = source.filePath(QStringLiteral("a.png"));
        QImage image(8, 8, QImage::Format_RGB32);
        image.fill(Qt::green);
        QVERIFY(image.save(path, "png"));
        EventPage page;
        QPointer<KavoCamera> camera = page.bridgeObject<KavoCamera>();
        QVERIFY(camera);
        QSignalSpy reloaded(&page.window, &BrowserWindow::pageReady);
        bool aliveAfterReload = false;
        bool reloading = false;
        KavoCamera::setFileChooser([&](const QString &, const QString &, const QString &) {
            // The dialog's own event loop starts the reload.
            QEventLoop loop;
            QTimer::singleShot(0, &loop, [&] {
                page.startLoad();
                reloading = true;
                loop.quit();
            });
            loop.exec();
            aliveAfterReload = !camera.isNull();
            return path;
        });
        page.run(QStringLiteral("KavoCamera.importPicture()"));
        KavoCamera::setFileChooser({});
        QVERIFY(reloading);
        QVERIFY(aliveAfterReload);
        QVERIFY(!reloaded.isEmpty() || reloaded.wait(PageScript::Timeout));
        // Gone once the slot has returned; the new page has its own camera and heard nothing.
        QTRY_VERIFY(camera.isNull());
        KavoCamera *current = page.bridgeObject<KavoCamera>();
        QVERIFY(current);
        QCOMPARE(page.events().size(), 0);
        QCOMPARE(page.pictureList().size(), 0);
        // The new page's objects work.
        page.run(QStringLiteral("KavoCamera.clearPictures()"));
        QCOMPARE(page.events().size(), 1);
    }

    void pageCallsReachTheObjects()
    {
        EventPage page;
        page.run(QStringLiteral("KavoNotification.showNotification(4, 't', 'c');"
                                "KavoNotification.hideNotification(4);"
                                "KavoCamera.setCompressParams(320, 240, 80);"));
        KavoCamera *camera = page.bridgeObject<KavoCamera>();
        QVERIFY(camera);
        QCOMPARE(camera->compressSize(), QSize(320, 240));
        QCOMPARE(camera->compressQuality(), 80);
    }
};

QTEST_MAIN(tst_DesktopObjects)
#include "tst_desktopobjects.moc"
