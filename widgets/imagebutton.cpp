#include "imagebutton.h"

#include <QPushButton>
#include <QVBoxLayout>

namespace {
const char highlighterName[] = "ImageButtonHighligter";
}

ImageButton::ImageButton(const QString &text, QWidget *parent)
    : QLabel(parent)
    , m_button(new QPushButton(text, this))
{
    setObjectName(QLatin1String(highlighterName));
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->addWidget(m_button);
    connect(m_button, &QPushButton::clicked, this, &ImageButton::clicked);
    // setObjectName is not virtual; the change signal catches every way of naming the button.
    connect(this, &QObject::objectNameChanged, this, &ImageButton::onObjectNameChanged);
}

void ImageButton::onObjectNameChanged(const QString &name)
{
    if (name == QLatin1String(highlighterName))
        return;
    m_button->setObjectName(name);
    setObjectName(QLatin1String(highlighterName));
}
