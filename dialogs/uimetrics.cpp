#include "dialogs/uimetrics.h"

#include <QGuiApplication>
#include <QScreen>

#include <QStringList>
#include <QWidget>

#include <cmath>

namespace Layout {

int px(double twips)
{
    return static_cast<int>(std::lround(twips / kTwipsPerPixel));
}

double twips(int pixels)
{
    return pixels * kTwipsPerPixel;
}

QRect rect(int left, int top, int width, int height)
{
    return QRect(px(left), px(top), px(width), px(height));
}

QSize size(int width, int height)
{
    return QSize(px(width), px(height));
}

QFont formFont(double pointSize, bool bold)
{
    QFont font;
    font.setFamilies({QStringLiteral("MS Sans Serif"), QStringLiteral("Liberation Sans"),
                      QStringLiteral("Sans Serif")});
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(pointSize);
    font.setBold(bold);
    return font;
}

void place(QWidget *widget, int left, int top, int width, int height)
{
    widget->setGeometry(rect(left, top, width, height));
}

void moveOnScreen(QWidget *window, QPoint pos)
{
    const QRect wanted(pos, window->frameGeometry().size().expandedTo(window->size()));
    bool visibleSomewhere = false;
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect overlap = screen->availableGeometry().intersected(wanted);
        visibleSomewhere = visibleSomewhere || (overlap.width() >= 20 && overlap.height() >= 10);
    }
    if (!visibleSomewhere) {
        if (const QScreen *primary = QGuiApplication::primaryScreen())
            pos = primary->availableGeometry().center() - QPoint(window->width() / 2, window->height() / 2);
    }
    window->move(pos);
}

} // namespace Layout
