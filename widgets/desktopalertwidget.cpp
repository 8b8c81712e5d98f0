#include "desktopalertwidget.h"

#include "core/messagebox.h"

#include <QCloseEvent>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>
#include <QPainter>
#include <QParallelAnimationGroup>
#include <QPropertyAnimation>
#include <QPushButton>
#include <QScreen>
#include <QStyleOption>
#include <QTimer>
#include <QVBoxLayout>

#include <algorithm>
#include <utility>

namespace {
// Pop-ups on the desktop now, in the order they popped up.
QList<DesktopAlertWidget *> &shownAlerts()
{
    static QList<DesktopAlertWidget *> alerts;
    return alerts;
}
} // namespace

DesktopAlertWidget::DesktopAlertWidget(QWidget *parent, int layoutType)
    : QWidget(parent)
    , m_layoutType(layoutType)
    , m_autoCloseTimer(new QTimer(this))
    , m_fadeTimer(new QTimer(this))
{
    setAttribute(Qt::WA_TranslucentBackground);
    // A notice never takes the keyboard from what the user is typing into.
    setAttribute(Qt::WA_ShowWithoutActivating);
    setWindowFlags(Qt::FramelessWindowHint | Qt::SubWindow | Qt::WindowStaysOnTopHint
                   | Qt::WindowDoesNotAcceptFocus);
    setFixedWidth(220);
    setMinimumHeight(70);

    m_autoCloseTimer->setObjectName(QStringLiteral("autoCloseTimer"));
    m_autoCloseTimer->setSingleShot(true);
    connect(m_autoCloseTimer, &QTimer::timeout, this, &DesktopAlertWidget::startAni);
    m_fadeTimer->setObjectName(QStringLiteral("fadeTimer"));
    m_fadeTimer->setInterval(fadeIntervalMs);
    connect(m_fadeTimer, &QTimer::timeout, this, &DesktopAlertWidget::fadeTick);

    m_titleBar = new QWidget(this);
    m_titleBar->setFixedHeight(m_titleBarHeight);
    auto *titleLayout = new QHBoxLayout(m_titleBar);
    titleLayout->setSpacing(3);
    titleLayout->setContentsMargins(10, 2, 10, 2);
    m_titleIcon = new QLabel(m_titleBar);
    m_titleIcon->setObjectName(QStringLiteral("DesktopAlertWndTitleIcon"));
    m_titleIcon->setFixedSize(18, 16);
    m_titleLabel = new QLabel(m_titleBar);
    m_titleLabel->setEnabled(false);
    m_closeButton = new QPushButton(m_titleBar);
    m_closeButton->setObjectName(QStringLiteral("DesktopAlertWndCloseBtn"));
    m_closeButton->setFixedSize(14, 12);
    connect(m_closeButton, &QPushButton::clicked, this, &QWidget::close);
    titleLayout->addWidget(m_titleIcon, 0, Qt::AlignVCenter);
    titleLayout->addWidget(m_titleLabel, 0, Qt::AlignVCenter);
    titleLayout->addStretch();
    titleLayout->addWidget(m_closeButton, 0, Qt::AlignRight);

    auto *mainLayout = new QVBoxLayout(this);
    mainLayout->setMenuBar(m_titleBar);

    m_contentLabel = new QLabel(this);
    m_contentLabel->setWordWrap(true);
    switch (layoutType) {
    case IconLinkLayout: {
        // Centred by stretches, not by aligning the layout: an aligned layout is given its size
        // hint, narrower than the width its height was reckoned for, and a wrapped message lost
        // its last line.
        auto *body = new QHBoxLayout;
        m_contextIcon = new QLabel(this);
        m_contextIcon->setObjectName(QStringLiteral("DesktopAlertWndContextIcon"));
        m_contextIcon->setFixedSize(16, 16);
        body->addStretch();
        body->addWidget(m_contextIcon);
        body->addWidget(m_contentLabel);
        body->addStretch();
        connect(m_contentLabel, &QLabel::linkActivated, this, &DesktopAlertWidget::onClickLink);
        m_titleLabel->setText(QStringLiteral("<font color=white><strong>提示</strong></font>"));
        mainLayout->addLayout(body);
        break;
    }
    case PlainTextLayout:
    case ActionButtonLayout: {
        auto *body = new QVBoxLayout;
        body->setSpacing(8);
        m_contentLabel->setAlignment(Qt::AlignCenter);
        body->addWidget(m_contentLabel);
        if (layoutType == ActionButtonLayout) {
            auto *button = new QPushButton(QStringLiteral("立刻升级"), this);
            button->setObjectName(QStringLiteral("DesktopAlertWndUpdateBtn"));
            button->setFixedSize(72, 26);
            connect(button, &QPushButton::clicked, this, &DesktopAlertWidget::onOkBtn);
            body->addWidget(button, 0, Qt::AlignHCenter);
            m_titleLabel->setText(QStringLiteral("<font color=white><strong>升级</strong></font>"));
        }
        mainLayout->addLayout(body);
        break;
    }
    default:
        showCriticalMessage(QStringLiteral("错误"), QStringLiteral("未知窗口类型！"));
        break;
    }
    // After the body; an unknown layout has none (a position past the end corrupts the layout).
    mainLayout->insertSpacing(qMin(1, mainLayout->count()), 10);
}

