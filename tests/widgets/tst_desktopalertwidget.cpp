#include "widgets/desktopalertwidget.h"
#include "widgets/imagebutton.h"
#include "tests/alertprobe.h"
#include "tests/stderrcapture.h"

#include <QGuiApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QScreen>
#include <QTimer>
#include <QtTest>

namespace {

QPushButton *closeButton(DesktopAlertWidget *w)
{
    return w->findChild<QPushButton *>(QStringLiteral("DesktopAlertWndCloseBtn"));
}
} // namespace

namespace {
QtMessageHandler testHandler = nullptr;
// The offscreen platform cannot show opacity; it says so on every fade step.
void dropOpacityWarnings(QtMsgType type, const QMessageLogContext &context, const QString &message)
{
    if (message.contains(QLatin1String("does not support setting window opacity")))
        return;
    testHandler(type, context, message);
}
} // namespace

class tst_DesktopAlertWidget : public QObject
{
    Q_OBJECT
private slots:
    // Installed inside the test run, in front of the test library's own handler.
    void initTestCase() { testHandler = qInstallMessageHandler(dropOpacityWarnings); }
    void cleanupTestCase() { qInstallMessageHandler(testHandler); }

    void layouts_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<bool>("hasActionButton");
        QTest::addColumn<bool>("hasContextIcon");
        QTest::addColumn<QString>("title");
        QTest::newRow("action button") << 0 << true << false << "<font color=white><strong>升级</strong></font>";
        QTest::newRow("icon and link") << 1 << false << true << "<font color=white><strong>提示</strong></font>";
        QTest::newRow("plain text") << 2 << false << false << "";
    }
    void layouts()
    {
        QFETCH(int, type);
        QFETCH(bool, hasActionButton);
        QFETCH(bool, hasContextIcon);
        QFETCH(QString, title);
        DesktopAlertWidget w(nullptr, type);
        QCOMPARE(w.layoutType(), type);
        QCOMPARE(w.title(), title);
        QCOMPARE(w.minimumWidth(), 220);
        QCOMPARE(w.maximumWidth(), 220);
        QCOMPARE(w.minimumHeight(), 70);
        QVERIFY(w.testAttribute(Qt::WA_TranslucentBackground));
        QVERIFY(w.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(w.windowFlags() & Qt::WindowStaysOnTopHint);
        // Shown without taking the keyboard from the window the user types into.
        QVERIFY(w.testAttribute(Qt::WA_ShowWithoutActivating));
        QVERIFY(w.windowFlags() & Qt::WindowDoesNotAcceptFocus);
        auto *titleIcon = w.findChild<QLabel *>(QStringLiteral("DesktopAlertWndTitleIcon"));
        QVERIFY(titleIcon);
        QCOMPARE(titleIcon->size(), QSize(18, 16));
        QVERIFY(closeButton(&w));
        QCOMPARE(closeButton(&w)->size(), QSize(14, 12));
        auto *action = w.findChild<QPushButton *>(QStringLiteral("DesktopAlertWndUpdateBtn"));
        QCOMPARE(action != nullptr, hasActionButton);
        if (action) {
            QCOMPARE(action->text(), QStringLiteral("立刻升级"));
            QCOMPARE(action->size(), QSize(72, 26));
        }
        auto *contextIcon = w.findChild<QLabel *>(QStringLiteral("DesktopAlertWndContextIcon"));
        QCOMPARE(contextIcon != nullptr, hasContextIcon);
    }

    void unknownTypeIsReported()
    {
        StderrCapture capture;
        DesktopAlertWidget w(nullptr, 7);
        QVERIFY(capture.text().contains("错误: 未知窗口类型！"));
    }

    void content_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("content");
        QTest::addColumn<QString>("shown");
        const QString wrapped = QStringLiteral("<style>a{text-decoration:none }</style> <a href=\"127.0.0.1\">"
                                               "<font size=4 color=#0E5ECA>新消息</font></a> ");
        QTest::newRow("link layout wraps plain text") << 1 << "新消息" << wrapped;
        QTest::newRow("link layout keeps markup") << 1 << "<b>新消息</b>" << "<b>新消息</b>";
        QTest::newRow("plain layout unchanged") << 2 << "新消息" << "新消息";
        QTest::newRow("action layout unchanged") << 0 << "新版本" << "新版本";
        const QString consent = QStringLiteral("\"卡沃演示应用\"新版本5.0.0.1已经下载完成, 是否退出程序立即更新？"
                                               "更新完毕后将自动启动新版程序。(来自 updates.example.com)");
        QTest::newRow("long update question") << 0 << consent << consent;
        QTest::newRow("long plain text") << 2 << consent + consent << consent + consent;
        const QString message = QStringLiteral("你有一条新消息，点击查看，这条消息比一行长");
        QTest::newRow("long link message") << 1 << message << QString(wrapped).replace(QStringLiteral("新消息"), message);
    }
    void content()
    {
        QFETCH(int, type);
        QFETCH(QString, content);
        QFETCH(QString, shown);
        DesktopAlertWidget w(nullptr, type);
        w.setContent(content);
        QCOMPARE(w.content(), shown);
        // Shown, the whole text fits: no line is cut off at the top or the bottom.
        w.popUp();
        auto *label = w.findChild<QLabel *>(QString(), Qt::FindDirectChildrenOnly);
        QVERIFY(label);
        QTRY_VERIFY(label->isVisible());
        QVERIFY2(label->height() >= label->heightForWidth(label->width()),
                 qPrintable(QStringLiteral("%1 < %2").arg(label->height()).arg(label->heightForWidth(label->width()))));
    }

    void autoCloseDelayIgnoredForActionLayout_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<int>("expected");
        QTest::newRow("action") << 0 << 10000;
        QTest::newRow("link") << 1 << 5000;
        QTest::newRow("plain") << 2 << 5000;
    }
    void autoCloseDelayIgnoredForActionLayout()
    {
        QFETCH(int, type);
        QFETCH(int, expected);
        DesktopAlertWidget w(nullptr, type);
        w.setAutoCloseDelay(5000);
        QCOMPARE(w.autoCloseDelay(), expected);
        w.popUp();
        auto *timer = w.findChild<QTimer *>(QStringLiteral("autoCloseTimer"));
        QVERIFY(timer);
        QCOMPARE(timer->isActive(), type != 0);
        if (type != 0)
            QCOMPARE(timer->interval(), expected);
    }

    void popUpSlidesToBottomRight()
    {
        auto *w = new DesktopAlertWidget(nullptr, 2);
        QPointer<DesktopAlertWidget> guard(w);
        w->setContent(QStringLiteral("<strong>缓存已经清空</strong>"));
        w->popUp();
        QVERIFY(w->isVisible());
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QVERIFY(w->pos().y() > available.bottom() - w->frameSize().height() - 1);
        QTRY_COMPARE_WITH_TIMEOUT(w->pos(), w->restingPosition(), 2000);
        QCOMPARE(w->pos().x(), available.right() - w->frameSize().width() - 1);
        delete w;
    }

    // Several pop-ups stack upwards; the place of one that went is taken by the next.
    void popUpsStackUpwards()
    {
        QList<QPointer<DesktopAlertWidget>> shown;
        for (int i = 0; i < 3; ++i) {
            auto *w = new DesktopAlertWidget(nullptr, 2);
            w->setContent(QStringLiteral("消息 %1").arg(i));
            w->setAutoCloseDelay(60000);
            w->popUp();
            shown << w;
        }
        const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
        QCOMPARE(shown.at(0)->restingPosition().y(), available.bottom() - shown.at(0)->frameSize().height() - 1);
        for (int i = 1; i < 3; ++i) {
            const QRect lower(shown.at(i - 1)->restingPosition(), shown.at(i - 1)->frameSize());
            const QRect upper(shown.at(i)->restingPosition(), shown.at(i)->frameSize());
            QCOMPARE(upper.x(), lower.x());
            QVERIFY(upper.bottom() < lower.top());
            QVERIFY(upper.top() >= available.top());
        }
        for (const auto &w : std::as_const(shown))
            QTRY_COMPARE_WITH_TIMEOUT(w->pos(), w->restingPosition(), 2000);

        const QPoint freed = shown.at(0)->restingPosition();
        shown.at(0)->close();
        auto *next = new DesktopAlertWidget(nullptr, 2);
        next->setContent(QStringLiteral("消息 3"));
        next->popUp();
        QCOMPARE(next->restingPosition(), freed);
        delete next;
        for (const auto &w : std::as_const(shown))
            delete w.data();
    }

    void fadeTakesEightyFiveTicks()
    {
        auto *w = new DesktopAlertWidget(nullptr, 1);
        QPointer<DesktopAlertWidget> guard(w);
        QSignalSpy spy(w, &DesktopAlertWidget::runCmd);
        w->show();
        for (int i = 0; i < 84; ++i)
            w->fadeTick();
        QCOMPARE(w->alpha(), 3);
        QVERIFY(spy.isEmpty());
        w->fadeTick();
        QCOMPARE(w->alpha(), 0);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), 3);
        w->fadeTick();
        QCOMPARE(spy.count(), 1);
        processDeferredDeletes();
        QVERIFY(guard.isNull());
    }

    void fadeRunsOnItsOwnTimers()
    {
        auto *w = new DesktopAlertWidget(nullptr, 2);
        QPointer<DesktopAlertWidget> guard(w);
        QSignalSpy spy(w, &DesktopAlertWidget::runCmd);
        w->setAutoCloseDelay(10);
        w->popUp();
        auto *fade = w->findChild<QTimer *>(QStringLiteral("fadeTimer"));
        QVERIFY(fade);
        QCOMPARE(fade->interval(), 30);
        QTRY_VERIFY_WITH_TIMEOUT(w->isFading(), 1000);
        QVERIFY(w->alpha() > 200);
        // 85 ticks of 30 ms.
        QVERIFY(spy.wait(6000));
        QCOMPARE(spy.at(0).at(0).toInt(), 3);
        QTRY_VERIFY_WITH_TIMEOUT(guard.isNull(), 1000);
    }

    void pointerOverStopsFade()
    {
        DesktopAlertWidget w(nullptr, 1);
        w.show();
        w.startAni();
        for (int i = 0; i < 10; ++i)
            w.fadeTick();
        QCOMPARE(w.alpha(), 225);
        QEvent enter(QEvent::Enter);
        QCoreApplication::sendEvent(&w, &enter);
        QCOMPARE(w.alpha(), 255);
        QVERIFY(!w.isFadingEnabled());
        QCOMPARE(w.windowOpacity(), 1.0);
        w.fadeTick();
        QCOMPARE(w.alpha(), 255);
        QEvent leave(QEvent::Leave);
        QCoreApplication::sendEvent(&w, &leave);
        QVERIFY(w.isFadingEnabled());
        w.fadeTick();
        QCOMPARE(w.alpha(), 252);
        QVERIFY(w.isFading());
    }

    void actions_data()
    {
        QTest::addColumn<int>("type");
        QTest::addColumn<QString>("action");
        QTest::addColumn<int>("cmd");
        QTest::newRow("close button") << 1 << "close" << 1;
        QTest::newRow("close request") << 2 << "closeRequest" << 1;
        QTest::newRow("action button") << 0 << "ok" << 0;
        QTest::newRow("link") << 1 << "link" << 2;
    }
    void actions()
    {
        QFETCH(int, type);
        QFETCH(QString, action);
        QFETCH(int, cmd);
        auto *w = new DesktopAlertWidget(nullptr, type);
        QPointer<DesktopAlertWidget> guard(w);
        w->setContent(QStringLiteral("消息"));
        w->show();
        QSignalSpy spy(w, &DesktopAlertWidget::runCmd);
        if (action == QLatin1String("close"))
            QTest::mouseClick(closeButton(w), Qt::LeftButton);
        else if (action == QLatin1String("closeRequest"))
            w->close();
        else if (action == QLatin1String("ok"))
            QTest::mouseClick(w->findChild<QPushButton *>(QStringLiteral("DesktopAlertWndUpdateBtn")),
                              Qt::LeftButton);
        else
            emit contentLabel(w)->linkActivated(QStringLiteral("127.0.0.1"));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), cmd);
        QVERIFY(!w->isVisible());
        // A close after the action raises nothing more.
        w->close();
        QCOMPARE(spy.count(), 1);
        processDeferredDeletes();
        QVERIFY(guard.isNull());
    }

    void linkFromContentLabel()
    {
        // The content label is the one carrying the wrapped link.
        auto *w = new DesktopAlertWidget(nullptr, 1);
        w->setContent(QStringLiteral("点我"));
        QLabel *content = contentLabel(w);
        QVERIFY(content);
        QSignalSpy spy(w, &DesktopAlertWidget::runCmd);
        emit content->linkActivated(QStringLiteral("127.0.0.1"));
        QCOMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toInt(), 2);
        processDeferredDeletes();
    }

    void dragInTitleArea_data()
    {
        QTest::addColumn<int>("pressY");
        QTest::addColumn<bool>("drags");
        QTest::newRow("title area") << 10 << true;
        QTest::newRow("title edge") << 32 << true;
        QTest::newRow("body") << 50 << false;
    }
    void dragInTitleArea()
    {
        QFETCH(int, pressY);
        QFETCH(bool, drags);
        DesktopAlertWidget w(nullptr, 2);
        w.resize(220, 100);
        w.move(100, 100);
        w.show();
        QVERIFY(QTest::qWaitForWindowExposed(&w));
        const QPoint before = w.pos();
        QTest::mousePress(&w, Qt::LeftButton, Qt::NoModifier, QPoint(60, pressY));
        QCOMPARE(w.isDragging(), drags);
        QMouseEvent move(QEvent::MouseMove, QPoint(60, pressY), w.mapToGlobal(QPoint(60, pressY)) + QPoint(40, 25),
                         Qt::NoButton, Qt::LeftButton, Qt::NoModifier);
        QCoreApplication::sendEvent(&w, &move);
        QCOMPARE(w.pos(), drags ? before + QPoint(40, 25) : before);
        QTest::mouseRelease(&w, Qt::LeftButton, Qt::NoModifier, QPoint(60, pressY));
        QVERIFY(!w.isDragging());
    }
};

