// The main window against the chip simulator, on a private store seeded with
// the simulator's port; its message boxes, chooser and ending are recorded.
#pragma once

#include "app/statuspanels.h"
#include "app/zavomain.h"
#include "link/linkrig.h"

#include <QApplication>
#include <QLabel>
#include <QPushButton>

class Rig : public SimRig
{
public:
    using SimRig::SimRig;

    void makeWindow()
    {
        ZavoMain::Hooks hooks;
        record(hooks);
        window = std::make_unique<ZavoMain>(*store, hooks);
    }
    bool up() { return start() && load(); }
    // Shows the window once its whole start-up and the pot answer are in.
    bool load()
    {
        makeWindow();
        if (!window->load() || !QTest::qWaitFor([this] { return window->isReady(); }, 15000)
            || !sim.waitForReceived(int(seedStartupBytes().size()), 5000))
            return false;
        QTest::qWait(50);
        mark();
        window->show();
        return QTest::qWaitForWindowExposed(window.get());
    }

    QPushButton *button(const char *name) const { return window->findChild<QPushButton *>(QLatin1String(name)); }
    void key(int key) { QTest::keyClick(button("Msg1"), Qt::Key(key)); }
    QString panel(int n) const { return window->panelText(n); }
    void clickPanel(int position)
    {
        QLabel *label = window->statusBar().panel(position);
        QTest::mouseClick(label, Qt::LeftButton, {}, label->rect().center());
    }
    // The one visible top-level window of a type, or null.
    template<typename T>
    static T *topLevel()
    {
        T *found = nullptr;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *t = qobject_cast<T *>(w); t && t->isVisible()) {
                if (found)
                    return nullptr;
                found = t;
            }
        }
        return found;
    }
    // Where a close stores FormTop 1200 and FormLeft 1800.
    bool moveToKnownPlace()
    {
        window->move(120, 80);
        return QTest::qWaitFor([this] { return window->pos() == QPoint(120, 80); }, 5000);
    }

    std::unique_ptr<ZavoMain> window;
};
