// Helpers the dialog tests share: finding a named control, the window and
// places the design gives, and a store in a fresh folder that a second
// reader checks.
#pragma once

#include "dialogs/uimetrics.h"
#include "settings/settingsstore.h"

#include <QTemporaryDir>
#include <QTest>
#include <QWidget>

namespace DialogTest {

template<typename T = QWidget>
T *child(const QWidget *window, const QString &name)
{
    auto *widget = window->findChild<T *>(name);
    if (!widget)
        qFatal("no child %s", qPrintable(name));
    return widget;
}

inline void checkWindow(const QWidget *window, const char *title, int widthTwips, int heightTwips)
{
    QCOMPARE(window->windowTitle(), QLatin1String(title));
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(window->size(), Layout::size(widthTwips, heightTwips));
}

// Each control where the design puts it in its parent, in twips. A caption
// wider than the design's room may take more to the right, and no more.
struct Place {
    const char *name;
    QRect twips;
    bool mayGrowRight = false;
};
inline void checkPlaces(const QWidget *window, std::initializer_list<Place> places)
{
    for (const Place &place : places) {
        const QWidget *widget = child(window, QLatin1String(place.name));
        QRect design = Layout::rect(place.twips.left(), place.twips.top(), place.twips.width(), place.twips.height());
        if (place.mayGrowRight)
            design.setWidth(qMax(design.width(), widget->sizeHint().width()));
        QVERIFY2(widget->geometry() == design, place.name);
    }
}

struct TempStore {
    QTemporaryDir dir;
    SettingsStore store{path()};

    QString path() const { return dir.filePath(QStringLiteral("zavo.ini")); }
    // A second store on the same file sees only what reached the disk.
    QString reread(const QString &section, const QString &key) const
    {
        return SettingsStore(path()).GetSetting(section, key);
    }
    bool fileIsEmpty() const { return !SettingsStore(path()).exists(); }
};

} // namespace DialogTest
