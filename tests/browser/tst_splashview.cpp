#include "browser/busyindicator.h"
#include "browser/splashview.h"
#include "core/config.h"

#include <QTemporaryDir>
#include <QTimeLine>
#include <QtTest>

class tst_SplashView : public QObject
{
    Q_OBJECT

    QTemporaryDir m_dir;

    void configureSplash(const QString &splash)
    {
        const QString path = m_dir.filePath(QStringLiteral("qt.conf"));
        QFile::remove(path);
        QSettings settings(path, QSettings::IniFormat);
        settings.setValue(QStringLiteral("System/App"), QStringLiteral("S"));
        settings.setValue(QStringLiteral("S/Version"), QStringLiteral("1.0.0.0"));
        settings.setValue(QStringLiteral("S/Url"), QStringLiteral("http://localhost/"));
        settings.setValue(QStringLiteral("S/Splash"), splash);
        settings.sync();
        QVERIFY(appConfig().load(path));
    }

    static QStringList framePaths()
    {
        QStringList paths;
        for (int i = 1; i <= 8; ++i)
            paths << QStringLiteral(":/indicator/indi_%1.png").arg(i);
        return paths;
    }

private slots:
    void unloadableFramesAreSkipped()
    {
        BusyIndicator indicator;
        QStringList paths = framePaths();
        paths.insert(3, QStringLiteral(":/indicator/missing.png"));
        QCOMPARE(indicator.setFrames(paths), 8);
        QCOMPARE(indicator.frameCount(), 8);
        QCOMPARE(indicator.timeLine()->endFrame(), 7);
        QCOMPARE(indicator.size(), QSize(47, 47));
    }

    void firstLoopIsSwallowed()
    {
        configureSplash(QString());
        SplashView splash;
        QSignalSpy indicatorLoops(splash.indicator(), &BusyIndicator::loopedAgain);
        QSignalSpy reported(&splash, &SplashView::indicatorLooped);
        QTRY_COMPARE_WITH_TIMEOUT(indicatorLoops.count(), 1, 5000);
        QCOMPARE(reported.count(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(indicatorLoops.count(), 2, 5000);
        QCOMPARE(reported.count(), 1);
        splash.stop();
        QVERIFY(!splash.indicator()->isRunning());
    }

    void splashPicture_data()
    {
        QTest::addColumn<QString>("splash");
        QTest::addColumn<bool>("nullPicture");
        QTest::addColumn<bool>("white");
        QTest::newRow("none configured") << QString() << false << true;
        QTest::newRow("missing file") << "no/such/splash.png" << true << false;
    }

    void splashPicture()
    {
        QFETCH(QString, splash);
        QFETCH(bool, nullPicture);
        QFETCH(bool, white);
        configureSplash(splash);
        SplashView view;
        QCOMPARE(view.background().isNull(), nullPicture);
        if (white) {
            QCOMPARE(view.background().size(), QSize(20, 20));
            QCOMPARE(view.background().toImage().pixelColor(5, 5), QColor(Qt::white));
        }
    }

    void indicatorStaysCentredBelowMiddle()
    {
        configureSplash(QString());
        SplashView view;
        view.resize(400, 300);
        view.show();
        QTRY_COMPARE(view.indicator()->pos(), QPoint((400 - 47) / 2, (300 - 47) / 2 + 30));
        view.resize(601, 801);
        QTRY_COMPARE(view.indicator()->pos(), QPoint((601 - 47) / 2, (801 - 47) / 2 + 30));
    }
};

QTEST_MAIN(tst_SplashView)
#include "tst_splashview.moc"
