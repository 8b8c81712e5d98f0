#include "bridge/screengrab.h"
#include "grabtesthelpers.h"

#include <QLayout>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QtTest>

using namespace GrabInput;

namespace {
const QSize screenSize(400, 300);

QPushButton *toolButton(ScreenGrab *grab, const char *name)
{
    return grab->findChild<QPushButton *>(QLatin1String(name));
}

// A grab over the pattern with the given window list, shown, with a rectangle already drawn.
std::unique_ptr<ScreenGrab> grabWithSelection(const QRect &selection)
{
    std::unique_ptr<ScreenGrab> grab(new ScreenGrab(patternShot(screenSize), {}));
    grab->show();
    // The drag ends at the corner just outside the selection.
    drag(grab.get(), selection.topLeft(), selection.bottomRight() + QPoint(1, 1));
    settle(grab.get());
    return grab;
}
} // namespace

class tst_ScreenGrab : public QObject
{
    Q_OBJECT
private slots:
    void construction()
    {
        ScreenGrab grab(patternShot(screenSize), {});
        QCOMPARE(grab.size(), screenSize);
        QCOMPARE(grab.pos(), QPoint(0, 0));
        QVERIFY(grab.windowFlags() & Qt::FramelessWindowHint);
        QVERIFY(grab.windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(grab.cursor().shape(), Qt::CrossCursor);
        QVERIFY(grab.hasMouseTracking());
        QWidget *tool = grab.toolWidget();
        QCOMPARE(tool->objectName(), QStringLiteral("toolWidget"));
        QCOMPARE(tool->size(), QSize(50, 26));
        QVERIFY(tool->isHidden());
        QVERIFY(toolButton(&grab, "toolBtnOK"));
        QVERIFY(toolButton(&grab, "toolBtnCancel"));
        QCOMPARE(toolButton(&grab, "toolBtnOK")->parentWidget()->toolTip(), QStringLiteral("完成截图"));
        QCOMPARE(toolButton(&grab, "toolBtnCancel")->parentWidget()->toolTip(), QStringLiteral("取消截图"));
        // Cancel stands left of OK.
        tool->layout()->activate();
        QVERIFY(toolButton(&grab, "toolBtnCancel")->parentWidget()->x()
                < toolButton(&grab, "toolBtnOK")->parentWidget()->x());
    }

    void dragSelectsAndOkHandsOverTheSelectedPixels()
    {
        auto grab = grabWithSelection(QRect(QPoint(50, 40), QPoint(150, 120)));
        QVERIFY(grab->isSelected());
        QCOMPARE(grab->selection(), QRect(QPoint(50, 40), QPoint(150, 120)));
        QVERIFY(grab->toolWidget()->isVisible());
        QCOMPARE(grab->toolWidget()->pos(), QPoint(150 - 50, 120 + 5));

        QSignalSpy finished(grab.get(), &ScreenGrab::grabFinished);
        QSignalSpy canceled(grab.get(), &ScreenGrab::grabCanceled);
        QTest::mouseClick(toolButton(grab.get(), "toolBtnOK"), Qt::LeftButton);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(canceled.count(), 0);
        const QImage picture = finished.at(0).at(0).value<QPixmap>().toImage();
        QCOMPARE(picture.size(), QSize(101, 81));
        QCOMPARE(QColor(picture.pixel(0, 0)), QColor(qRgb(50, 40, 0)));
        QCOMPARE(QColor(picture.pixel(100, 80)), QColor(qRgb(150, 120, 0)));
        QCOMPARE(picture, patternShot(screenSize).toImage().copy(QRect(50, 40, 101, 81)).convertToFormat(picture.format()));
        QVERIFY(!grab->isVisible());
    }

    void eventsWaitForTheClickTimer()
    {
        ScreenGrab grab(patternShot(screenSize), {});
        grab.show();
        press(&grab, QPoint(10, 10));
        move(&grab, QPoint(60, 70));
        release(&grab, QPoint(60, 70));
        // Nothing is handled before the double-click interval has passed.
        QVERIFY(!grab.isSelected());
        QVERIFY(!grab.isSelecting());
        QVERIFY(settle(&grab));
        QVERIFY(grab.isSelected());
        QCOMPARE(grab.selection(), QRect(QPoint(10, 10), QSize(50, 60)));
    }

    void reverseDragIsNormalisedAndClamped()
    {
        ScreenGrab grab(patternShot(screenSize), {});
        grab.show();
        drag(&grab, QPoint(200, 150), QPoint(-50, 900));
        settle(&grab);
        QCOMPARE(grab.selection(), QRect(QPoint(0, 150), QPoint(199, 299)));
    }

    // The size written in the selection is the size of the drag and of the picture.
    void dragSizeIsThePictureSize_data()
    {
        QTest::addColumn<QPoint>("from");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QSize>("size");
        QTest::newRow("300 x 250") << QPoint(20, 30) << QPoint(320, 280) << QSize(300, 250);
        QTest::newRow("300 x 250 drawn backwards") << QPoint(320, 280) << QPoint(20, 30) << QSize(300, 250);
        QTest::newRow("the whole screen") << QPoint(0, 0) << QPoint(999, 999) << screenSize;
        QTest::newRow("one pixel") << QPoint(5, 5) << QPoint(6, 6) << QSize(1, 1);
    }
    void dragSizeIsThePictureSize()
    {
        QFETCH(QPoint, from);
        QFETCH(QPoint, to);
        QFETCH(QSize, size);
        ScreenGrab grab(patternShot(screenSize), {});
        grab.show();
        drag(&grab, from, to);
        QVERIFY(settle(&grab));
        QCOMPARE(grab.selection().size(), size);
        QCOMPARE(grab.sizeText(), QStringLiteral("%1 x %2 ").arg(size.width()).arg(size.height()));
        QSignalSpy finished(&grab, &ScreenGrab::grabFinished);
        QTest::mouseClick(toolButton(&grab, "toolBtnOK"), Qt::LeftButton);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<QPixmap>().size(), size);
    }

