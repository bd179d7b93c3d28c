#include "dialogs/widgethelpers.h"

#include <QAccessibleWidget>
#include <QHash>
#include <QLabel>
#include <QPalette>

namespace {

QHash<QString, QAccessible::Role> &windowRoles()
{
    static QHash<QString, QAccessible::Role> roles;
    return roles;
}

// Asked for the object's own class first, before any of its base classes.
QAccessibleInterface *windowInterface(const QString &className, QObject *object)
{
    const auto found = windowRoles().constFind(className);
    if (found == windowRoles().cend() || !object || !object->isWidgetType())
        return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    return widget->isWindow() ? new QAccessibleWidget(widget, *found) : nullptr;
}

} // namespace

namespace WidgetHelpers {

void describe(QWidget *widget, const QString &name, const QString &description)
{
    widget->setAccessibleName(name);
    widget->setAccessibleDescription(description);
}

void readWindowAs(const QMetaObject &windowClass, QAccessible::Role role)
{
    if (windowRoles().isEmpty())
        QAccessible::installFactory(windowInterface);
    windowRoles().insert(QString::fromLatin1(windowClass.className()), role);
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
