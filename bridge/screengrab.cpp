#include "screengrab.h"

#include "widgets/imagebutton.h"
#include "windowlist.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QScreen>
#include <QTimer>

namespace {
// The pixels a drag from a to b covers, whichever way it went: from the nearer corner up to the
// farther one, which lies just outside, so a drag of 300 x 250 pixels selects 300 x 250 pixels.
QRect spanning(const QPoint &a, const QPoint &b)
{
    const QPoint nearer(qMin(a.x(), b.x()), qMin(a.y(), b.y()));
    return QRect(nearer, QSize(qAbs(a.x() - b.x()), qAbs(a.y() - b.y())));
}
} // namespace

namespace {
QPixmap grabPrimaryScreen()
{
    QScreen *screen = QGuiApplication::primaryScreen();
    const QSize size = screen->geometry().size();
    QPixmap shot = screen->grabWindow(0, 0, 0, size.width(), size.height());
    if (shot.isNull()) {
        // Platforms without a readable screen (offscreen) still get a working selection window.
        shot = QPixmap(size);
        shot.fill(Qt::black);
    }
    return shot;
}
} // namespace

ScreenGrab::ScreenGrab()
    : ScreenGrab(grabPrimaryScreen(), topLevelWindowRects())
{
    setWindowState(Qt::WindowFullScreen);
}

ScreenGrab::ScreenGrab(const QPixmap &shot, const QVector<QRect> &windowRects)
    : QWidget(nullptr)
    , m_shot(shot)
{
    setUp(windowRects);
}

ScreenGrab::~ScreenGrab() = default;

void ScreenGrab::setUp(const QVector<QRect> &windowRects)
{
    // The window list is taken together with the picture: both show the same moment, and the
    // grab window itself is not on screen yet.
    m_windowRects = windowRects;
    setWindowFlags(Qt::FramelessWindowHint | Qt::WindowStaysOnTopHint);
    setCursor(Qt::CrossCursor);
    move(0, 0);
    resize(m_shot.size());
    setMouseTracking(true);

    m_shadedShot = m_shot;
    {
        QPainter painter(&m_shadedShot);
        painter.fillRect(m_shadedShot.rect(), QColor(0, 0, 0, 80));
    }

    m_toolWidget = new QWidget(this);
    m_toolWidget->setObjectName(QStringLiteral("toolWidget"));
    m_toolWidget->setAttribute(Qt::WA_StyledBackground);
    m_toolWidget->setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow);
    m_toolWidget->setFixedSize(50, 26);
    auto *layout = new QHBoxLayout(m_toolWidget);
    layout->setSpacing(0);
    layout->setContentsMargins(2, 2, 2, 2);
    auto *cancelButton = new ImageButton(QString(), m_toolWidget);
    cancelButton->setObjectName(QStringLiteral("toolBtnCancel"));
    cancelButton->setToolTip(QStringLiteral("取消截图"));
    cancelButton->setFixedSize(20, 20);
    auto *okButton = new ImageButton(QString(), m_toolWidget);
    okButton->setObjectName(QStringLiteral("toolBtnOK"));
    okButton->setToolTip(QStringLiteral("完成截图"));
    okButton->setFixedSize(20, 20);
    layout->addWidget(cancelButton);
    layout->addWidget(okButton);
    connect(okButton, &ImageButton::clicked, this, &ScreenGrab::onOKBtn);
    connect(cancelButton, &ImageButton::clicked, this, &ScreenGrab::onCancelBtn);
    m_toolWidget->hide();

    m_clickTimer = new QTimer(this);
    m_clickTimer->setObjectName(QStringLiteral("clickTimer"));
    m_clickTimer->setSingleShot(true);
    m_clickTimer->setInterval(clickIntervalMs);
    connect(m_clickTimer, &QTimer::timeout, this, &ScreenGrab::onTimeout);
}

int ScreenGrab::hitTest(const QPoint &pos) const
{
    if (!m_selection.isValid())
        return HitNone;
    const QRect &s = m_selection;
    const QPoint center = s.center();
    const struct {
        QPoint point;
        int code;
    } handles[] = {
        {s.topLeft(), HitTopLeft},
        {s.bottomRight(), HitBottomRight},
        {s.topRight(), HitTopRight},
        {s.bottomLeft(), HitBottomLeft},
        {QPoint(s.left(), center.y()), HitLeft},
        {QPoint(s.right(), center.y()), HitRight},
        {QPoint(center.x(), s.top()), HitTop},
        {QPoint(center.x(), s.bottom()), HitBottom},
    };
    for (const auto &handle : handles) {
        if (QRect(handle.point - QPoint(2, 2), QSize(5, 5)).contains(pos))
            return handle.code;
    }
    return s.contains(pos) ? HitInside : HitNone;
}

