// Small widget chores the windows share.
#pragma once

#include <QAccessible>
#include <QColor>
#include <QString>

class QLabel;
class QWidget;
struct QMetaObject;

namespace WidgetHelpers {

// The name and description a screen reader gives the widget.
void describe(QWidget *widget, const QString &name, const QString &description);

// A top-level plain QWidget reads as a nameless "filler" to a screen reader,
// which then neither lists it among the windows nor says which one it is in.
// Top-level widgets of the class read with the given role instead.
void readWindowAs(const QMetaObject &windowClass, QAccessible::Role role);

// The label widths in twips were drawn for a narrower face than the ones we
// can count on; a text that does not fit gets the room it needs to the right.
void fitWidth(QLabel *label);

// The label's text in the given colour, whatever the style's palette says.
void setTextColour(QLabel *label, const QColor &colour);

} // namespace WidgetHelpers