class tst_ImageButton : public QObject
{
    Q_OBJECT
private slots:
    void objectNameGoesToButton()
    {
        QWidget parent;
        ImageButton b(QStringLiteral("OK"), &parent);
        QCOMPARE(b.objectName(), QStringLiteral("ImageButtonHighligter"));
        QCOMPARE(b.button()->text(), QStringLiteral("OK"));
        QCOMPARE(b.button()->parent(), &b);
        b.setObjectName(QStringLiteral("toolBtnOK"));
        QCOMPARE(b.objectName(), QStringLiteral("ImageButtonHighligter"));
        QCOMPARE(b.button()->objectName(), QStringLiteral("toolBtnOK"));
        static_cast<QObject &>(b).setObjectName(QStringLiteral("toolBtnCancel"));
        QCOMPARE(b.button()->objectName(), QStringLiteral("toolBtnCancel"));
        QCOMPARE(parent.findChild<QPushButton *>(QStringLiteral("toolBtnCancel")), b.button());
    }

    void clickIsForwarded()
    {
        QWidget parent;
        ImageButton b(QStringLiteral("OK"), &parent);
        parent.show();
        QSignalSpy spy(&b, &ImageButton::clicked);
        QTest::mouseClick(b.button(), Qt::LeftButton);
        QCOMPARE(spy.count(), 1);
    }
};


int main(int argc, char **argv)
{
    QApplication app(argc, argv);
    int status = 0;
    {
        tst_DesktopAlertWidget t;
        status |= QTest::qExec(&t, argc, argv);
    }
    {
        tst_ImageButton t;
        status |= QTest::qExec(&t, argc, argv);
    }
    return status;
}

#include "tst_desktopalertwidget.moc"

#include <utility>