void ScreenGrab::updateCursor(int code)
{
    switch (code) {
    case HitTop:
    case HitBottom:
        setCursor(Qt::SizeVerCursor);
        break;
    case HitLeft:
    case HitRight:
        setCursor(Qt::SizeHorCursor);
        break;
    case HitTopLeft:
    case HitBottomRight:
        setCursor(Qt::SizeFDiagCursor);
        break;
    case HitTopRight:
    case HitBottomLeft:
        setCursor(Qt::SizeBDiagCursor);
        break;
    case HitInside:
        setCursor(Qt::SizeAllCursor);
        break;
    default:
        setCursor(Qt::ArrowCursor);
    }
}

QString ScreenGrab::sizeText() const
{
    return tr("%1 x %2 ").arg(m_selection.width()).arg(m_selection.height());
}

QPoint ScreenGrab::clampToWidget(const QPoint &pos) const
{
    // A corner of a selection lies just outside it: up to width() and height(), so the last
    // column and row can be taken.
    return QPoint(qBound(0, pos.x(), width()), qBound(0, pos.y(), height()));
}

QRect ScreenGrab::windowRectAt(const QPoint &pos) const
{
    const QPoint global = mapToGlobal(pos);
    for (const QRect &window : m_windowRects) {
        if (!window.contains(global))
            continue;
        QRect r(mapFromGlobal(window.topLeft()), window.size());
        const QRect own = rect();
        r.setTop(qMax(r.top(), own.top()));
        r.setLeft(qMax(r.left(), own.left()));
        r.setBottom(qMin(r.bottom(), own.bottom() + 3));
        r.setRight(qMin(r.right(), own.right() + 3));
        return r;
    }
    return QRect();
}

void ScreenGrab::placeToolWidget()
{
    const int toolHeight = m_toolWidget->height();
    const int x = m_selection.right() - m_toolWidget->width();
    int y;
    if (m_selection.bottom() + toolHeight + m_toolGap < height()) {
        y = m_selection.bottom() + m_toolGap;
    } else {
        y = m_selection.top() - toolHeight - m_toolGap;
        if (y <= 0)
            y = m_selection.top() + m_toolGap;
    }
    m_toolWidget->move(x, y);
}

void ScreenGrab::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    QPainter painter(this);
    painter.drawPixmap(0, 0, m_shadedShot);
    if (m_selection.isValid())
        painter.drawPixmap(m_selection, m_shot, m_selection);

    if (!m_selecting && !m_selected) {
        if (m_selection.isValid()) {
            painter.setPen(QPen(QColor(0, 174, 255), 2));
            painter.drawRect(m_selection);
        }
        return;
    }
    if (!m_selection.isValid())
        return;
    const QColor blue(0, 0, 255);
    painter.setPen(QPen(blue, 1));
    painter.drawRect(m_selection);
    const QRect &s = m_selection;
    const QPoint center = s.center();
    const QPoint handles[] = {s.topLeft(),
                              s.topRight(),
                              s.bottomLeft(),
                              s.bottomRight(),
                              QPoint(s.left(), center.y()),
                              QPoint(s.right(), center.y()),
                              QPoint(center.x(), s.top()),
                              QPoint(center.x(), s.bottom())};
    for (const QPoint &point : handles)
        painter.fillRect(QRect(point - QPoint(2, 2), QSize(5, 5)), blue);
    painter.drawText(m_selection, Qt::AlignRight | Qt::AlignBottom, sizeText());
}

void ScreenGrab::handlePress(const QPoint &pos)
{
    if (m_selected) {
        m_toolWidget->hide();
        m_hitCode = hitTest(pos);
        if (m_hitCode == HitInside) {
            m_moving = true;
            m_startPoint = pos;
        } else if (m_hitCode != HitNone) {
            m_resizing = true;
            m_startPoint = m_selection.topLeft();
            m_endPoint = m_selection.bottomRight() + QPoint(1, 1);
        }
        return;
    }
    m_selecting = true;
    m_startPoint = pos;
    m_selection = QRect();
    update();
}

