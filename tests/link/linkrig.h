// The keyer link alone, against the chip simulator on a pseudo-terminal,
// with a private store seeded with the simulator's port. No window: the
// link's panel texts and questions are recorded here.
#pragma once

#include "keyer/keyerlink.h"
#include "keyer/serialfacility.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "simharness.h"

#include <QHash>
#include <QTemporaryDir>
#include <QTest>

#include <memory>

// The bytes of a whole start-up for the seed values.
inline QByteArray seedStartupBytes()
{
    QByteArray expected = QByteArray::fromHex("0000" "ff" "000455" "0002");
    // Mode 0 (iambic B), speed 0, tone 5, weight 50, lead 0, tail 0, min 10,
    // range 25, ext 0, comp 0, farnsworth 0, switchpoint 50, ratio 50, pin 5, pot 255.
    expected += QByteArray::fromHex("0f" "00" "00" "05" "32" "00" "00" "0a" "19" "00" "00" "00" "32" "32" "05" "ff");
    expected += QByteArray::fromHex("07");
    return expected;
}

class LinkRig
{
public:
    explicit LinkRig(QStringList simArgs = {})
        : sim(std::move(simArgs))
    {
    }

    // Starts the simulator, seeds the store (then lets the test change it),
    // brings the link up and waits for the whole start-up to reach the chip.
    bool up(const std::function<void(SettingsStore &)> &edit = {})
    {
        if (!dir.isValid() || !sim.start())
            return false;
        Zavo::resetProcessState();
        store = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("store.conf")));
        Seed::seedStore(*store, sim.linkPath());
        if (edit)
            edit(*store);
        Zavo::loadKeyerSettings(*store);
        KeyerLink::Hooks hooks;
        hooks.message = [this](const QString &text) { messages << text; };
        hooks.choosePort = [](const QString &) { return std::optional<QString>(); };
        hooks.terminate = [this](int code) { terminations << code; };
        link = std::make_unique<KeyerLink>(*store, hooks);
        QObject::connect(link.get(), &KeyerLink::panelText,
                         [this](int position, const QString &text, bool) { panels[position] = text; });
        if (!link->initialise() || !sim.waitForReceived(int(seedStartupBytes().size()), 5000))
            return false;
        link->setInSession(true);
        QTest::qWait(50); // the knob's answer
        mark();
        return true;
    }

    void mark() { base = sim.received().size(); }
    QByteArray since() const { return sim.received().mid(base); }
    // What the chip received after the last mark, once it stops coming.
    QByteArray settle(int quietMs = 250)
    {
        QByteArray last;
        QByteArray now = since();
        do {
            last = now;
            QTest::qWait(quietMs);
            now = since();
        } while (now != last);
        return now;
    }

    SimHarness sim;
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<KeyerLink> link;
    QHash<int, QString> panels;
    QStringList messages;
    QList<int> terminations;
    qsizetype base = 0;
};
