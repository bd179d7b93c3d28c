// A test rig: the chip simulator on a pseudo-terminal, a private settings
// store seeded with the simulator's port, and the main window under test,
// whose message boxes, port chooser and ending are recorded, not shown.
#pragma once

#include "app/statuspanels.h"
#include "app/zavomain.h"
#include "keyer/serialfacility.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "link/linkrig.h"
#include "simharness.h"

#include <QElapsedTimer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>

#include <memory>
#include <utility>
#include <time.h>

inline double monotonicMs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return ts.tv_sec * 1000.0 + ts.tv_nsec / 1e6;
}

class Rig
{
public:
    explicit Rig(QStringList simArgs = {})
        : sim(std::move(simArgs))
    {
    }

    // Starts the simulator and makes the window; the store is seeded
    // unless the test wants to fill it itself.
    bool start(bool seed = true)
    {
        if (!dir.isValid() || !sim.start())
            return false;
        Zavo::resetProcessState();
        store = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("store.conf")));
        if (seed)
            Seed::seedStore(*store, sim.linkPath());
        makeWindow();
        return true;
    }

    void makeWindow()
    {
        ZavoMain::Hooks hooks;
        hooks.message = [this](const QString &text) { messages << text; };
        hooks.choosePort = [this](const QString &) { ++chooserShown; return chooserAnswer; };
        hooks.terminate = [this](int code) { terminations << code; };
        if (clock)
            hooks.clock = clock;
        window = std::make_unique<ZavoMain>(*store, hooks);
        QObject::connect(&window->port(), &SerialFacility::wrote,
                         [this](const QByteArray &bytes) { if (recording) writes << bytes; });
        QObject::connect(&window->port(), &SerialFacility::opened, [this] { openedAt << monotonicMs(); });
    }

    // Bytes of the simulator's "in" log lines after a given time.
    QByteArray receivedAfter(double t) const
    {
        QByteArray bytes;
        for (const LogEntry &entry : sim.log()) {
            if (entry.kind == QLatin1String("in") && entry.t > t)
                bytes += entry.bytes;
        }
        return bytes;
    }

    // Lets the link settle: waits until the simulator has seen `count` bytes.
    bool waitReceived(int count, int timeoutMs = 5000) { return sim.waitForReceived(count, timeoutMs); }

    SimHarness sim;
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> store;
    std::unique_ptr<ZavoMain> window;
    std::function<double()> clock;
    QStringList messages;
    QList<int> terminations;
    QList<double> openedAt;
    QList<QByteArray> writes; // every write to the port, one per call
    bool recording = true;
    QList<QByteArray> takeWrites() { return std::exchange(writes, {}); }
    std::optional<QString> chooserAnswer;
    int chooserShown = 0;
};

// The link is up with the store as the test left it; tests then read what follows.
struct Session {
    explicit Session(QStringList simArgs = {})
        : rig(std::move(simArgs))
    {
    }

    // Starts the simulator, seeds the store unless told not to, loads the
    // window and waits for the whole start-up to reach the chip.
    bool up(bool seed = true)
    {
        if (!rig.start(seed))
            return false;
        return load();
    }
    bool load()
    {
        if (!rig.window->load() || !rig.waitReceived(seedStartupBytes().size()))
            return false;
        QTest::qWait(50); // the pot answer
        mark();
        rig.window->show();
        return QTest::qWaitForWindowExposed(rig.window.get());
    }

    QByteArray since() const { return rig.sim.received().mid(base); }
    // Bytes the simulator received after the last mark, once they stop coming.
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
    void mark() { base = rig.sim.received().size(); }
    QWidget *focused() const { return rig.window->findChild<QPushButton *>(QStringLiteral("Msg1")); }
    void key(int key) { QTest::keyClick(focused(), Qt::Key(key)); }
    QString panel(int n) const { return rig.window->panelText(n); }

    // Sends a command to the simulator and waits until its log shows the event.
    bool simulator(const QString &command, const QString &event = {}, int timeoutMs = 5000)
    {
        rig.sim.command(command);
        const QString wanted = event.isEmpty() ? command : event;
        return rig.sim.waitForLog([&wanted](const QList<LogEntry> &log) {
            for (const LogEntry &entry : log) {
                if (entry.kind == QLatin1String("event") && entry.text.startsWith(wanted))
                    return true;
            }
            return false;
        }, timeoutMs);
    }
    bool unplug() { return simulator(QStringLiteral("unplug")); }
    // Plugged again: the link path names the new pty.
    bool plug()
    {
        const int plugsBefore = countEvents(QStringLiteral("plug "));
        rig.sim.command(QStringLiteral("plug"));
        return rig.sim.waitForLog([&](const QList<LogEntry> &) {
            return countEvents(QStringLiteral("plug ")) > plugsBefore;
        }, 5000);
    }
    int countEvents(const QString &prefix) const
    {
        int n = 0;
        for (const LogEntry &entry : rig.sim.log())
            n += entry.kind == QLatin1String("event") && entry.text.startsWith(prefix);
        return n;
    }

    Rig rig;
    qsizetype base = 0;
};
