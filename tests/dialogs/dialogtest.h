// Helpers the dialog tests share: finding a named control, the rectangle the
// design gives it, and a store in a fresh folder that a second reader checks.
#pragma once

#include "dialogs/uimetrics.h"
#include "settings/settingsstore.h"

#include <QTemporaryDir>
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

// A caption wider than the design's room may take more to the right, and no more.
inline QRect designGeometry(const QWidget *widget, const QRect &twips, bool mayGrowRight)
{
    QRect design = Layout::rect(twips.left(), twips.top(), twips.width(), twips.height());
    if (mayGrowRight)
        design.setWidth(qMax(design.width(), widget->sizeHint().width()));
    return design;
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
