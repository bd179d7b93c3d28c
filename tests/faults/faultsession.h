// What the fault tests add to the integration rig's session: a counter of
// event-loop wake-ups, an idle wait that really sleeps, and the resident
// memory of this process.
#pragma once

#include "integration/rig.h"

#include <QAbstractEventDispatcher>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QPushButton>
#include <QTimer>

#include <unistd.h>

using FaultSession = Session;

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

// A 20 ms timer that records the longest pause between its ticks: how long
// the event loop was kept from running while it lives.
class EventLoopPulse
{
public:
    EventLoopPulse()
    {
        m_clock.start();
        QObject::connect(&m_ticker, &QTimer::timeout, [this] {
            m_longestGap = std::max(m_longestGap, m_clock.elapsed() - m_lastTick);
            m_lastTick = m_clock.elapsed();
        });
        m_ticker.start(20);
    }
    void stop() { m_ticker.stop(); }
    qint64 longestGap() const { return m_longestGap; }

private:
    QElapsedTimer m_clock;
    QTimer m_ticker;
    qint64 m_lastTick = 0;
    qint64 m_longestGap = 0;
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
