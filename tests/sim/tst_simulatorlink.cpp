// The real simulator, started through SimHarness, talked to over its
// pseudo-terminal with plain POSIX calls, the way a serial port would;
// also its "silent on" / "silent off" commands, a chip that stops
// answering in the middle of a session and later starts again.
#include "simharness.h"

#include <QElapsedTimer>
#include <QFileInfo>
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

// Reads until count bytes came, the line hung up or timeoutMs passed.
QByteArray readBytes(int fd, qsizetype count, int timeoutMs, bool *hungUp = nullptr)
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
        if (n > 0) {
            bytes.append(chunk, n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            if (hungUp)
                *hungUp = true;
            break;
        }
    }
    return bytes;
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}

qsizetype countEvents(const QList<LogEntry> &log, const QString &text)
{
    return std::count_if(log.cbegin(), log.cend(),
        [&](const LogEntry &entry) { return entry.kind == QLatin1String("event") && entry.text == text; });
}

bool waitForEvent(SimHarness &sim, const QString &text)
{
    return sim.waitForLog([&](const QList<LogEntry> &log) { return countEvents(log, text) > 0; }, kReplyMs);
}

} // namespace

class TestSimulatorLink : public QObject
{
    Q_OBJECT
private slots:
    void answersOverThePty_data();
    void answersOverThePty();
    void reopenedPortTalksAgain();
    void potCommandReachesAnOpenPortOnly();
    void unplugAndPlugKeepTheLinkPathAndSilence();
    void silenceComesAndGoesMidSession();
    void silentTakesOnOrOffOnly();
};

void TestSimulatorLink::answersOverThePty_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("echo") << QStringList() << QByteArray::fromHex("00 04 55") << QByteArray::fromHex("55");
    QTest::newRow("revision 30") << QStringList { "--revision", "30" } << QByteArray::fromHex("00 02")
                                 << QByteArray::fromHex("1E");
    QTest::newRow("reply prefix") << QStringList { "--reply-prefix", "C0,8F" }
                                  << QByteArray::fromHex("00 04 55") << QByteArray::fromHex("C0 8F 55");
    QTest::newRow("calibrate then echo")
        << QStringList() << QByteArray::fromHex("00 00 FF 00 04 AA") << QByteArray::fromHex("AA");
    QTest::newRow("silent from the start")
        << QStringList { "--silent" } << QByteArray::fromHex("00 04 55 00 02 07") << QByteArray();
}

void TestSimulatorLink::answersOverThePty()
{
    QFETCH(QStringList, args);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    SimHarness sim(args);
    QVERIFY(sim.start());
    const int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QVERIFY(writeAll(fd, input));
    // A chip that should say nothing is given kQuietMs to break its silence.
    const QByteArray answer
        = expected.isEmpty() ? readBytes(fd, 1, kQuietMs) : readBytes(fd, expected.size(), kReplyMs);
    QCOMPARE(hexText(answer), hexText(expected));
    ::close(fd);

    // The harness reads back the same traffic from the log.
    QVERIFY(sim.waitForReceived(int(input.size()), kReplyMs));
    QCOMPARE(hexText(sim.received()), hexText(input));
    QCOMPARE(hexText(sim.sent()), hexText(expected));
}

void TestSimulatorLink::reopenedPortTalksAgain()
{
    SimHarness sim;
    QVERIFY(sim.start());
    for (const char echo : { '\x11', '\x22', '\x33' }) {
        const int fd = openLink(sim.linkPath());
        QVERIFY(fd >= 0);
        QVERIFY(writeAll(fd, QByteArray::fromHex("00 04") + echo));
        QCOMPARE(readBytes(fd, 1, kReplyMs), QByteArray(1, echo));
        ::close(fd);
    }
    QVERIFY(sim.waitForLog(
        [](const QList<LogEntry> &log) { return countEvents(log, "port close") == 3; }, kReplyMs));
    QCOMPARE(countEvents(sim.log(), "port open"), 3);
    QVERIFY(sim.isRunning());
}

