#pragma once

#include <QLabel>

class QPushButton;

// A push button wrapped in a label: the label ("ImageButtonHighligter") draws the hover highlight,
// while an object name given to the ImageButton goes to the inner button, so style rules written
// for push buttons reach it.
class ImageButton : public QLabel
{
    Q_OBJECT
    Q_DISABLE_COPY(ImageButton)
public:
    ImageButton(const QString &text, QWidget *parent);

    QPushButton *button() const { return m_button; }

signals:
    void clicked();

private:
    void onObjectNameChanged(const QString &name);

    QPushButton *m_button;
};
