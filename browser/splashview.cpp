#include "splashview.h"

#include "busyindicator.h"

#include "core/fileutils.h"
#include "core/config.h"

#include <QPalette>
#include <QResizeEvent>

SplashView::SplashView(QWidget *parent, Qt::WindowFlags flags)
    : QWidget(parent, flags)
{
    setAutoFillBackground(true);
    m_indicator = new BusyIndicator(this);
    connect(m_indicator, &BusyIndicator::loopedAgain, this, &SplashView::onIndiLooped);
    QStringList frames;
    for (int i = 1; i <= 8; ++i)
        frames << QStringLiteral(":/indicator/indi_%1.png").arg(i);
    m_indicator->setFrames(frames);
    m_indicator->setUpdateInterval(100);
    m_loops = 0;
    m_indicator->start();

    const QString splash = appConfig().splash();
    if (splash.isEmpty()) {
        m_background = QPixmap(20, 20);
        m_background.fill(Qt::white);
    } else {
        m_background = QPixmap(absolutePath(splash));
    }
}

SplashView::~SplashView()
{
    m_indicator->stop();
    delete m_indicator;
}

void SplashView::restart()
{
    m_loops = 0;
    m_indicator->start();
}

void SplashView::stop()
{
    m_indicator->stop();
}

void SplashView::onIndiLooped()
{
    ++m_loops;
    if (m_loops > 1) {
        --m_loops;
        emit indicatorLooped();
    }
}

void SplashView::resizeEvent(QResizeEvent *event)
{
    QWidget::resizeEvent(event);
    // A splash file that cannot be loaded leaves the background as it is: only the indicator shows.
    if (!m_background.isNull()) {
        QPalette pal = palette();
        pal.setBrush(QPalette::Window,
                     QBrush(m_background.scaled(event->size(), Qt::IgnoreAspectRatio, Qt::SmoothTransformation)));
        setPalette(pal);
    }
    m_indicator->move((width() - m_indicator->width()) / 2, (height() - m_indicator->height()) / 2 + 30);
}