void ScreenGrab::handleMove(const QPoint &pos)
{
    if (m_selected) {
        if (m_moving) {
            const QPoint delta = pos - m_startPoint;
            m_startPoint = pos;
            QRect moved = m_selection.translated(delta);
            // Keep the whole rectangle on the screen.
            if (moved.left() < 0)
                moved.moveLeft(0);
            if (moved.top() < 0)
                moved.moveTop(0);
            if (moved.right() > width() - 1)
                moved.moveRight(width() - 1);
            if (moved.bottom() > height() - 1)
                moved.moveBottom(height() - 1);
            m_selection = moved;
        } else if (m_resizing) {
            const QPoint p = clampToWidget(pos);
            switch (m_hitCode) {
            case HitTop:
                m_startPoint.setY(p.y());
                break;
            case HitBottom:
                m_endPoint.setY(p.y());
                break;
            case HitLeft:
                m_startPoint.setX(p.x());
                break;
            case HitRight:
                m_endPoint.setX(p.x());
                break;
            case HitTopLeft:
                m_startPoint = p;
                break;
            case HitBottomRight:
                m_endPoint = p;
                break;
            case HitTopRight:
                m_startPoint.setY(p.y());
                m_endPoint.setX(p.x());
                break;
            case HitBottomLeft:
                m_startPoint.setX(p.x());
                m_endPoint.setY(p.y());
                break;
            }
            // An edge dragged onto the opposite one leaves a pixel, never an empty selection.
            m_selection = spanning(m_startPoint, m_endPoint);
            m_selection.setSize(m_selection.size().expandedTo(QSize(1, 1)));
        } else {
            updateCursor(hitTest(pos));
        }
    } else if (m_selecting) {
        m_endPoint = clampToWidget(pos);
        m_selection = spanning(m_startPoint, m_endPoint);
    } else {
        m_selection = windowRectAt(pos);
    }
    update();
}

void ScreenGrab::handleRelease(const QPoint &pos)
{
    Q_UNUSED(pos)
    m_startPoint = QPoint(-1, -1);
    m_endPoint = QPoint(-1, -1);
    if (m_selected) {
        m_moving = false;
        m_resizing = false;
        placeToolWidget();
        m_toolWidget->show();
    } else {
        m_selecting = false;
        if (m_selection.isValid()) {
            m_selected = true;
            placeToolWidget();
            m_toolWidget->show();
        }
        setCursor(Qt::ArrowCursor);
    }
    update();
}

void ScreenGrab::mousePressEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton || m_doubleClicked)
        return;
    if (!m_clickTimer->isActive()) {
        m_eventQueue.clear();
        m_clickTimer->start();
    }
    m_eventQueue.append({0, event->pos(), event->button()});
}

void ScreenGrab::mouseMoveEvent(QMouseEvent *event)
{
    if (m_doubleClicked)
        return;
    if (m_clickTimer->isActive())
        m_eventQueue.append({1, event->pos(), Qt::NoButton});
    else
        handleMove(event->pos());
}

void ScreenGrab::mouseReleaseEvent(QMouseEvent *event)
{
    if (m_doubleClicked) {
        m_doubleClicked = false;
        return;
    }
    if (event->button() != Qt::LeftButton)
        return;
    if (m_clickTimer->isActive())
        m_eventQueue.append({2, event->pos(), event->button()});
    else
        handleRelease(event->pos());
}

void ScreenGrab::onTimeout()
{
    const QVector<QueuedMouseEvent> queue = m_eventQueue;
    m_eventQueue.clear();
    for (const QueuedMouseEvent &queued : queue) {
        switch (queued.kind) {
        case 0:
            handlePress(queued.pos);
            break;
        case 1:
            handleMove(queued.pos);
            break;
        case 2:
            handleRelease(queued.pos);
            break;
        default:
            break;
        }
    }
}

void ScreenGrab::mouseDoubleClickEvent(QMouseEvent *event)
{
    if (event->button() != Qt::LeftButton)
        return;
    m_doubleClicked = true;
    if (m_clickTimer->isActive()) {
        m_clickTimer->stop();
        m_eventQueue.clear();
    }
    if (m_selection.isValid())
        finishGrab();
}

void ScreenGrab::keyPressEvent(QKeyEvent *event)
{
    if (event->key() == Qt::Key_Escape) {
        cancelGrab();
        return;
    }
    QWidget::keyPressEvent(event);
}

void ScreenGrab::onOKBtn()
{
    finishGrab();
}

void ScreenGrab::onCancelBtn()
{
    cancelGrab();
}

void ScreenGrab::finishGrab()
{
    if (m_done)
        return;
    m_done = true;
    // A hovered window may reach past the screen edge; only the shot's own pixels are handed on.
    emit grabFinished(m_shot.copy(m_selection & m_shot.rect()));
    close();
}

void ScreenGrab::cancelGrab()
{
    if (m_done)
        return;
    m_done = true;
    emit grabCanceled();
    close();
}

void ScreenGrab::closeEvent(QCloseEvent *event)
{
    // Closed by the window manager or the system without OK or cancel: that is a cancel too,
    // so whoever waits on this grab is always told.
    cancelGrab();
    event->accept();
}
