// The real simulator, started through SimHarness, talked to over its
// pseudo-terminal with plain POSIX calls, the way a serial port would.
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

bool hasEvent(const QList<LogEntry> &log, const QString &text)
{
    return std::any_of(log.cbegin(), log.cend(),
        [&](const LogEntry &entry) { return entry.kind == QLatin1String("event") && entry.text == text; });
}

qsizetype countEvents(const QList<LogEntry> &log, const QString &text)
{
    return std::count_if(log.cbegin(), log.cend(),
        [&](const LogEntry &entry) { return entry.kind == QLatin1String("event") && entry.text == text; });
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
    void unplugAndPlugKeepTheLinkPath();
    void keysTextAndTunes();
    void silentChipAnswersNothing();
};

void TestSimulatorLink::answersOverThePty_data()
{
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("echo") << QStringList() << QByteArray::fromHex("00 04 55") << QByteArray::fromHex("55");
    QTest::newRow("host open") << QStringList() << QByteArray::fromHex("00 02") << QByteArray::fromHex("17");
    QTest::newRow("revision 30") << QStringList { "--revision", "30" } << QByteArray::fromHex("00 02")
                                 << QByteArray::fromHex("1E");
    QTest::newRow("reply prefix") << QStringList { "--reply-prefix", "C0,8F" }
                                  << QByteArray::fromHex("00 04 55") << QByteArray::fromHex("C0 8F 55");
    QTest::newRow("calibrate then echo")
        << QStringList() << QByteArray::fromHex("00 00 FF 00 04 AA") << QByteArray::fromHex("AA");
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
    QCOMPARE(hexText(readBytes(fd, expected.size(), kReplyMs)), hexText(expected));
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
    QVERIFY(sim.waitForLog([](const QList<LogEntry> &log) { return hasEvent(log, "port open"); }, kReplyMs));
    sim.command(QStringLiteral("pot 20"));
    QCOMPARE(hexText(readBytes(fd, 1, kReplyMs)), QStringLiteral("94"));
    ::close(fd);

    // A byte sent while the port is closed is lost, as on a real adapter:
    // it must not greet the next open as a stale reply.
    QVERIFY(sim.waitForLog([](const QList<LogEntry> &log) { return hasEvent(log, "port close"); }, kReplyMs));
    sim.command(QStringLiteral("pot 21"));
    QVERIFY(sim.waitForLog(
        [](const QList<LogEntry> &log) { return hasEvent(log, "lost 95 (port closed)"); }, kReplyMs));
    fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QCOMPARE(readBytes(fd, 1, kQuietMs), QByteArray());
    QVERIFY(writeAll(fd, QByteArray::fromHex("07")));
    QCOMPARE(hexText(readBytes(fd, 1, kReplyMs)), QStringLiteral("95"));
    ::close(fd);
}

void TestSimulatorLink::unplugAndPlugKeepTheLinkPath()
{
    SimHarness sim;
    QVERIFY(sim.start());
    const QString target = QFileInfo(sim.linkPath()).symLinkTarget();
    int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);

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
    QVERIFY(!QFileInfo(sim.linkPath()).symLinkTarget().isEmpty());
    fd = openLink(sim.linkPath());
    QVERIFY2(fd >= 0, qPrintable(target));
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 5A")));
    QCOMPARE(hexText(readBytes(fd, 1, kReplyMs)), QStringLiteral("5A"));
    ::close(fd);
}

void TestSimulatorLink::keysTextAndTunes()
{
    SimHarness sim({ QStringLiteral("--fast") });
    QVERIFY(sim.start());
    const int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 02") + "CQ DE"));
    QCOMPARE(hexText(readBytes(fd, 2, kReplyMs)), QStringLiteral("17 C0"));
    QCOMPARE(sim.keyed(), QStringLiteral("CQ DE"));

    QVERIFY(writeAll(fd, QByteArray::fromHex("0B 01")));
    QVERIFY(sim.waitForLog([](const QList<LogEntry> &log) { return hasEvent(log, "tune on"); }, kReplyMs));
    ::close(fd);
}

void TestSimulatorLink::silentChipAnswersNothing()
{
    SimHarness sim({ QStringLiteral("--silent") });
    QVERIFY(sim.start());
    const int fd = openLink(sim.linkPath());
    QVERIFY(fd >= 0);
    QVERIFY(writeAll(fd, QByteArray::fromHex("00 04 55 00 02 07")));
    QCOMPARE(readBytes(fd, 1, kQuietMs), QByteArray());
    QVERIFY(sim.waitForReceived(6, kReplyMs));
    QCOMPARE(sim.sent(), QByteArray());
    ::close(fd);
}

QTEST_GUILESS_MAIN(TestSimulatorLink)
#include "tst_simulatorlink.moc"
