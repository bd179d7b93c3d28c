// The keyer link alone against the chip simulator, on a private store seeded
// with its port; the link's panels and questions are recorded. SimRig is the
// part the window tests share.
#pragma once

#include "keyer/keyerlink.h"
#include "keyer/serialfacility.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "simharness.h"

#include <QAbstractEventDispatcher>
#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QHash>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

// A whole start-up for the seed values: echo test, host open, the block (tone
// 5, weight 50, min 10, range 25, ratio 50, pin 5, pot 255), the pot read.
inline QByteArray seedStartupBytes()
{
    return QByteArray::fromHex("0000ff000455" "0002" "0f0000053200000a19000000323205ff" "07");
}

// The simulator's clock: CLOCK_MONOTONIC in ms.
inline double monotonicMs()
{
    return double(QDeadlineTimer::current().deadlineNSecs()) / 1e6;
}

class SimRig
{
public:
    explicit SimRig(QStringList simArgs = {})
        : sim(std::move(simArgs))
    {
    }

    // Starts the simulator and opens the store, seeded unless told not to.
    bool start(bool seed = true)
    {
        if (!dir.isValid() || !sim.start())
            return false;
        Zavo::resetProcessState();
        store = std::make_unique<SettingsStore>(dir.filePath(QStringLiteral("store.conf")));
        if (seed)
            Seed::seedStore(*store, sim.linkPath());
        return true;
    }

    void mark() { base = sim.received().size(); }
    QByteArray since() const { return sim.received().mid(base); }
    // What the chip received after the last mark, once nothing more has
    // come for quietMs.
    QByteArray settle(int quietMs = 250)
    {
        QElapsedTimer quiet;
        quiet.start();
        QByteArray now = since();
        while (quiet.elapsed() < quietMs) {
            QTest::qWait(10);
            if (QByteArray seen = since(); seen != now) {
                now = std::move(seen);
                quiet.restart();
            }
        }
        return now;
    }

    // A command to the simulator, once its log shows the event it names.
    bool simulator(const QString &command, const QString &event = {})
    {
        const QString wanted = event.isEmpty() ? command : event;
        const int before = int(sim.events(wanted).size());
        sim.command(command);
        return sim.waitForEvent(wanted, before + 1);
    }
    bool unplug() { return simulator(QStringLiteral("unplug")); }
    // Plugged again: the link path names the new pty.
    bool plug() { return simulator(QStringLiteral("plug"), QStringLiteral("plug ")); }

    template<typename Hooks>
    void record(Hooks &hooks)
    {
        // The operator reads (whileTold runs then) and answers from the event
        // loop, as a box that was opened answers.
        hooks.message = [this](const QString &text, const std::function<void()> &closed) {
            messages << text;
            if (whileTold)
                whileTold();
            if (holdBoxes)
                openBoxes << closed;
            else
                QTimer::singleShot(0, [closed] { closed(); });
        };
        hooks.choosePort = [this](const QString &, const std::function<void(std::optional<QString>)> &chosen) {
            ++chooserShown;
            QTimer::singleShot(0, [chosen, answer = chooserAnswer] { chosen(answer); });
        };
        hooks.terminate = [this](int code) { terminations << code; };
        hooks.timings = timings;
        hooks.timings.characterMs = characterMs;
        hooks.stableNameDir = stableNameDir;
    }

    SimHarness sim;
    QTemporaryDir dir;
    std::unique_ptr<SettingsStore> store;
    QStringList messages;
    std::function<void()> whileTold; // runs inside every message box
    bool holdBoxes = false;           // boxes stay up until the test answers them
    QList<std::function<void()>> openBoxes;
    QList<int> terminations;
    std::optional<QString> chooserAnswer;
    int chooserShown = 0;
    std::optional<int> characterMs;
    KeyerLink::Timings timings; // the link's own unless a rig shortens them
    QString stableNameDir; // empty: the system's
    qsizetype base = 0;
};

