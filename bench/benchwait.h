// The benchmark driver's own waits: a nested event loop that sleeps until
// something that may end the wait happens (the program itself never nests one).
#pragma once

#include <QObject>

#include <functional>

// Everything that can end a wait (a byte arriving, a flag changing, the
// window closing) calls wake(); each wait then re-checks its condition.
class Waker : public QObject
{
    Q_OBJECT
public:
    using QObject::QObject;
    void wake() { emit woke(); }

signals:
    void woke();
};

// Runs a nested event loop until done() holds. Every event that arrives is
// handled meanwhile. recheckMs > 0 also re-checks on a timer (for conditions
// that depend on the clock); timeoutMs >= 0 gives up after that long.
// Returns done() as it stands when the wait ends; a wait started while the
// application is quitting returns at once.
bool waitInEventLoop(Waker &waker, const std::function<bool()> &done,
                     int recheckMs = 0, int timeoutMs = -1);

// Handles events for the given time, sleeping in the event loop meanwhile.
void yieldFor(int ms);
