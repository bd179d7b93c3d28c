// Layout helpers shared by every window: the layouts are drawn in twips,
// which become device-independent pixels here and nowhere else.
#pragma once

#include <QFont>
#include <QPoint>
#include <QRect>
#include <QSize>

class QWidget;

namespace Layout {

// 1440 twips to the inch at 96 dpi: 15 twips a pixel.
inline constexpr double kTwipsPerPixel = 15.0;

int px(double twips);
double twips(int pixels);
QRect rect(int left, int top, int width, int height); // all in twips
QSize size(int width, int height);                    // twips

// "MS Sans Serif" at the given size, falling back to the metric-compatible
// Liberation Sans and then to the default sans-serif.
QFont formFont(double pointSize = 8.25, bool bold = false);

// Places a child at a rectangle given in twips.
void place(QWidget *widget, int left, int top, int width, int height);

// Moves a top-level window to pos (pixels), or to the middle of the primary
// screen when pos lies off every screen (a monitor since removed), which
// would leave the operator without a window.
void moveOnScreen(QWidget *window, QPoint pos);

} // namespace Layout
