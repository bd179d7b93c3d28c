// What the fault tests share: a running session of the main window on the
// chip simulator (built on the integration rig), a counter of event-loop
// wake-ups, an idle wait that really sleeps, and the resident memory of
// this process.
#pragma once

#include "integration/rig.h"

#include <QAbstractEventDispatcher>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

// The link is up with the store as the test left it; tests then read what follows.
struct FaultSession {
    explicit FaultSession(QStringList simArgs = {})
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
    QByteArray settle(int quietMs = 200)
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

// Counts how often the event dispatcher wakes up while it lives.
class WakeupCounter
{
public:
    WakeupCounter()
        : m_connection(QObject::connect(QAbstractEventDispatcher::instance(),
                                        &QAbstractEventDispatcher::awake, [this] { ++m_count; }))
    {
    }
    ~WakeupCounter() { QObject::disconnect(m_connection); }
    int count() const { return m_count; }

private:
    QMetaObject::Connection m_connection;
    int m_count = 0;
};

// Runs the event loop for ms with nothing but a timer to end it: the loop
// sleeps unless something keeps waking it.
inline void idleFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, &loop, &QEventLoop::quit);
    loop.exec();
}

// Resident memory of this process in bytes, from /proc/self/statm.
inline qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return -1;
    const QList<QByteArray> fields = statm.readAll().simplified().split(' ');
    if (fields.size() < 2)
        return -1;
    return fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}
