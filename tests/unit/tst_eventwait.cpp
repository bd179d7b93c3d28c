// Waits in a nested event loop: they end on a wake-up whose condition holds,
// on the re-check timer or on the time limit, and keep handling events
// meanwhile. Timings are only checked with generous margins.
#include "keyer/eventwait.h"

#include <QElapsedTimer>
#include <QTest>
#include <QTimer>

namespace {

// Far beyond any wait in this file; reaching it means a wait never ended.
constexpr int kNever = 20000;

} // namespace

class EventWaitTest : public QObject
{
    Q_OBJECT

private slots:
    void alreadyDoneReturnsWithoutRunningTheLoop();
    void wakeEndsTheWaitOnlyOnceTheConditionHolds_data();
    void wakeEndsTheWaitOnlyOnceTheConditionHolds();
    void conditionWithoutAWakeIsNotNoticed();
    void recheckTimerNoticesTheClock();
    void timeoutGivesUp_data();
    void timeoutGivesUp();
    void timersFireWhileWaiting();
    void nestedWaitsEndInTurn();
    void yieldForHandlesEvents();
};

void EventWaitTest::alreadyDoneReturnsWithoutRunningTheLoop()
{
    Waker waker;
    bool timerFired = false;
    QTimer::singleShot(0, this, [&timerFired] { timerFired = true; });
    int checks = 0;
    QVERIFY(waitInEventLoop(waker, [&checks] { return ++checks > 0; }, 10, kNever));
    QCOMPARE(checks, 1);
    QVERIFY(!timerFired);
    QTRY_VERIFY(timerFired); // leave no timer behind for the next test
}

void EventWaitTest::wakeEndsTheWaitOnlyOnceTheConditionHolds_data()
{
    QTest::addColumn<int>("idleWakes"); // wake-ups before the condition holds

    QTest::newRow("first wake") << 0;
    QTest::newRow("after one idle wake") << 1;
    QTest::newRow("after five idle wakes") << 5;
}

void EventWaitTest::wakeEndsTheWaitOnlyOnceTheConditionHolds()
{
    QFETCH(int, idleWakes);

    Waker waker;
    bool ready = false;
    int wakes = 0;
    QTimer ticker;
    ticker.setInterval(5);
    connect(&ticker, &QTimer::timeout, this, [&] {
        if (wakes == idleWakes)
            ready = true;
        ++wakes;
        waker.wake();
    });
    ticker.start();

    int checks = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    const bool result = waitInEventLoop(waker, [&] { ++checks; return ready; }, 0, kNever);
    ticker.stop();
    QVERIFY(result);
    QVERIFY2(elapsed.elapsed() < kNever / 2, qPrintable(QString::number(elapsed.elapsed())));
    // It ended on the wake that made it true, not on an earlier one.
    QCOMPARE(wakes, idleWakes + 1);
    // Every wake made it look again.
    QVERIFY2(checks >= 1 + wakes, qPrintable(QString::number(checks)));
}

void EventWaitTest::conditionWithoutAWakeIsNotNoticed()
{
    // Without a re-check timer only a wake makes the wait look again.
    Waker waker;
    bool ready = false;
    QTimer::singleShot(5, this, [&ready] { ready = true; });
    int checks = 0;
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(waitInEventLoop(waker, [&] { ++checks; return ready; }, 0, 300));
    QVERIFY(ready);
    QVERIFY2(elapsed.elapsed() >= 270, qPrintable(QString::number(elapsed.elapsed())));
    QCOMPARE(checks, 2); // on entry and at the time limit: no polling
}

void EventWaitTest::recheckTimerNoticesTheClock()
{
    Waker waker;
    QElapsedTimer clock;
    clock.start();
    int checks = 0;
    const bool result = waitInEventLoop(waker, [&] { ++checks; return clock.hasExpired(40); }, 5, kNever);
    QVERIFY(result);
    QVERIFY2(clock.elapsed() < kNever / 2, qPrintable(QString::number(clock.elapsed())));
    QVERIFY2(checks >= 3, qPrintable(QString::number(checks)));
}

void EventWaitTest::timeoutGivesUp_data()
{
    QTest::addColumn<int>("recheckMs");
    QTest::addColumn<int>("timeoutMs");

    QTest::newRow("no re-check") << 0 << 60;
    QTest::newRow("with re-check") << 10 << 60;
    QTest::newRow("zero time") << 0 << 0;
}

void EventWaitTest::timeoutGivesUp()
{
    QFETCH(int, recheckMs);
    QFETCH(int, timeoutMs);

    Waker waker;
    QTimer waking;
    connect(&waking, &QTimer::timeout, &waker, &Waker::wake);
    waking.start(7);
    QElapsedTimer elapsed;
    elapsed.start();
    QVERIFY(!waitInEventLoop(waker, [] { return false; }, recheckMs, timeoutMs));
    // Coarse timers may fire a little early; a few milliseconds of slack.
    QVERIFY2(elapsed.elapsed() >= timeoutMs * 9 / 10, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY2(elapsed.elapsed() < kNever / 2, qPrintable(QString::number(elapsed.elapsed())));
}

void EventWaitTest::timersFireWhileWaiting()
{
    Waker waker;
    int ticks = 0;
    QTimer ticker;
    connect(&ticker, &QTimer::timeout, this, [&ticks] { ++ticks; });
    ticker.start(5);
    bool single = false;
    QTimer::singleShot(10, this, [&single] { single = true; });
    QVERIFY(!waitInEventLoop(waker, [] { return false; }, 0, 150));
    ticker.stop();
    QVERIFY(single);
    QVERIFY2(ticks >= 3, qPrintable(QString::number(ticks)));

    // A timer's own handler can end the wait.
    int count = 0;
    QTimer counter;
    connect(&counter, &QTimer::timeout, this, [&] { ++count; waker.wake(); });
    counter.start(5);
    QVERIFY(waitInEventLoop(waker, [&count] { return count >= 4; }, 0, kNever));
    counter.stop();
    QCOMPARE(count, 4);
}

void EventWaitTest::nestedWaitsEndInTurn()
{
    // A handler that runs during one wait may itself wait (a key press
    // while the link waits for the chip).
    Waker waker;
    bool inner = false;
    bool outer = false;
    bool innerResult = false;
    bool outerDoneDuringInner = true;
    QTimer::singleShot(5, this, [&] {
        QTimer::singleShot(10, this, [&] { inner = true; waker.wake(); });
        innerResult = waitInEventLoop(waker, [&inner] { return inner; }, 0, kNever);
        outerDoneDuringInner = outer;
        QTimer::singleShot(10, this, [&] { outer = true; waker.wake(); });
    });
    QVERIFY(waitInEventLoop(waker, [&outer] { return outer; }, 0, kNever));
    QVERIFY(innerResult);
    QVERIFY(!outerDoneDuringInner);
}

void EventWaitTest::yieldForHandlesEvents()
{
    bool fired = false;
    QTimer::singleShot(0, this, [&fired] { fired = true; });
    QElapsedTimer elapsed;
    elapsed.start();
    yieldFor(40);
    QVERIFY(fired);
    QVERIFY2(elapsed.elapsed() >= 35, qPrintable(QString::number(elapsed.elapsed())));
}

QTEST_GUILESS_MAIN(EventWaitTest)
#include "tst_eventwait.moc"
