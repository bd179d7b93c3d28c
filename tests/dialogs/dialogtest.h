// Helpers the dialog tests share: a named control, the window's frame, and a
// store in a fresh folder that a second reader checks.
#pragma once

#include "dialogs/uimetrics.h"
#include "settings/settingsstore.h"

#include <QAccessible>
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

// Titles and the focus are what the end-to-end tests read from the X server.
// A screen reader lists a window among the dialogs by its role alone.
inline void checkWindow(QWidget *window, int widthTwips, int heightTwips)
{
    QVERIFY(window->testAttribute(Qt::WA_DeleteOnClose));
    QCOMPARE(window->size(), Layout::size(widthTwips, heightTwips));
    QCOMPARE(QAccessible::queryAccessibleInterface(window)->role(), QAccessible::Dialog);
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
