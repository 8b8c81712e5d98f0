#include "shell/trayicon.h"

#include <QAction>
#include <QMenu>
#include <QProcess>
#include <QSignalSpy>
#include <QWidget>
#include <QtTest>

#include <X11/Xlib.h>

namespace {
// Claims the tray manager selection of the X screen, which is what tells programs that a
// system tray is there.
class TrayHost
{
public:
    TrayHost()
    {
        m_display = XOpenDisplay(nullptr);
        if (!m_display)
            return;
        const Window root = DefaultRootWindow(m_display);
        m_window = XCreateSimpleWindow(m_display, root, 0, 0, 1, 1, 0, 0, 0);
        const Atom selection = XInternAtom(m_display, "_NET_SYSTEM_TRAY_S0", False);
        XSetSelectionOwner(m_display, selection, m_window, CurrentTime);
        // Tell the clients listening on the root window, as a real tray manager does.
        XClientMessageEvent message = {};
        message.type = ClientMessage;
        message.window = root;
        message.message_type = XInternAtom(m_display, "MANAGER", False);
        message.format = 32;
        message.data.l[0] = CurrentTime;
        message.data.l[1] = long(selection);
        message.data.l[2] = long(m_window);
        XSendEvent(m_display, root, False, StructureNotifyMask, reinterpret_cast<XEvent *>(&message));
        XFlush(m_display);
    }
    ~TrayHost()
    {
        if (m_display) {
            XDestroyWindow(m_display, m_window);
            XCloseDisplay(m_display);
        }
    }
    bool isOwner() const { return m_display != nullptr; }

private:
    Display *m_display = nullptr;
    Window m_window = 0;
};

bool underX()
{
    return QGuiApplication::platformName() == QLatin1String("xcb");
}
} // namespace

class tst_TrayIcon : public QObject
{
    Q_OBJECT
private slots:
    void menuEntriesInOrder()
    {
        TrayIcon tray;
        QVERIFY(tray.contextMenu() == tray.menu());
        QVERIFY(!tray.menu()->parent());
        const QList<QAction *> actions = tray.menu()->actions();
        QCOMPARE(actions.size(), 5);
        QCOMPARE(actions.at(0)->text(), QStringLiteral("打开窗口"));
        QVERIFY(actions.at(1)->isSeparator());
        QCOMPARE(actions.at(2)->text(), QStringLiteral("清空缓存"));
        QVERIFY(actions.at(3)->isSeparator());
        QCOMPARE(actions.at(4)->text(), QStringLiteral("退出"));
    }

    void actionsRaiseTheirRequests_data()
    {
        QTest::addColumn<int>("action");
        QTest::addColumn<int>("open");
        QTest::addColumn<int>("clear");
        QTest::addColumn<int>("exit");
        QTest::newRow("open") << 0 << 1 << 0 << 0;
        QTest::newRow("clear") << 2 << 0 << 1 << 0;
        QTest::newRow("exit") << 4 << 0 << 0 << 1;
    }
    void actionsRaiseTheirRequests()
    {
        QFETCH(int, action);
        QFETCH(int, open);
        QFETCH(int, clear);
        QFETCH(int, exit);
        TrayIcon tray;
        QSignalSpy openSpy(&tray, &TrayIcon::openMainWindow);
        QSignalSpy clearSpy(&tray, &TrayIcon::clearCache);
        QSignalSpy exitSpy(&tray, &TrayIcon::exitApp);
        tray.menu()->actions().at(action)->trigger();
        QCOMPARE(openSpy.count(), open);
        QCOMPARE(clearSpy.count(), clear);
        QCOMPARE(exitSpy.count(), exit);
    }

    void withoutATray()
    {
        if (underX())
            QSKIP("the offscreen run covers the missing tray");
        QVERIFY(!QSystemTrayIcon::isSystemTrayAvailable());
        TrayIcon tray;
        tray.setIcon(QIcon(QPixmap(16, 16)));
        tray.show();
        // The menu still works for whoever shows it.
        QSignalSpy exitSpy(&tray, &TrayIcon::exitApp);
        tray.menu()->actions().at(4)->trigger();
        QCOMPARE(exitSpy.count(), 1);
    }

    void withATray()
    {
        if (!underX())
            QSKIP("needs the X run");
        TrayHost host;
        QVERIFY(host.isOwner());
        QTRY_VERIFY(QSystemTrayIcon::isSystemTrayAvailable());
        TrayIcon tray;
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::red);
        tray.setIcon(QIcon(pixmap));
        tray.setToolTip(QStringLiteral("演示"));
        tray.show();
        QVERIFY(tray.isVisible());
        QCOMPARE(tray.toolTip(), QStringLiteral("演示"));
        QSignalSpy clearSpy(&tray, &TrayIcon::clearCache);
        tray.menu()->actions().at(2)->trigger();
        QCOMPARE(clearSpy.count(), 1);
        tray.hide();
    }
};

// Runs once offscreen (no tray) and once more inside its own X server with a tray host.
int main(int argc, char **argv)
{
    int status = 0;
    if (qEnvironmentVariable("KAVO_IN_XVFB") != QLatin1String("1")) {
        {
            QApplication app(argc, argv);
            tst_TrayIcon test;
            status = QTest::qExec(&test, argc, argv);
        }
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert(QStringLiteral("KAVO_IN_XVFB"), QStringLiteral("1"));
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        QProcess child;
        child.setProcessEnvironment(env);
        child.setProcessChannelMode(QProcess::ForwardedChannels);
        child.start(QStringLiteral("xvfb-run"), {QStringLiteral("-a"), QString::fromLocal8Bit(argv[0])});
        if (!child.waitForStarted() || !child.waitForFinished(120000))
            return 1;
        return status | (child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1);
    }
    QApplication app(argc, argv);
    tst_TrayIcon test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_trayicon.moc"