void TestSimulatorLink::potCommandReachesAnOpenPortOnly()
{
    SimHarness sim;
    QVERIFY(sim.start());
    int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QVERIFY(waitForEvent(sim, "port open"));
    sim.command(QStringLiteral("pot 20"));
    QCOMPARE(hexText(readBytes(fd, 1, kReplyMs)), QStringLiteral("94"));
    ::close(fd);

    // A byte sent while the port is closed is lost, as on a real adapter:
    // it must not greet the next open as a stale reply.
    QVERIFY(waitForEvent(sim, "port close"));
    sim.command(QStringLiteral("pot 21"));
    QVERIFY(waitForEvent(sim, "lost 95 (port closed)"));
    fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QCOMPARE(readBytes(fd, 1, kQuietMs), QByteArray());
    QVERIFY(writeAll(fd, QByteArray::fromHex("07")));
    QCOMPARE(hexText(readBytes(fd, 1, kReplyMs)), QStringLiteral("95"));
    ::close(fd);
}

void TestSimulatorLink::unplugAndPlugKeepTheLinkPathAndSilence()
{
    SimHarness sim;
    QVERIFY(sim.start());
    int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);

    sim.command(QStringLiteral("silent on"));
    sim.command(QStringLiteral("unplug"));
    bool hungUp = false;
    QCOMPARE(readBytes(fd, 1, kReplyMs, &hungUp), QByteArray());
    QVERIFY(hungUp);
    QVERIFY(!QFileInfo(sim.linkPath()).isSymLink());
    ::close(fd);

    sim.command(QStringLiteral("plug"));
    QVERIFY(sim.waitForLog(
        [](const QList<LogEntry> &log) {
            return std::any_of(log.cbegin(), log.cend(),
                [](const LogEntry &entry) { return entry.text.startsWith(QLatin1String("plug /dev/")); });
        },
        kReplyMs));
    QVERIFY(QFileInfo(sim.linkPath()).isSymLink());
    fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    // The new port belongs to the same chip, which is still silent.
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 55 00 02")));
    QCOMPARE(readBytes(fd, 1, kQuietMs), QByteArray());
    sim.command(QStringLiteral("silent off"));
    QVERIFY(waitForEvent(sim, "silent off"));
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 5A")));
    QCOMPARE(hexText(readBytes(fd, 1, kReplyMs)), QStringLiteral("5A"));
    ::close(fd);
}

void TestSimulatorLink::silenceComesAndGoesMidSession()
{
    SimHarness sim({ QStringLiteral("--fast") });
    QVERIFY(sim.start());
    const int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 02") + "CQ DE"));
    QCOMPARE(hexText(readBytes(fd, 3, kReplyMs)), QStringLiteral("17 C4 C0"));
    QCOMPARE(sim.keyed(), QStringLiteral("CQ DE"));

    sim.command(QStringLiteral("silent on"));
    QVERIFY(waitForEvent(sim, "silent on"));
    const qsizetype sentBefore = sim.sent().size();
    // Echo, knob, text (which would send C4, then C0) and clear buffer (C0): all unanswered.
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 AA 07") + "EE" + QByteArray::fromHex("0A 0B 01")));
    sim.command(QStringLiteral("pot 20"));
    QCOMPARE(readBytes(fd, 1, kQuietMs), QByteArray());
    QVERIFY(sim.waitForReceived(16, kReplyMs));
    QCOMPARE(sim.sent().size(), sentBefore);
    // The chip still works while it says nothing: it keys, tunes and logs.
    QCOMPARE(sim.keyed(), QStringLiteral("CQ DEEE"));
    QVERIFY(countEvents(sim.log(), QStringLiteral("clear")) > 0);
    QVERIFY(waitForEvent(sim, "tune on"));

    // What the operator sends by hand still goes.
    sim.command(QStringLiteral("raw C5"));
    QCOMPARE(readBytes(fd, 1, kReplyMs), QByteArray::fromHex("C5"));

    sim.command(QStringLiteral("silent off"));
    QVERIFY(waitForEvent(sim, "silent off"));
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 5A 07")));
    // The knob was turned to 20 while the chip was silent.
    QCOMPARE(readBytes(fd, 2, kReplyMs), QByteArray::fromHex("5A 94"));
    ::close(fd);
}

void TestSimulatorLink::silentTakesOnOrOffOnly()
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

QTEST_GUILESS_MAIN(TestSimulatorLink)
#include "tst_simulatorlink.moc"