DesktopAlertWidget::~DesktopAlertWidget()
{
    shownAlerts().removeAll(this);
}

void DesktopAlertWidget::setTitle(const QString &title)
{
    m_titleLabel->setText(title);
}

void DesktopAlertWidget::setContent(const QString &content)
{
    // A plain message of the link layout becomes one link, so a click anywhere on it counts.
    if (m_layoutType == IconLinkLayout && !content.startsWith(QLatin1Char('<')))
        m_contentLabel->setText(QStringLiteral("<style>a{text-decoration:none }</style> <a href=\"127.0.0.1\">"
                                               "<font size=4 color=#0E5ECA>")
                                + content + QStringLiteral("</font></a> "));
    else
        m_contentLabel->setText(content);
}

void DesktopAlertWidget::setAutoCloseDelay(int milliseconds)
{
    if (m_layoutType == ActionButtonLayout)
        return;
    m_autoCloseDelay = milliseconds;
}

QString DesktopAlertWidget::title() const
{
    return m_titleLabel->text();
}

QString DesktopAlertWidget::content() const
{
    return m_contentLabel->text();
}

bool DesktopAlertWidget::isFading() const
{
    return m_fadeTimer->isActive();
}

QPoint DesktopAlertWidget::restingPosition() const
{
    return m_resting ? m_restingPos : freeRestingPosition();
}

QPoint DesktopAlertWidget::freeRestingPosition() const
{
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    const QSize frame = frameSize();
    const int x = available.right() - frame.width() - 1;
    const int bottomY = available.bottom() - frame.height() - 1;
    QList<QRect> taken;
    for (const DesktopAlertWidget *other : std::as_const(shownAlerts())) {
        if (other != this && other->m_resting && !other->m_finished && other->isVisible())
            taken << QRect(other->m_restingPos, other->frameSize());
    }
    // Lowest first: each pop-up in the way pushes the candidate above itself.
    std::sort(taken.begin(), taken.end(), [](const QRect &a, const QRect &b) { return a.top() > b.top(); });
    int y = bottomY;
    for (const QRect &other : std::as_const(taken)) {
        if (y <= other.bottom() + stackGap && y + frame.height() - 1 + stackGap >= other.top())
            y = other.top() - stackGap - frame.height();
    }
    // A full column starts again at the bottom.
    if (y < available.top())
        y = bottomY;
    return QPoint(x, y);
}

