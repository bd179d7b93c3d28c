#include "dialogs/widgethelpers.h"

#include <QLabel>
#include <QPalette>

namespace WidgetHelpers {

void describe(QWidget *widget, const QString &name, const QString &description)
{
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}

void fitWidth(QLabel *label)
{
    if (label->sizeHint().width() > label->width())
        label->resize(label->sizeHint().width(), label->height());
}

void setTextColour(QLabel *label, const QColor &colour)
{
    QPalette palette = label->palette();
    palette.setColor(QPalette::WindowText, colour);
    label->setPalette(palette);
}

} // namespace WidgetHelpers
