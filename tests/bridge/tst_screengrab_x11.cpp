#include "bridge/screengrab.h"
#include "bridge/windowlist.h"
#include "grabtesthelpers.h"

#include <QGuiApplication>
#include <QPalette>
#include <QProcess>
#include <QPushButton>
#include <QScreen>
#include <QSignalSpy>
#include <QtTest>

using namespace GrabInput;

namespace {
QWidget *colouredWindow(const QRect &geometry, const QColor &colour)
{
    auto *w = new QWidget(nullptr, Qt::FramelessWindowHint);
    QPalette palette;
    palette.setColor(QPalette::Window, colour);
    w->setPalette(palette);
    w->setAutoFillBackground(true);
    w->setGeometry(geometry);
    w->show();
    return w;
}
} // namespace

// The real screen of an X server: the picture grabbed from it and its window list.
class tst_ScreenGrabX11 : public QObject
{
    Q_OBJECT
private slots:
    void initTestCase()
    {
        QCOMPARE(QGuiApplication::platformName(), QStringLiteral("xcb"));
        m_back.reset(colouredWindow(QRect(50, 60, 200, 150), Qt::red));
        m_front.reset(colouredWindow(QRect(150, 100, 100, 80), Qt::blue));
        QVERIFY(QTest::qWaitForWindowExposed(m_back.get()));
        QVERIFY(QTest::qWaitForWindowExposed(m_front.get()));
        m_front->raise();
        QTest::qWait(200);
    }
    // A grab window that just went away leaves the windows below it to repaint first.
    void init() { QTest::qWait(150); }

    void cleanupTestCase()
    {
        m_front.reset();
        m_back.reset();
    }

    void windowListIsTopmostFirst()
    {
        const QVector<QRect> rects = topLevelWindowRects();
        const int front = rects.indexOf(QRect(150, 100, 100, 80));
        const int back = rects.indexOf(QRect(50, 60, 200, 150));
        QVERIFY2(front >= 0 && back >= 0, qPrintable(QString::number(rects.size())));
        QVERIFY(front < back);
    }

    void windowListLeavesOutExcludedAndHiddenWindows()
    {
        QVERIFY(!topLevelWindowRects(m_front->winId()).contains(QRect(150, 100, 100, 80)));
        std::unique_ptr<QWidget> hidden(colouredWindow(QRect(300, 300, 50, 50), Qt::green));
        QVERIFY(QTest::qWaitForWindowExposed(hidden.get()));
        QTRY_VERIFY(topLevelWindowRects().contains(QRect(300, 300, 50, 50)));
        hidden->hide();
        QTRY_VERIFY(!topLevelWindowRects().contains(QRect(300, 300, 50, 50)));
    }

    void grabShowsTheScreenAndHighlightsTheWindowUnderThePointer()
    {
        ScreenGrab grab;
        QCOMPARE(grab.shot().size(), QGuiApplication::primaryScreen()->geometry().size());
        const QImage shot = grab.shot().toImage();
        QCOMPARE(QColor(shot.pixel(60, 70)), QColor(Qt::red));
        QCOMPARE(QColor(shot.pixel(200, 150)), QColor(Qt::blue));
        grab.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grab));

        move(&grab, QPoint(70, 80), Qt::NoButton);
        QCOMPARE(grab.selection(), QRect(50, 60, 200, 150));
        move(&grab, QPoint(200, 150), Qt::NoButton);
        QCOMPARE(grab.selection(), QRect(150, 100, 100, 80));

        move(&grab, QPoint(70, 80), Qt::NoButton);
        QSignalSpy finished(&grab, &ScreenGrab::grabFinished);
        doubleClick(&grab, QPoint(70, 80));
        QCOMPARE(finished.count(), 1);
        const QImage picture = finished.at(0).at(0).value<QPixmap>().toImage();
        QCOMPARE(picture.size(), QSize(200, 150));
        QCOMPARE(QColor(picture.pixel(0, 0)), QColor(Qt::red));
        QCOMPARE(QColor(picture.pixel(199, 149)), QColor(Qt::red));
        // The front window covers part of the one behind it.
        QCOMPARE(QColor(picture.pixel(100, 40)), QColor(Qt::blue));
    }

    void dragSelectsScreenPixels()
    {
        ScreenGrab grab;
        grab.show();
        QVERIFY(QTest::qWaitForWindowExposed(&grab));
        drag(&grab, QPoint(60, 70), QPoint(110, 100));
        QVERIFY(settle(&grab));
        QSignalSpy finished(&grab, &ScreenGrab::grabFinished);
        QTest::mouseClick(grab.findChild<QPushButton *>(QStringLiteral("toolBtnOK")), Qt::LeftButton);
        QCOMPARE(finished.count(), 1);
        const QImage picture = finished.at(0).at(0).value<QPixmap>().toImage();
        QCOMPARE(picture.size(), QSize(50, 30));
        for (const QPoint &p : {QPoint(0, 0), QPoint(49, 29), QPoint(25, 15)})
            QCOMPARE(QColor(picture.pixel(p)), QColor(Qt::red));
    }

private:
    std::unique_ptr<QWidget> m_back;
    std::unique_ptr<QWidget> m_front;
};

// Runs itself again inside its own X server unless it already is in one.
int main(int argc, char **argv)
{
    if (qEnvironmentVariable("KAVO_IN_XVFB") != QLatin1String("1")) {
        QCoreApplication app(argc, argv);
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KAVO_IN_XVFB"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        QStringList args = {QStringLiteral("-a"), QStringLiteral("-s"), QStringLiteral("-screen 0 640x480x24"),
                            QCoreApplication::applicationFilePath()};
        args += app.arguments().mid(1);
        child.start(QStringLiteral("xvfb-run"), args);
        if (!child.waitForStarted()) {
            qCritical("xvfb-run cannot be started");
            return 1;
        }
        child.waitForFinished(-1);
        return child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
    }
    QApplication app(argc, argv);
    tst_ScreenGrabX11 test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_screengrab_x11.moc"
