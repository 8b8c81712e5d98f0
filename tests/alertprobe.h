#pragma once

#include "widgets/desktopalertwidget.h"

#include <QCoreApplication>
#include <QEvent>
#include <QLabel>

// Looks into a shown alert the way a user sees it.
inline void processDeferredDeletes()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

inline QLabel *contentLabel(DesktopAlertWidget *w)
{
    for (QLabel *label : w->findChildren<QLabel *>())
        if (label->text() == w->content())
            return label;
    return nullptr;
}