    void clickWithoutDragSelectsNothing()
    {
        ScreenGrab grab(patternShot(screenSize), {});
        grab.show();
        press(&grab, QPoint(30, 30));
        release(&grab, QPoint(30, 30));
        settle(&grab);
        QVERIFY(!grab.isSelected());
        QVERIFY(grab.toolWidget()->isHidden());
    }

    void moveStaysOnScreen_data()
    {
        QTest::addColumn<QPoint>("by");
        QTest::addColumn<QRect>("expected");
        const QRect start(QPoint(100, 100), QPoint(199, 149));
        QTest::newRow("inside") << QPoint(30, -20) << start.translated(30, -20);
        QTest::newRow("past the left") << QPoint(-500, 0) << QRect(QPoint(0, 100), QSize(100, 50));
        QTest::newRow("past the bottom right") << QPoint(900, 900) << QRect(QPoint(300, 250), QSize(100, 50));
    }
    void moveStaysOnScreen()
    {
        QFETCH(QPoint, by);
        QFETCH(QRect, expected);
        auto grab = grabWithSelection(QRect(QPoint(100, 100), QPoint(199, 149)));
        QCOMPARE(grab->hitTest(QPoint(150, 120)), int(ScreenGrab::HitInside));
        drag(grab.get(), QPoint(150, 120), QPoint(150, 120) + by);
        settle(grab.get());
        QCOMPARE(grab->selection(), expected);
        QVERIFY(grab->toolWidget()->isVisible());
    }

    void resizeByEachHandle_data()
    {
        QTest::addColumn<QPoint>("handle");
        QTest::addColumn<int>("code");
        QTest::addColumn<QPoint>("to");
        QTest::addColumn<QRect>("expected");
        // Selection (100,100)-(200,160); centre (150,130). A right or bottom edge dragged to the
        // pointer ends just before it, as a drawn rectangle does.
        QTest::newRow("top") << QPoint(150, 100) << 1 << QPoint(10, 80) << QRect(QPoint(100, 80), QPoint(200, 160));
        QTest::newRow("bottom") << QPoint(150, 160) << 2 << QPoint(10, 200) << QRect(QPoint(100, 100), QPoint(200, 199));
        QTest::newRow("left") << QPoint(100, 130) << 3 << QPoint(40, 5) << QRect(QPoint(40, 100), QPoint(200, 160));
        QTest::newRow("right") << QPoint(200, 130) << 4 << QPoint(260, 5) << QRect(QPoint(100, 100), QPoint(259, 160));
        QTest::newRow("top left") << QPoint(100, 100) << 5 << QPoint(90, 95) << QRect(QPoint(90, 95), QPoint(200, 160));
        QTest::newRow("bottom right") << QPoint(200, 160) << 6 << QPoint(250, 170) << QRect(QPoint(100, 100), QPoint(249, 169));
        QTest::newRow("top right") << QPoint(200, 100) << 7 << QPoint(220, 50) << QRect(QPoint(100, 50), QPoint(219, 160));
        QTest::newRow("bottom left") << QPoint(100, 160) << 8 << QPoint(60, 190) << QRect(QPoint(60, 100), QPoint(200, 189));
        QTest::newRow("past the opposite side") << QPoint(200, 130) << 4 << QPoint(50, 0) << QRect(QPoint(50, 100), QPoint(99, 160));
        QTest::newRow("clamped to the screen") << QPoint(200, 160) << 6 << QPoint(999, 999) << QRect(QPoint(100, 100), QPoint(399, 299));
    }
    void resizeByEachHandle()
    {
        QFETCH(QPoint, handle);
        QFETCH(int, code);
        QFETCH(QPoint, to);
        QFETCH(QRect, expected);
        auto grab = grabWithSelection(QRect(QPoint(100, 100), QPoint(200, 160)));
        QCOMPARE(grab->hitTest(handle), code);
        press(grab.get(), handle);
        settle(grab.get());
        QVERIFY(grab->toolWidget()->isHidden());
        move(grab.get(), to);
        QCOMPARE(grab->selection(), expected);
        release(grab.get(), to);
        QVERIFY(grab->toolWidget()->isVisible());
    }

