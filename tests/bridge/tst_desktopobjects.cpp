#include "browser/host.h"
#include "bridge/kavocamera.h"
#include "bridge/kavofile.h"
#include "bridge/kavonotification.h"
#include "eventpage.h"

#include <QtTest>

// The main program's tables publish the desktop objects into every page, in their order.
class tst_DesktopObjects : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(Host::instance().init()); }

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
        const QString types = page.window
                                  .evaluateScript(QStringLiteral("typeof KavoFile.uploadToServer + ' ' + "
                                                                 "typeof KavoCamera.takePicture + ' ' + "
                                                                 "typeof KavoCamera.rotatePicture + ' ' + "
                                                                 "typeof KavoNotification.showNotification"),
                                                  QString())
                                  .toString();
        QCOMPARE(types, QStringLiteral("function function function function"));
        int found = 0;
        for (QObject *object : page.window.bridgeObjects())
            found += qobject_cast<KavoFile *>(object) || qobject_cast<KavoCamera *>(object)
                || qobject_cast<KavoNotification *>(object);
        QCOMPARE(found, 3);
    }

    void pageCallsReachTheObjects()
    {
        EventPage page;
        page.window.evaluateScript(QStringLiteral("KavoNotification.showNotification(4, 't', 'c');"
                                                  "KavoNotification.hideNotification(4);"
                                                  "KavoCamera.setCompressParams(320, 240, 80);"),
                                   QVariant());
        KavoCamera *camera = nullptr;
        for (QObject *object : page.window.bridgeObjects())
            if (auto *c = qobject_cast<KavoCamera *>(object))
                camera = c;
        QVERIFY(camera);
        QCOMPARE(camera->compressSize(), QSize(320, 240));
        QCOMPARE(camera->compressQuality(), 80);
    }
};

QTEST_MAIN(tst_DesktopObjects)
#include "tst_desktopobjects.moc"
