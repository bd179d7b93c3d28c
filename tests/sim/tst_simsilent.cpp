// The simulator's "silent on" / "silent off" commands: a chip that stops
// answering in the middle of a session and later starts again, talked to
// over its pseudo-terminal with plain POSIX calls.
#include "simharness.h"

#include <QElapsedTimer>
#include <QFile>
#include <QTest>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kReplyMs = 3000;
// How long a chip that should stay quiet is given to prove it.
constexpr int kQuietMs = 400;

int openLink(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (fd >= 0) {
        termios tio {};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    return fd;
}

bool writeAll(int fd, const QByteArray &bytes)
{
    return ::write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
}

// Reads until count bytes came or timeoutMs passed.
QByteArray readBytes(int fd, qsizetype count, int timeoutMs)
{
    QByteArray bytes;
    QElapsedTimer clock;
    clock.start();
    while (bytes.size() < count && !clock.hasExpired(timeoutMs)) {
        pollfd pfd { fd, POLLIN, 0 };
        if (poll(&pfd, 1, int(std::max<qint64>(0, timeoutMs - clock.elapsed()))) <= 0)
            continue;
        char chunk[256];
        const ssize_t n = ::read(fd, chunk, sizeof chunk);
        if (n > 0)
            bytes.append(chunk, n);
        else if (n == 0 || (errno != EAGAIN && errno != EINTR))
            break;
    }
    return bytes;
}

bool hasEvent(const QList<LogEntry> &log, const QString &text)
{
    return std::any_of(log.cbegin(), log.cend(),
        [&](const LogEntry &entry) { return entry.kind == QLatin1String("event") && entry.text == text; });
}

} // namespace

class TestSimSilent : public QObject
{
    Q_OBJECT
private slots:
    void silenceComesAndGoesMidSession();
    void silenceOutlastsAnUnplug();
    void silentTakesOnOrOffOnly();
};

void TestSimSilent::silenceComesAndGoesMidSession()
{
    SimHarness sim({ QStringLiteral("--fast") });
    QVERIFY(sim.start());
    const int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 02")));
    QCOMPARE(readBytes(fd, 1, kReplyMs), QByteArray::fromHex("17"));

    sim.command(QStringLiteral("silent on"));
    QVERIFY(sim.waitForLog([](const QList<LogEntry> &log) { return hasEvent(log, "silent on"); }, kReplyMs));
    const qsizetype sentBefore = sim.sent().size();
    // Echo, knob, text (whose end would send C0) and clear buffer (C0): all unanswered.
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 AA 07") + "EE" + QByteArray::fromHex("0A")));
    sim.command(QStringLiteral("pot 20"));
    QCOMPARE(readBytes(fd, 1, kQuietMs), QByteArray());
    QVERIFY(sim.waitForReceived(7, kReplyMs));
    QCOMPARE(sim.sent().size(), sentBefore);
    // The chip still works while it says nothing: it keys and it logs.
    QCOMPARE(sim.keyed(), QStringLiteral("EE"));
    QVERIFY(hasEvent(sim.log(), QStringLiteral("clear")));

    // What the operator sends by hand still goes.
    sim.command(QStringLiteral("raw C5"));
    QCOMPARE(readBytes(fd, 1, kReplyMs), QByteArray::fromHex("C5"));

    sim.command(QStringLiteral("silent off"));
    QVERIFY(sim.waitForLog([](const QList<LogEntry> &log) { return hasEvent(log, "silent off"); }, kReplyMs));
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 5A 07")));
    // The knob was turned to 20 while the chip was silent.
    QCOMPARE(readBytes(fd, 2, kReplyMs), QByteArray::fromHex("5A 94"));
    ::close(fd);
}

void TestSimSilent::silenceOutlastsAnUnplug()
{
    SimHarness sim;
    QVERIFY(sim.start());
    sim.command(QStringLiteral("silent on"));
    sim.command(QStringLiteral("unplug"));
    sim.command(QStringLiteral("plug"));
    QVERIFY(sim.waitForLog(
        [](const QList<LogEntry> &log) {
            return std::any_of(log.cbegin(), log.cend(),
                [](const LogEntry &entry) { return entry.text.startsWith(QLatin1String("plug /dev/")); });
        },
        kReplyMs));
    int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 55 00 02")));
    QCOMPARE(readBytes(fd, 1, kQuietMs), QByteArray());
    sim.command(QStringLiteral("silent off"));
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 55")));
    QCOMPARE(readBytes(fd, 1, kReplyMs), QByteArray::fromHex("55"));
    ::close(fd);
}

void TestSimSilent::silentTakesOnOrOffOnly()
{
    SimHarness sim;
    QVERIFY(sim.start());
    for (const char *wrong : { "silent", "silent yes", "silent on off" })
        sim.command(QString::fromLatin1(wrong));
    // A wrong command changes nothing: the chip still answers.
    const int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 33")));
    QCOMPARE(readBytes(fd, 1, kReplyMs), QByteArray::fromHex("33"));
    ::close(fd);
    // Each one was refused out loud (the harness passes the complaints on at stop).
    for (int i = 0; i < 3; ++i)
        QTest::ignoreMessage(QtWarningMsg, "SimHarness: \"zavokeyer-sim: silent takes on or off\"");
    sim.stop();
}

QTEST_GUILESS_MAIN(TestSimSilent)
#include "tst_simsilent.moc"