// The link's waits shortened, so that walking its states takes seconds: the
// simulator needs none of the chip's pauses (tst_startup_realtime walks the
// real ones), and Escape's pause only has to outlast what a test gives in it.
inline KeyerLink::Timings shortTimings()
{
    KeyerLink::Timings t;
    t.reinitPauseMs = 25;
    t.openPauseMs = 40;
    t.calibrateMs = 10;
    t.blockPauseMs = 25;
    t.escapePauseMs = 400;
    t.replyRecheckMs = 5;
    return t;
}

class LinkRig : public SimRig
{
public:
    explicit LinkRig(QStringList simArgs = {})
        : SimRig(std::move(simArgs))
    {
        timings = shortTimings();
    }

    // Starts the simulator, seeds the store (then lets the test change it),
    // brings the link up and waits for the whole start-up to reach the chip.
    bool up(const std::function<void(SettingsStore &)> &edit = {})
    {
        if (!start())
            return false;
        if (edit)
            edit(*store);
        if (!init() || !sim.waitForReceived(int(seedStartupBytes().size()), 5000))
            return false;
        link->setInSession(true);
        QTest::qWait(50); // the knob's answer
        mark();
        return true;
    }

    // Loads the record from the store and runs the link's start-up.
    bool init()
    {
        Zavo::loadKeyerSettings(*store);
        KeyerLink::Hooks hooks;
        record(hooks);
        link = std::make_unique<KeyerLink>(*store, hooks);
        QObject::connect(link.get(), &KeyerLink::panelText, [this](int position, const QString &text, bool) {
            panels[position] = text;
            panelLog.append({position, text});
        });
        QObject::connect(link.get(), &KeyerLink::linkDetail, [this](const QString &why) { detail = why; });
        QObject::connect(&link->port(), &SerialFacility::wrote, [this](const QByteArray &b) { writes << b; });
        QObject::connect(&link->port(), &SerialFacility::opened, [this] { openedAt << monotonicMs(); });
        return startUp();
    }

    // Runs a start-up and waits for its end: whether the chip answered.
    bool startUp() { return restart([this] { link->initialise(); }); }
    // Gives an input that starts a start-up (F12, an Update) and waits for
    // the start-up's end: whether the chip answered.
    bool restart(const std::function<void()> &input)
    {
        QSignalSpy ended(link.get(), &KeyerLink::started);
        input();
        if (ended.isEmpty() && !ended.wait(15000))
            return false;
        return ended.first().first().toBool();
    }
    // The link's own last word in panel 1; the chip's status texts come and
    // go with its keying.
    QString ownPanel1() const
    {
        QString own;
        for (const auto &[position, text] : panelLog) {
            if (position == 1 && text != QLatin1String(" ") && text != QLatin1String("WinKey Buffer 2/3 Full"))
                own = text;
        }
        return own;
    }

    std::unique_ptr<KeyerLink> link;
    QHash<int, QString> panels;
    QList<std::pair<int, QString>> panelLog; // every panel text, in order
    QString detail;                          // the last linkDetail
    QList<QByteArray> writes;                // every write to the port, one per call
    QList<double> openedAt;
};

// Runs the event loop until done() holds or the time is up. Unlike QTRY,
// which sleeps 10 ms between its looks, it lets the link's short timers
// run at their pace.
inline bool loopUntil(const std::function<bool()> &done, int timeoutMs = 5000)
{
    QEventLoop loop;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, &loop, [&] {
        if (done())
            loop.quit();
    });
    look.start(2);
    QTimer::singleShot(timeoutMs, &loop, &QEventLoop::quit);
    if (!done())
        loop.exec();
    return done();
}

// How often the event loop wakes up while work runs: a dead device polled
// or a busy wait shows as thousands a second.
inline int wakeupsWhile(const std::function<void()> &work)
{
    int count = 0;
    const auto counting = QObject::connect(QAbstractEventDispatcher::instance(), &QAbstractEventDispatcher::awake,
                                           [&count] { ++count; });
    work();
    QObject::disconnect(counting);
    return count;
}