    void cursorFollowsHandles_data()
    {
        QTest::addColumn<QPoint>("pos");
        QTest::addColumn<int>("shape");
        QTest::newRow("top") << QPoint(150, 101) << int(Qt::SizeVerCursor);
        QTest::newRow("bottom") << QPoint(151, 160) << int(Qt::SizeVerCursor);
        QTest::newRow("left") << QPoint(98, 130) << int(Qt::SizeHorCursor);
        QTest::newRow("right") << QPoint(202, 130) << int(Qt::SizeHorCursor);
        QTest::newRow("top left") << QPoint(100, 100) << int(Qt::SizeFDiagCursor);
        QTest::newRow("bottom right") << QPoint(200, 160) << int(Qt::SizeFDiagCursor);
        QTest::newRow("top right") << QPoint(200, 100) << int(Qt::SizeBDiagCursor);
        QTest::newRow("bottom left") << QPoint(100, 160) << int(Qt::SizeBDiagCursor);
        QTest::newRow("inside") << QPoint(120, 120) << int(Qt::SizeAllCursor);
        QTest::newRow("outside") << QPoint(20, 20) << int(Qt::ArrowCursor);
    }
    void cursorFollowsHandles()
    {
        QFETCH(QPoint, pos);
        QFETCH(int, shape);
        auto grab = grabWithSelection(QRect(QPoint(100, 100), QPoint(200, 160)));
        move(grab.get(), pos, Qt::NoButton);
        QCOMPARE(int(grab->cursor().shape()), shape);
    }

    void toolWidgetPlacement_data()
    {
        QTest::addColumn<QRect>("selection");
        QTest::addColumn<QPoint>("expected");
        QTest::newRow("below") << QRect(QPoint(100, 100), QPoint(200, 160)) << QPoint(150, 165);
        QTest::newRow("above when no room below") << QRect(QPoint(100, 100), QPoint(200, 280)) << QPoint(150, 100 - 26 - 5);
        QTest::newRow("inside when no room at all") << QRect(QPoint(100, 20), QPoint(200, 290)) << QPoint(150, 25);
    }
    void toolWidgetPlacement()
    {
        QFETCH(QRect, selection);
        QFETCH(QPoint, expected);
        auto grab = grabWithSelection(selection);
        QCOMPARE(grab->toolWidget()->pos(), expected);
    }

    void doubleClickFinishesOnce()
    {
        auto grab = grabWithSelection(QRect(QPoint(20, 30), QPoint(69, 59)));
        QSignalSpy finished(grab.get(), &ScreenGrab::grabFinished);
        QSignalSpy canceled(grab.get(), &ScreenGrab::grabCanceled);
        doubleClick(grab.get(), QPoint(40, 40));
        QCOMPARE(finished.count(), 1);
        QCOMPARE(finished.at(0).at(0).value<QPixmap>().size(), QSize(50, 30));
        // The queued press of the double click never reaches the selection.
        settle(grab.get());
        QCOMPARE(grab->selection(), QRect(QPoint(20, 30), QPoint(69, 59)));
        QCOMPARE(canceled.count(), 0);
    }

