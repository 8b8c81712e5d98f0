#pragma once

#include <QPixmap>
#include <QPoint>
#include <QRect>
#include <QVector>
#include <QWidget>

class QTimer;

// The full-screen window in which the user picks a rectangle of a frozen picture of the screen:
// hover highlights a top-level window, a drag draws a rectangle, its handles resize it, its inside
// moves it; OK or a double click emits grabFinished, cancel, Escape or any other close grabCanceled.
// Exactly one of the two signals is emitted per window.
class ScreenGrab : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(ScreenGrab)
public:
    // Handle codes of the hit test.
    enum HitCode {
        HitNone = 0,
        HitTop = 1,
        HitBottom = 2,
        HitLeft = 3,
        HitRight = 4,
        HitTopLeft = 5,
        HitBottomRight = 6,
        HitTopRight = 7,
        HitBottomLeft = 8,
        HitInside = 9
    };
    static constexpr int clickIntervalMs = 200;

    // Grabs the primary screen as it is now.
    ScreenGrab();
    // Works on the given picture instead of the screen, with the given window rectangles for the
    // hover highlight (screen coordinates, topmost first).
    ScreenGrab(const QPixmap &shot, const QVector<QRect> &windowRects);
    ~ScreenGrab() override;

    QRect selection() const { return m_selection; }
    // The size written in the selection: the size of the picture it gives.
    QString sizeText() const;
    bool isSelecting() const { return m_selecting; }
    bool isSelected() const { return m_selected; }
    QWidget *toolWidget() const { return m_toolWidget; }
    QPixmap shot() const { return m_shot; }
    int hitTest(const QPoint &pos) const;

signals:
    void grabFinished(const QPixmap &pix);
    void grabCanceled();

private slots:
    void onOKBtn();
    void onCancelBtn();
    void onTimeout();

protected:
    void paintEvent(QPaintEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void mouseDoubleClickEvent(QMouseEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    struct QueuedMouseEvent {
        int kind; // 0 press, 1 move, 2 release
        QPoint pos;
        Qt::MouseButton button;
    };

    void setUp(const QVector<QRect> &windowRects);
    void handlePress(const QPoint &pos);
    void handleMove(const QPoint &pos);
    void handleRelease(const QPoint &pos);
    void placeToolWidget();
    void updateCursor(int code);
    QPoint clampToWidget(const QPoint &pos) const;
    QRect windowRectAt(const QPoint &pos) const;
    void finishGrab();
    void cancelGrab();

    QWidget *m_toolWidget = nullptr;
    QPixmap m_shot;
    QPixmap m_shadedShot;
    QPoint m_startPoint = QPoint(-1, -1);
    QPoint m_endPoint = QPoint(-1, -1);
    QRect m_selection;
    bool m_selecting = false;
    bool m_selected = false;
    bool m_resizing = false;
    bool m_moving = false;
    bool m_doubleClicked = false;
    int m_hitCode = HitNone;
    int m_toolGap = 5;
    QVector<QueuedMouseEvent> m_eventQueue;
    QTimer *m_clickTimer = nullptr;
    QVector<QRect> m_windowRects;
    bool m_done = false;
};
