#include "core/startup.h"
#include "core/stylesheet.h"

#include <QApplication>
#include <QFile>
#include <QImage>
#include <QtTest>

class tst_Resources : public QObject
{
    Q_OBJECT
private slots:
    // Qt's own buttons speak the programs' Chinese: the locale's variant when it is Chinese,
    // Simplified Chinese for any other locale.
    void qtTextsFollowTheProgramsChinese_data()
    {
        QTest::addColumn<QString>("locale");
        QTest::addColumn<QString>("ok");
        QTest::addColumn<QString>("cancel");
        QTest::newRow("Simplified Chinese locale") << "zh_CN" << "确定" << "取消";
        QTest::newRow("Traditional Chinese locale") << "zh_TW" << "確定" << "取消";
        QTest::newRow("English locale") << "en_US" << "确定" << "取消";
        QTest::newRow("C locale") << "C" << "确定" << "取消";
    }

    void qtTextsFollowTheProgramsChinese()
    {
        QFETCH(QString, locale);
        QFETCH(QString, ok);
        QFETCH(QString, cancel);
        QVERIFY2(installQtTranslations(QLocale(locale)), "Qt's translations (qttranslations5-l10n) are missing");
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "OK"), ok);
        QCOMPARE(QCoreApplication::translate("QPlatformTheme", "Cancel"), cancel);
    }

    void imagesHaveLayoutSizes_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QSize>("size");
        QTest::newRow("btnHighlight") << ":/images/btnHighlight.png" << QSize(52, 29);
        QTest::newRow("speaker") << ":/images/speaker.png" << QSize(18, 15);
        QTest::newRow("wndCloseNormal") << ":/images/wndCloseNormal.png" << QSize(14, 12);
        QTest::newRow("wndCloseHover") << ":/images/wndCloseHover.png" << QSize(14, 12);
        QTest::newRow("ToolBarBkg") << ":/images/ToolBarBkg.png" << QSize(20, 20);
        QTest::newRow("ok") << ":/images/ok.png" << QSize(20, 20);
        QTest::newRow("cancel") << ":/images/cancel.png" << QSize(20, 20);
        QTest::newRow("tipsBkg") << ":/images/tipsBkg.png" << QSize(225, 130);
        QTest::newRow("brush") << ":/images/brush.png" << QSize(16, 16);
        for (int i = 1; i <= 8; ++i)
            QTest::newRow(qPrintable(QStringLiteral("indicator %1").arg(i)))
                << QStringLiteral(":/indicator/indi_%1.png").arg(i) << QSize(47, 47);
    }

    void imagesHaveLayoutSizes()
    {
        QFETCH(QString, path);
        QFETCH(QSize, size);
        const QImage image(path);
        QVERIFY2(!image.isNull(), qPrintable(path));
        QCOMPARE(image.size(), size);
    }

    void styleSheetInstalledInRuleOrder()
    {
        QVERIFY(loadStyleSheet());
        const QString sheet = qApp->styleSheet();
        const QStringList selectors {"DesktopAlertWidget {",
                                     "QLabel#DesktopAlertWndTitleIcon",
                                     "QLabel#DesktopAlertWndContextIcon",
                                     "QPushButton#DesktopAlertWndCloseBtn {",
                                     "QPushButton#DesktopAlertWndCloseBtn:hover",
                                     "QPushButton#toolBtnOK",
                                     "QPushButton#toolBtnCancel",
                                     "QWidget#toolWidget",
                                     "QLabel#ImageButtonHighligter:hover"};
        int last = -1;
        for (const QString &selector : selectors) {
            const int at = sheet.indexOf(selector);
            QVERIFY2(at > last, qPrintable(selector));
            last = at;
        }
        QVERIFY(sheet.contains(QStringLiteral("border-top-width: 36px")));
    }
};

QTEST_MAIN(tst_Resources)
#include "tst_resources.moc"
