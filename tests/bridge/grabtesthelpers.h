#pragma once

#include <QApplication>
#include <QMouseEvent>
#include <QPainter>
#include <QPixmap>
#include <QTimer>
#include <QWidget>
#include <QtTest>

// Mouse input sent straight to a widget, so drags and double clicks arrive exactly as written.
namespace GrabInput {

inline void send(QWidget *w, QEvent::Type type, const QPoint &pos, Qt::MouseButton button, Qt::MouseButtons buttons)
{
    QMouseEvent event(type, pos, w->mapToGlobal(pos), button, buttons, Qt::NoModifier);
    QApplication::sendEvent(w, &event);
}

inline void press(QWidget *w, const QPoint &pos)
{
    send(w, QEvent::MouseButtonPress, pos, Qt::LeftButton, Qt::LeftButton);
}

inline void move(QWidget *w, const QPoint &pos, Qt::MouseButtons buttons = Qt::LeftButton)
{
    send(w, QEvent::MouseMove, pos, Qt::NoButton, buttons);
}

inline void release(QWidget *w, const QPoint &pos)
{
    send(w, QEvent::MouseButtonRelease, pos, Qt::LeftButton, Qt::NoButton);
}

inline void doubleClick(QWidget *w, const QPoint &pos)
{
    press(w, pos);
    release(w, pos);
    press(w, pos);
    send(w, QEvent::MouseButtonDblClick, pos, Qt::LeftButton, Qt::LeftButton);
    release(w, pos);
}

// Lets the grab's click timer hand out the queued events.
inline bool settle(QWidget *w)
{
    auto *timer = w->findChild<QTimer *>(QStringLiteral("clickTimer"));
    if (!timer)
        return false;
    for (int i = 0; i < 100 && timer->isActive(); ++i)
        QTest::qWait(10);
    return !timer->isActive();
}

inline void drag(QWidget *w, const QPoint &from, const QPoint &to)
{
    press(w, from);
    move(w, (from + to) / 2);
    move(w, to);
    release(w, to);
}

// A picture whose every pixel tells its position, so any copied part can be checked exactly.
inline QPixmap patternShot(const QSize &size)
{
    QImage image(size, QImage::Format_RGB32);
    for (int y = 0; y < size.height(); ++y)
        for (int x = 0; x < size.width(); ++x)
            image.setPixel(x, y, qRgb(x % 256, y % 256, (x / 256) * 64 + (y / 256) * 16));
    return QPixmap::fromImage(image);
}

} // namespace GrabInput
