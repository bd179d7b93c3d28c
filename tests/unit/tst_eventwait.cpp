// Waits in a nested event loop end on the wake-up that makes their
// condition hold, on the re-check timer or on the time limit, and look at
// the condition at no other time. Timings only with generous margins.
#include "keyer/eventwait.h"
#include "suites.h"

#include <QElapsedTimer>
#include <QTimer>

namespace {
// wakes: a 5 ms timer wakes the wait on every tick; readyAfter: ticks, -1
// never; checks: how often the condition is looked at, -1 at least 3.
struct Wait { bool wakes; int recheckMs, readyAfter, timeoutMs, checks; };
} // namespace

class EventWaitTest : public QObject
{
    Q_OBJECT

    // Far beyond any wait here; reaching it means a wait never ended.
    static constexpr int kNever = 20000;

private slots:
    void waitEnds_data()
    {
        QTest::addColumn<Wait>("w");
        // On entry, on each of the five wakes, and once more to answer.
        QTest::newRow("on the wake that makes it true") << Wait{true, 0, 5, kNever, 7};
        QTest::newRow("on the re-check timer") << Wait{false, 5, 8, kNever, -1};
        // Nothing looks again until the time limit: no polling.
        QTest::newRow("no wake, no re-check") << Wait{false, 0, 8, 300, 2};
        QTest::newRow("time limit") << Wait{true, 10, -1, 60, -1};
    }

    void waitEnds()
    {
        QFETCH(Wait, w);
        const auto [wakes, recheckMs, readyAfter, timeoutMs, checks] = w;

        Waker waker;
        int ticks = 0;
        bool ready = false;
        QTimer ticker;
        connect(&ticker, &QTimer::timeout, this, [&] {
            ready = readyAfter >= 0 && ++ticks >= readyAfter;
            if (wakes)
                waker.wake();
        });
        ticker.start(5);
        int checked = 0;
        QElapsedTimer elapsed;
        elapsed.start();
        const auto done = [&] {
            ++checked;
            return ready;
        };
        QCOMPARE(waitInEventLoop(waker, done, recheckMs, timeoutMs), readyAfter >= 0);
        if (checks >= 0)
            QCOMPARE(checked, checks);
        else
            QVERIFY2(checked >= 3, qPrintable(QString::number(checked)));
        // Coarse timers may fire a little early.
        const qint64 ms = elapsed.elapsed();
        QVERIFY2(ms < kNever / 2 && (timeoutMs == kNever || ms >= timeoutMs * 9 / 10),
            qPrintable(QString::number(ms)));
    }
};

ZAVO_SUITE(EventWaitTest)

ZAVO_SUITES_MAIN(QCoreApplication)
#include "tst_eventwait.moc"
