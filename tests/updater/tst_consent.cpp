#include "widgets/desktopalertwidget.h"
#include "updater/consent.h"
#include "core/testswitches.h"

#include <QPointer>
#include <QProcess>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

// The updater's "install now?" question, as the user meets it and as unattended runs answer it.
class TestConsent : public QObject
{
    Q_OBJECT
private slots:
    void init() { qunsetenv("KAVO_UPDATE_CONSENT"); }

    void userAnswers_data()
    {
        QTest::addColumn<QString>("button");
        QTest::addColumn<int>("expected");
        QTest::newRow("install now") << QStringLiteral("立刻升级") << 0;
        QTest::newRow("closed") << QStringLiteral("DesktopAlertWndCloseBtn") << 1;
    }
    void userAnswers()
    {
        QFETCH(QString, button);
        QFETCH(int, expected);
        QObject context;
        QList<int> answers;
        QObject *shown = showUpdateConsent(QStringLiteral("升级"), QStringLiteral("   text"), &context,
                                           [&answers](int cmd) { answers << cmd; });
        auto *alert = qobject_cast<DesktopAlertWidget *>(shown);
        QVERIFY(alert);
        QCOMPARE(alert->layoutType(), int(DesktopAlertWidget::ActionButtonLayout));
        QCOMPARE(alert->content(), QStringLiteral("   text"));
        // The question waits for the user: it must not fade away on its own.
        auto *autoClose = alert->findChild<QTimer *>(QStringLiteral("autoCloseTimer"));
        QVERIFY(autoClose);
        QVERIFY(!autoClose->isActive());
        QVERIFY(!alert->isFading());
        QPointer<DesktopAlertWidget> guard(alert);
        QPushButton *target = nullptr;
        for (QPushButton *b : alert->findChildren<QPushButton *>())
            if (b->text() == button || b->objectName() == button)
                target = b;
        QVERIFY(target);
        QTest::mouseClick(target, Qt::LeftButton);
        QTRY_COMPARE(answers, QList<int>{expected});
        QTRY_VERIFY(guard.isNull());
        QCOMPARE(answers.size(), 1);
    }

    void unattended_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("yes") << QByteArray("yes") << 0;
        QTest::newRow("no") << QByteArray("no") << 1;
        QTest::newRow("anything else") << QByteArray("YES please") << 1;
    }
    void unattended()
    {
        QFETCH(QByteArray, value);
        QFETCH(int, expected);
        qputenv("KAVO_UPDATE_CONSENT", value);
        QObject context;
        QList<int> answers;
        QObject *shown = showUpdateConsent(QStringLiteral("升级"), QStringLiteral("t"), &context,
                                           [&answers](int cmd) { answers << cmd; });
        QVERIFY(!shown);
        QTRY_COMPARE(answers, QList<int>{expected});
    }

    // The switches exist in this test build, and in a build without them (the probe compiles
    // their source as the programs users get do) none of their variables has any effect.
    void switchesOnlyInTestBuilds_data()
    {
        QTest::addColumn<QString>("variable");
        QTest::newRow("consent") << "KAVO_UPDATE_CONSENT=yes";
        QTest::newRow("kill point") << "KAVO_TEST_KILL_AT=probe";
        QTest::newRow("stop point") << "KAVO_TEST_STOP_AT=probe";
    }
    void switchesOnlyInTestBuilds()
    {
        QFETCH(QString, variable);
        QVERIFY(TestSwitches::builtIn());
        QProcess probe;
        QProcessEnvironment e = QProcessEnvironment::systemEnvironment();
        e.insert(QStringLiteral("KAVO_NONINTERACTIVE"), QStringLiteral("1"));
        e.insert(variable.section('=', 0, 0), variable.section('=', 1));
        probe.setProcessEnvironment(e);
        probe.start(QCoreApplication::applicationDirPath() + QStringLiteral("/kavo_switchprobe"), QStringList());
        const bool finished = probe.waitForFinished(10000);
        if (!finished) {
            probe.kill();
            probe.waitForFinished(5000);
        }
        QVERIFY(finished);
        QCOMPARE(probe.exitStatus(), QProcess::NormalExit);
        QCOMPARE(probe.exitCode(), 0);
        QCOMPARE(probe.readAllStandardOutput(), QByteArray("built in: 0, consent: '', alive\n"));
    }
};

QTEST_MAIN(TestConsent)
#include "tst_consent.moc"
