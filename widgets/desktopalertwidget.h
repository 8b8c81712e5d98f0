#pragma once

#include <QPoint>
#include <QWidget>

class QLabel;
class QPushButton;
class QTimer;

// A frameless pop-up that slides up at the bottom right of the desktop and, for the icon-and-link
// and plain layouts, fades out by itself after a delay. Its look comes from the style sheet through
// the object names of its parts. It deletes itself after any action, close or completed fade.
class DesktopAlertWidget : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(DesktopAlertWidget)
public:
    enum LayoutType { ActionButtonLayout = 0, IconLinkLayout = 1, PlainTextLayout = 2 };
    // runCmd codes.
    enum Command { ActionCommand = 0, CloseCommand = 1, LinkCommand = 2, FadedCommand = 3 };

    static constexpr int fadeIntervalMs = 30;
    static constexpr int fadeStep = 3;
    static constexpr int slideDurationMs = 500;

    static constexpr int stackGap = 6;

    DesktopAlertWidget(QWidget *parent, int layoutType);
    ~DesktopAlertWidget() override;

    void setTitle(const QString &title);
    void setContent(const QString &content);
    // Ignored for the action-button layout, which stays until the user acts.
    void setAutoCloseDelay(int milliseconds);
    void popUp();

    int layoutType() const { return m_layoutType; }
    int alpha() const { return m_alpha; }
    int autoCloseDelay() const { return m_autoCloseDelay; }
    bool isFadingEnabled() const { return m_fadingEnabled; }
    bool isFading() const;
    bool isDragging() const { return m_dragging; }
    QString title() const;
    QString content() const;
    // The slide's end: at the bottom right of the desktop, above the pop-ups already resting
    // there, so several stack upwards instead of covering each other.
    QPoint restingPosition() const;

    // One tick of the fade; public so the fade can be stepped without waiting for the timer.
    void fadeTick();

signals:
    void runCmd(int cmd);

public slots:
    void onOkBtn();
    void startAni();
    void onClickLink(const QString &link);

protected:
    void paintEvent(QPaintEvent *event) override;
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
    void enterEvent(QEnterEvent *event) override;
#else
    void enterEvent(QEvent *event) override;
#endif
    void leaveEvent(QEvent *event) override;
    void mousePressEvent(QMouseEvent *event) override;
    void mouseMoveEvent(QMouseEvent *event) override;
    void mouseReleaseEvent(QMouseEvent *event) override;
    void closeEvent(QCloseEvent *event) override;

private:
    void finish(int cmd);
    QPoint freeRestingPosition() const;

    int m_layoutType;
    QLabel *m_contentLabel = nullptr;
    QLabel *m_titleLabel = nullptr;
    QLabel *m_titleIcon = nullptr;
    QLabel *m_contextIcon = nullptr;
    QWidget *m_titleBar = nullptr;
    QPushButton *m_closeButton = nullptr;
    int m_alpha = 255;
    int m_titleBarHeight = 32;
    int m_autoCloseDelay = 10000;
    bool m_fadingEnabled = true;
    bool m_dragging = false;
    QPoint m_dragOffset = QPoint(-1, -1);
    QTimer *m_autoCloseTimer;
    QTimer *m_fadeTimer;
    bool m_finished = false;
    bool m_resting = false;
    QPoint m_restingPos;
};
