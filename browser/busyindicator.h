#pragma once

#include <QList>
#include <QWidget>

class QPixmap;
class QTimeLine;

// A frame-by-frame busy animation painted as the widget's background. Each time the last frame
// shows, the time line turns round and loopedAgain() is emitted.
class BusyIndicator : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(BusyIndicator)
public:
    explicit BusyIndicator(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~BusyIndicator() override;

    bool addFrame(const QString &path);
    int setFrames(const QStringList &paths);
    void setUpdateInterval(int ms);
    int frameCount() const { return m_frames.size(); }
    bool isRunning() const;
    QTimeLine *timeLine() const { return m_timeLine; }

    void start();
    void stop();

signals:
    void loopedAgain();

private slots:
    void onFrameChanged(int nFrame);

private:
    void showFrame(int index);

    QList<QPixmap *> m_frames;
    int m_updateInterval = 100;
    QTimeLine *m_timeLine = nullptr;
};
