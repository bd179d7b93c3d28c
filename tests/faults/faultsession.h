// What the fault tests add to the integration rig's session: a counter of
// event-loop wake-ups, an idle wait that really sleeps, and the resident
// memory of this process.
#pragma once

#include "integration/rig.h"

#include <QAbstractEventDispatcher>
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
