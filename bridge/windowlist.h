#pragma once

#include <QRect>
#include <QVector>
#include <qwindowdefs.h>

// Screen rectangles (frame included) of the visible, non-minimised top-level windows of the X
// display, topmost first, leaving out the window `exclude`. Empty where there is no X display,
// such as on the offscreen platform.
QVector<QRect> topLevelWindowRects(WId exclude = 0);
