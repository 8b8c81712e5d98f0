#include "browser/host.h"
#include "bridge/kavoupdate.h"
#include "eventpage.h"

#include <QtTest>

// The main program's tables publish the update client into every page, between the camera and
// the notifications.
class tst_KavoUpdatePage : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase() { QVERIFY(Host::instance().init()); }

    void registeredInOrder()
    {
        QStringList names;
        for (const auto &entry : Host::instance().windowObjects())
            names << entry.first;
        QCOMPARE(names, QStringList({"KavoFactory", "KavoDevice", "KavoFile", "KavoCamera", "KavoUpdate",
                                     "KavoNotification"}));
    }

    void pageReachesTheClient()
    {
        EventPage page;
        QCOMPARE(page.window.evaluateScript(QStringLiteral("typeof KavoUpdate.beginUpdate"), QString()).toString(),
                 QStringLiteral("function"));
        KavoUpdate *client = nullptr;
        for (QObject *object : page.window.bridgeObjects()) {
            if (auto *update = qobject_cast<KavoUpdate *>(object))
                client = update;
        }
        QVERIFY(client);
        // An empty version is ignored; the object keeps nothing.
        page.window.evaluateScript(QStringLiteral("KavoUpdate.beginUpdate('', '', 'http://127.0.0.1:9/p.zip')"),
                                   QString());
        QVERIFY(client->version().isEmpty());
        QVERIFY(!client->process());
    }
};

QTEST_MAIN(tst_KavoUpdatePage)
#include "tst_kavoupdatepage.moc"
