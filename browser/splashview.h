#pragma once

#include <QPixmap>
#include <QWidget>

class BusyIndicator;

// The page every window starts on: the configured splash picture stretched over the view and a
// busy indicator below its centre. The first indicator loop after a (re)start is swallowed, so
// the splash stays up for at least two whole loops.
class SplashView : public QWidget
{
    Q_OBJECT
    Q_DISABLE_COPY(SplashView)
public:
    explicit SplashView(QWidget *parent = nullptr, Qt::WindowFlags flags = Qt::WindowFlags());
    ~SplashView() override;

    void restart();
    void stop();
    BusyIndicator *indicator() const { return m_indicator; }
    const QPixmap &background() const { return m_background; }

signals:
    void indicatorLooped();

protected:
    void resizeEvent(QResizeEvent *event) override;

private slots:
    void onIndiLooped();

private:
    BusyIndicator *m_indicator = nullptr;
    int m_loops = 0;
    QPixmap m_background;
};