void DesktopAlertWidget::popUp()
{
    const QScreen *screen = QGuiApplication::primaryScreen();
    // Shown first below the screen, where the slide starts: shown at the top left corner it
    // flashed there, and took a pointer resting there for the user's, which stopped the fade.
    move(x(), screen->geometry().height());
    // A window's layout sizes it for its minimum, not for the height a wrapped text needs at
    // the fixed width: a long message lost its first and last lines.
    if (layout()->hasHeightForWidth())
        resize(width(), qMax(minimumHeight(), layout()->totalHeightForWidth(width())));
    show();
    const QPoint end = freeRestingPosition();
    m_restingPos = end;
    m_resting = true;
    shownAlerts().removeAll(this);
    shownAlerts().append(this);
    const QPoint start(end.x(), screen->geometry().height());

    auto *group = new QParallelAnimationGroup(this);
    auto *slide = new QPropertyAnimation(this, "pos", group);
    slide->setDuration(slideDurationMs);
    slide->setStartValue(start);
    slide->setEndValue(end);
    slide->setEasingCurve(QEasingCurve::InOutQuad);
    group->addAnimation(slide);
    group->start(QAbstractAnimation::DeleteWhenStopped);

    if (m_layoutType == IconLinkLayout || m_layoutType == PlainTextLayout)
        m_autoCloseTimer->start(m_autoCloseDelay);
}

void DesktopAlertWidget::startAni()
{
    m_fadeTimer->start();
}

void DesktopAlertWidget::fadeTick()
{
    if (!m_fadingEnabled || m_finished)
        return;
    m_alpha -= fadeStep;
    if (m_alpha <= 0) {
        m_alpha = 0;
        setWindowOpacity(0.0);
        m_fadeTimer->stop();
        finish(FadedCommand);
        return;
    }
    setWindowOpacity(m_alpha / 255.0);
}

void DesktopAlertWidget::finish(int cmd)
{
    // One outcome per pop-up: a close that follows an action or the end of the fade adds nothing.
    if (m_finished)
        return;
    m_finished = true;
    m_autoCloseTimer->stop();
    // Its place is free for the next pop-up at once.
    shownAlerts().removeAll(this);
    emit runCmd(cmd);
    deleteLater();
}

void DesktopAlertWidget::onOkBtn()
{
    hide();
    finish(ActionCommand);
}

void DesktopAlertWidget::onClickLink(const QString &link)
{
    Q_UNUSED(link)
    hide();
    finish(LinkCommand);
}

void DesktopAlertWidget::closeEvent(QCloseEvent *event)
{
    event->accept();
    finish(CloseCommand);
}

void DesktopAlertWidget::paintEvent(QPaintEvent *event)
{
    Q_UNUSED(event)
    m_titleLabel->move(30, 9);
    QStyleOption option;
    option.initFrom(this);
    QPainter painter(this);
    style()->drawPrimitive(QStyle::PE_Widget, &option, &painter, this);
}

#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
void DesktopAlertWidget::enterEvent(QEnterEvent *event)
#else
void DesktopAlertWidget::enterEvent(QEvent *event)
#endif
{
    m_fadingEnabled = false;
    m_alpha = 255;
    setWindowOpacity(1.0);
    QWidget::enterEvent(event);
}

void DesktopAlertWidget::leaveEvent(QEvent *event)
{
    m_fadingEnabled = true;
    QWidget::leaveEvent(event);
}

void DesktopAlertWidget::mousePressEvent(QMouseEvent *event)
{
    if (event->button() == Qt::LeftButton && event->pos().y() <= m_titleBarHeight) {
        m_dragging = true;
        m_dragOffset = event->pos();
    }
    QWidget::mousePressEvent(event);
}

void DesktopAlertWidget::mouseMoveEvent(QMouseEvent *event)
{
    if (m_dragging)
#if QT_VERSION >= QT_VERSION_CHECK(6, 0, 0)
        move(event->globalPosition().toPoint() - m_dragOffset);
#else
        move(event->globalPos() - m_dragOffset);
#endif
    QWidget::mouseMoveEvent(event);
}

void DesktopAlertWidget::mouseReleaseEvent(QMouseEvent *event)
{
    m_dragging = false;
    QWidget::mouseReleaseEvent(event);
}
