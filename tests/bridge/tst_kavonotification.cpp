#include "widgets/desktopalertwidget.h"
#include "bridge/kavonotification.h"
#include "core/config.h"
#include "tests/alertprobe.h"
#include "eventpage.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QtTest>

class tst_KavoNotification : public QObject
{
    Q_OBJECT
private slots:
    void showPopsUpALinkAlert()
    {
        appConfig().set(QStringLiteral("Demo"), QString(), QStringLiteral("卡沃演示应用"), QStringLiteral("app"),
                        QStringLiteral("1"), QString(), 400, 300, QUrl(QStringLiteral("http://localhost/")));
        KavoNotification notification(nullptr);
        notification.showNotification(3, QStringLiteral("标题"), QStringLiteral("你有新消息"));
        DesktopAlertWidget *alert = notification.notification(3);
        QVERIFY(alert);
        QCOMPARE(alert->layoutType(), 1);
        QCOMPARE(alert->title(), QStringLiteral("标题"));
        // Named after the application's Title, not its internal name.
        QCOMPARE(alert->windowTitle(), QStringLiteral("卡沃演示应用"));
        QVERIFY(alert->content().contains(QLatin1String("<a href=\"127.0.0.1\">")));
        QVERIFY(alert->isVisible());
        QVERIFY(!alert->parent());
        delete alert;
        QCOMPARE(notification.count(), 0);
    }

    void sameIdLeavesOnlyTheNewerOne()
    {
        KavoNotification notification(nullptr);
        notification.showNotification(1, QString(), QStringLiteral("first"));
        QPointer<DesktopAlertWidget> first = notification.notification(1);
        const QPoint place = first->restingPosition();
        notification.showNotification(1, QString(), QStringLiteral("second"));
        QPointer<DesktopAlertWidget> second = notification.notification(1);
        QVERIFY(first != second);
        // The newer one rests where the older one did, leaving no hole in the stack.
        QCOMPARE(second->restingPosition(), place);
        processDeferredDeletes();
        QVERIFY(first.isNull());
        QVERIFY(!second.isNull());
        QCOMPARE(notification.count(), 1);
        QVERIFY(second->content().contains(QLatin1String("second")));
        delete second.data();
    }

    void hide()
    {
        EventPage page;
        KavoNotification notification(&page.window);
        notification.hideNotification(42);
        notification.showNotification(7, QString(), QStringLiteral("x"));
        QPointer<DesktopAlertWidget> alert = notification.notification(7);
        notification.hideNotification(7);
        QCOMPARE(notification.count(), 0);
        processDeferredDeletes();
        QVERIFY(alert.isNull());
        QCOMPARE(page.events().size(), 0);
    }

    void clickRaisesTheEventAndShowsTheWindow()
    {
        EventPage page;
        page.window.showMinimized();
        KavoNotification notification(&page.window);
        notification.showNotification(12, QString(), QStringLiteral("点这里"));
        QPointer<DesktopAlertWidget> alert = notification.notification(12);
        emit contentLabel(alert)->linkActivated(QStringLiteral("127.0.0.1"));
        QCOMPARE(page.events().size(), 1);
        QCOMPARE(page.event(0).value("type").toString(), QStringLiteral("kavo.device.notification"));
        QCOMPARE(page.event(0).value("success").toBool(), true);
        QCOMPARE(page.event(0).value("id").toString(), QStringLiteral("12"));
        QVERIFY(page.window.isVisible());
        QVERIFY(!page.window.isMinimized());
        processDeferredDeletes();
        QVERIFY(alert.isNull());
        QCOMPARE(notification.count(), 0);
    }

    void closeOrFadeRaiseNothing_data()
    {
        QTest::addColumn<bool>("fade");
        QTest::newRow("close button") << false;
        QTest::newRow("fade") << true;
    }
    void closeOrFadeRaiseNothing()
    {
        QFETCH(bool, fade);
        EventPage page;
        KavoNotification notification(&page.window);
        notification.showNotification(5, QString(), QStringLiteral("x"));
        QPointer<DesktopAlertWidget> alert = notification.notification(5);
        if (fade) {
            alert->startAni();
            for (int i = 0; i < 85; ++i)
                alert->fadeTick();
        } else {
            QTest::mouseClick(alert->findChild<QPushButton *>(QStringLiteral("DesktopAlertWndCloseBtn")),
                              Qt::LeftButton);
        }
        processDeferredDeletes();
        QVERIFY(alert.isNull());
        QCOMPARE(notification.count(), 0);
        QCOMPARE(page.events().size(), 0);
    }

    void markupIsNotWrapped()
    {
        KavoNotification notification(nullptr);
        notification.showNotification(2, QString(), QStringLiteral("<b>粗体</b>"));
        QCOMPARE(notification.notification(2)->content(), QStringLiteral("<b>粗体</b>"));
        delete notification.notification(2);
    }

    void alertsOutliveTheObject()
    {
        auto *notification = new KavoNotification(nullptr);
        notification->showNotification(1, QString(), QStringLiteral("x"));
        QPointer<DesktopAlertWidget> alert = notification->notification(1);
        delete notification;
        QVERIFY(!alert.isNull());
        // Its click has nobody to tell and must not crash.
        emit contentLabel(alert)->linkActivated(QStringLiteral("127.0.0.1"));
        processDeferredDeletes();
        QVERIFY(alert.isNull());
    }
};

QTEST_MAIN(tst_KavoNotification)
#include "tst_kavonotification.moc"
