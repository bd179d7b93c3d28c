// Waits in a nested event loop: they end on a wake-up whose condition holds,
// on the re-check timer or on the time limit, and keep handling events
// meanwhile. Timings are only checked with generous margins.
#include "keyer/eventwait.h"
#include "suites.h"

#include <QElapsedTimer>
#include <QTimer>

namespace {

// Far beyond any wait in this file; reaching it means a wait never ended.
constexpr int kNever = 20000;

} // namespace

class EventWaitTest : public QObject
{
    Q_OBJECT

private slots:
    void alreadyDoneReturnsWithoutRunningTheLoop()
    {
        Waker waker;
        bool timerFired = false;
        QTimer::singleShot(0, this, [&timerFired] { timerFired = true; });
        QVERIFY(waitInEventLoop(waker, [] { return true; }, 10, kNever));
        QVERIFY(!timerFired);
        QTRY_VERIFY(timerFired); // leave no timer behind for the next test
    }

    void endsWhenTheConditionHolds_data()
    {
        QTest::addColumn<int>("idleWakes"); // wake-ups before the condition holds; -1: none at all
        QTest::addColumn<int>("recheckMs");
        QTest::addColumn<int>("checks");    // -1: at least one per wake

        QTest::newRow("first wake") << 0 << 0 << -1;
        QTest::newRow("after five idle wakes") << 5 << 0 << -1;
        // Without wakes only the re-check timer looks again; without it, nothing does.
        QTest::newRow("re-check timer") << -1 << 5 << 3;
        QTest::newRow("no wake, no re-check") << -1 << 0 << 2;
    }

    void endsWhenTheConditionHolds()
    {
        QFETCH(int, idleWakes);
        QFETCH(int, recheckMs);
        QFETCH(int, checks);
        Waker waker;
        bool ready = false;
        int wakes = 0;
        int ticks = 0;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            ready = ready || (idleWakes < 0 ? ++ticks >= 8 : wakes == idleWakes);
            if (idleWakes >= 0 && ++wakes)
                waker.wake();
        });
        ticker.start(5);
        int checked = 0;
        QElapsedTimer elapsed;
        elapsed.start();
        const bool result = waitInEventLoop(waker, [&] { ++checked; return ready; }, recheckMs, checks == 2 ? 300 : kNever);
        ticker.stop();
        QVERIFY(result);
        if (checks == 2) // on entry and at the time limit: no polling
            QVERIFY2(elapsed.elapsed() >= 270, qPrintable(QString::number(elapsed.elapsed())));
        else
            QVERIFY2(elapsed.elapsed() < kNever / 2, qPrintable(QString::number(elapsed.elapsed())));
        if (idleWakes >= 0)
            QCOMPARE(wakes, idleWakes + 1); // on the wake that made it true, not an earlier one
        if (checks < 0)
            QVERIFY2(checked >= 1 + wakes, qPrintable(QString::number(checked)));
        else if (checks == 2)
            QCOMPARE(checked, 2);
        else
            QVERIFY2(checked >= checks, qPrintable(QString::number(checked)));
    }

    void timeoutGivesUp_data()
    {
        QTest::addColumn<int>("recheckMs");
        QTest::addColumn<int>("timeoutMs");
        QTest::newRow("no re-check") << 0 << 60;
        QTest::newRow("with re-check") << 10 << 60;
        QTest::newRow("zero time") << 0 << 0;
    }

    void timeoutGivesUp()
    {
        QFETCH(int, recheckMs);
        QFETCH(int, timeoutMs);
        Waker waker;
        QTimer waking;
        connect(&waking, &QTimer::timeout, &waker, &Waker::wake);
        waking.start(7);
        bool single = false;
        QTimer::singleShot(1, this, [&single] { single = true; });
        QElapsedTimer elapsed;
        elapsed.start();
        QVERIFY(!waitInEventLoop(waker, [] { return false; }, recheckMs, timeoutMs));
        // Coarse timers may fire a little early; a few milliseconds of slack.
        QVERIFY2(elapsed.elapsed() >= timeoutMs * 9 / 10, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY2(elapsed.elapsed() < kNever / 2, qPrintable(QString::number(elapsed.elapsed())));
        QVERIFY(single || timeoutMs == 0); // timers fire while waiting
        QTRY_VERIFY(single);
    }

    // A handler that runs during one wait may itself wait (a key press
    // while the link waits for the chip).
    void nestedWaitsEndInTurn()
    {
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

    void yieldForHandlesEvents()
    {
        bool fired = false;
        QTimer::singleShot(0, this, [&fired] { fired = true; });
        QElapsedTimer elapsed;
        elapsed.start();
        yieldFor(40);
        QVERIFY(fired);
        QVERIFY2(elapsed.elapsed() >= 35, qPrintable(QString::number(elapsed.elapsed())));
    }
};

ZAVO_SUITE(EventWaitTest)

ZAVO_SUITES_MAIN(QCoreApplication)
#include "tst_eventwait.moc"
