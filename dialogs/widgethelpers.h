// Small widget chores the windows share.
#pragma once

#include <QColor>
#include <QString>

class QLabel;
class QWidget;

namespace WidgetHelpers {

// The name and description a screen reader gives the widget.
void describe(QWidget *widget, const QString &name, const QString &description);

// The label widths in twips were drawn for a narrower face than the ones we
// can count on; a text that does not fit gets the room it needs to the right.
void fitWidth(QLabel *label);

// The label's text in the given colour, whatever the style's palette says.
void setTextColour(QLabel *label, const QColor &colour);

} // namespace WidgetHelpers
