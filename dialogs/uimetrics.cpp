#include "dialogs/uimetrics.h"

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

} // namespace Layout