    void cancelWays_data()
    {
        QTest::addColumn<QString>("way");
        QTest::newRow("cancel button") << "button";
        QTest::newRow("escape") << "escape";
        QTest::newRow("close") << "close";
        QTest::newRow("close before any selection") << "closeEarly";
    }
    void cancelWays()
    {
        QFETCH(QString, way);
        std::unique_ptr<ScreenGrab> grab;
        if (way == QLatin1String("closeEarly")) {
            grab.reset(new ScreenGrab(patternShot(screenSize), {}));
            grab->show();
        } else {
            grab = grabWithSelection(QRect(QPoint(20, 30), QPoint(69, 59)));
        }
        QSignalSpy finished(grab.get(), &ScreenGrab::grabFinished);
        QSignalSpy canceled(grab.get(), &ScreenGrab::grabCanceled);
        if (way == QLatin1String("button"))
            QTest::mouseClick(toolButton(grab.get(), "toolBtnCancel"), Qt::LeftButton);
        else if (way == QLatin1String("escape"))
            QTest::keyClick(grab.get(), Qt::Key_Escape);
        else
            grab->close();
        QCOMPARE(canceled.count(), 1);
        QCOMPARE(finished.count(), 0);
        QVERIFY(!grab->isVisible());
        grab->close();
        QCOMPARE(canceled.count(), 1);
    }

    void finishedThenClosedIsNoCancel()
    {
        auto grab = grabWithSelection(QRect(QPoint(20, 30), QPoint(69, 59)));
        QSignalSpy canceled(grab.get(), &ScreenGrab::grabCanceled);
        QTest::mouseClick(toolButton(grab.get(), "toolBtnOK"), Qt::LeftButton);
        grab->close();
        QCOMPARE(canceled.count(), 0);
    }

    void hoverHighlightsTopmostWindow_data()
    {
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QRect>("expected");
        QTest::newRow("front window") << QPoint(30, 30) << QRect(10, 10, 100, 80);
        QTest::newRow("window behind") << QPoint(200, 200) << QRect(0, 0, 400, 300);
        QTest::newRow("trimmed at the screen edge") << QPoint(380, 5) << QRect(QPoint(350, 0), QPoint(402, 60));
    }
    void hoverHighlightsTopmostWindow()
    {
        QFETCH(QPoint, pointer);
        QFETCH(QRect, expected);
        const QVector<QRect> windows = {QRect(10, 10, 100, 80), QRect(QPoint(350, -20), QPoint(450, 60)),
                                        QRect(0, 0, 400, 300)};
        ScreenGrab grab(patternShot(screenSize), windows);
        grab.show();
        move(&grab, pointer, Qt::NoButton);
        QCOMPARE(grab.selection(), expected);
        QVERIFY(!grab.isSelected());
    }

    void hoverOverNoWindowSelectsNothing()
    {
        ScreenGrab grab(patternShot(screenSize), {QRect(10, 10, 100, 80)});
        grab.show();
        move(&grab, QPoint(300, 200), Qt::NoButton);
        QVERIFY(!grab.selection().isValid());
        QSignalSpy finished(&grab, &ScreenGrab::grabFinished);
        doubleClick(&grab, QPoint(300, 200));
        QCOMPARE(finished.count(), 0);
    }

    void doubleClickOnHoveredWindowTakesItWithinTheScreen()
    {
        ScreenGrab grab(patternShot(screenSize), {QRect(QPoint(350, 200), QPoint(450, 320))});
        grab.show();
        move(&grab, QPoint(360, 250), Qt::NoButton);
        QSignalSpy finished(&grab, &ScreenGrab::grabFinished);
        doubleClick(&grab, QPoint(360, 250));
        QCOMPARE(finished.count(), 1);
        const QImage picture = finished.at(0).at(0).value<QPixmap>().toImage();
        QCOMPARE(picture.size(), QSize(50, 100));
        QCOMPARE(QColor(picture.pixel(49, 99)), QColor(qRgb(143, 43, 80)));
    }

    void paintingShadesOutsideTheSelection()
    {
        QImage white(screenSize, QImage::Format_RGB32);
        white.fill(Qt::white);
        ScreenGrab grab(QPixmap::fromImage(white), {});
        grab.show();
        drag(&grab, QPoint(100, 100), QPoint(200, 160));
        settle(&grab);
        grab.toolWidget()->hide();
        const QImage painted = grab.grab().toImage();
        QCOMPARE(QColor(painted.pixel(150, 130)), QColor(Qt::white));
        const QColor shaded(painted.pixel(20, 20));
        QVERIFY(shaded.red() < 200 && shaded.red() > 150);
        QCOMPARE(QColor(painted.pixel(100, 130)), QColor(0, 0, 255));
        // The handle at the top-left corner, 5 x 5 around it.
        QCOMPARE(QColor(painted.pixel(98, 98)), QColor(0, 0, 255));
        QCOMPARE(QColor(painted.pixel(102, 102)), QColor(0, 0, 255));
    }
};

QTEST_MAIN(tst_ScreenGrab)
#include "tst_screengrab.moc"
