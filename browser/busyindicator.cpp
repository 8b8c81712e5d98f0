#include "busyindicator.h"

#include <QPalette>
#include <QPixmap>
#include <QTimeLine>

BusyIndicator::BusyIndicator(QWidget *parent, Qt::WindowFlags flags)
    : QWidget(parent, flags)
    , m_timeLine(new QTimeLine(1000))
{
    m_timeLine->setLoopCount(0);
    m_timeLine->setEasingCurve(QEasingCurve::Linear);
    m_timeLine->setUpdateInterval(m_updateInterval);
    connect(m_timeLine, &QTimeLine::frameChanged, this, &BusyIndicator::onFrameChanged);
    setAutoFillBackground(true);
}

BusyIndicator::~BusyIndicator()
{
    qDeleteAll(m_frames);
    m_frames.clear();
    delete m_timeLine;
}

bool BusyIndicator::addFrame(const QString &path)
{
    auto *frame = new QPixmap(path);
    if (frame->isNull()) {
        delete frame;
        return false;
    }
    m_frames.append(frame);
    return true;
}

int BusyIndicator::setFrames(const QStringList &paths)
{
    int added = 0;
    for (const QString &path : paths) {
        if (addFrame(path))
            ++added;
    }
    if (!m_frames.isEmpty()) {
        resize(m_frames.first()->size());
        showFrame(0);
    }
    m_timeLine->setFrameRange(0, qMax(0, m_frames.size() - 1));
    m_timeLine->setStartFrame(0);
    return added;
}

void BusyIndicator::setUpdateInterval(int ms)
{
    m_updateInterval = ms;
    m_timeLine->setUpdateInterval(ms);
}

bool BusyIndicator::isRunning() const
{
    return m_timeLine->state() == QTimeLine::Running;
}

void BusyIndicator::start()
{
    if (isRunning())
        m_timeLine->stop();
    m_timeLine->start();
}

void BusyIndicator::stop()
{
    m_timeLine->stop();
}

void BusyIndicator::onFrameChanged(int nFrame)
{
    showFrame(nFrame);
    if (nFrame + 1 == m_frames.size()) {
        m_timeLine->toggleDirection();
        emit loopedAgain();
    }
}

void BusyIndicator::showFrame(int index)
{
    if (index < 0 || index >= m_frames.size())
        return;
    QPalette pal = palette();
    pal.setBrush(QPalette::Window, QBrush(*m_frames.at(index)));
    setPalette(pal);
}
