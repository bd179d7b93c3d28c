#include "benchwait.h"

#include <QCoreApplication>
#include <QEventLoop>
#include <QTimer>

bool waitInEventLoop(Waker &waker, const std::function<bool()> &done, int recheckMs, int timeoutMs)
{
    if (done())
        return true;
    if (QCoreApplication::closingDown())
        return false;

    QEventLoop loop;
    QTimer recheck;
    QTimer limit;
    auto check = [&] {
        if (done())
            loop.quit();
    };
    QObject::connect(&waker, &Waker::woke, &loop, check);
    if (recheckMs > 0) {
        QObject::connect(&recheck, &QTimer::timeout, &loop, check);
        recheck.start(recheckMs);
    }
    if (timeoutMs >= 0) {
        limit.setSingleShot(true);
        // A coarse timer may end a 1200 ms wait 5 % early.
        limit.setTimerType(Qt::PreciseTimer);
        QObject::connect(&limit, &QTimer::timeout, &loop, &QEventLoop::quit);
        limit.start(timeoutMs);
    }
    loop.exec();
    return done();
}

void yieldFor(int ms)
{
    QEventLoop loop;
    QTimer::singleShot(ms, Qt::PreciseTimer, &loop, &QEventLoop::quit);
    loop.exec();
}
