// The real simulator, started through SimHarness, talked to over its
// pseudo-terminal with plain POSIX calls, the way a serial port would, and
// driven by its commands: pot, unplug and plug, silent on and off, raw. Its
// answers themselves are tst_chipmodel's.
#include "hexbytes.h"
#include "simharness.h"

#include <QElapsedTimer>
#include <QFileInfo>
#include <QTest>

#include <cerrno>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

constexpr int kReplyMs = 3000;
// How long a chip that should stay quiet is given to prove it.
constexpr int kQuietMs = 400;

struct Link {
    explicit Link(const QString &path)
        : fd(::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC))
    {
        termios tio {};
        tcgetattr(fd, &tio);
        cfmakeraw(&tio);
        tcsetattr(fd, TCSANOW, &tio);
    }
    ~Link() { ::close(fd); }

    bool write(const char *hex, const QByteArray &text = {})
    {
        const QByteArray bytes = QByteArray::fromHex(hex) + text;
        return ::write(fd, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
    }

    QString read(qsizetype count, int timeoutMs = kReplyMs)
    {
        QByteArray bytes;
        QElapsedTimer clock;
        clock.start();
        while (bytes.size() < count && !clock.hasExpired(timeoutMs) && !hungUp) {
            pollfd pfd { fd, POLLIN, 0 };
            if (poll(&pfd, 1, int(qMax<qint64>(0, timeoutMs - clock.elapsed()))) <= 0)
                continue;
            char chunk[256];
            const ssize_t n = ::read(fd, chunk, sizeof chunk);
            if (n > 0)
                bytes.append(chunk, n);
            hungUp = n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
        }
        return hexText(bytes);
    }

    int fd;
    bool hungUp = false;
};

} // namespace

class TestSimulatorLink : public QObject
{
    Q_OBJECT
private slots:
    void portOpensAgainWithNothingStale()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        {
            Link link(sim.linkPath());
            QVERIFY(sim.waitForEvent("port open"));
            sim.command(QStringLiteral("pot 20"));
            QCOMPARE(link.read(1), QStringLiteral("94"));
        }
        // A byte sent while the port is closed is lost, as on a real
        // adapter: it must not greet the next open as a stale reply.
        QVERIFY(sim.waitForEvent("port close"));
        sim.command(QStringLiteral("pot 21"));
        QVERIFY(sim.waitForEvent("lost 95 (port closed)"));
        Link link(sim.linkPath());
        QCOMPARE(link.read(1, kQuietMs), QString());
        QVERIFY(link.write("00 04 11 07"));
        QCOMPARE(link.read(2), QStringLiteral("11 95"));
    }

    void unplugHangsUpAndPlugComesBackOnTheSamePath()
    {
        SimHarness sim;
        QVERIFY(sim.start());
        {
            Link link(sim.linkPath());
            sim.command(QStringLiteral("unplug"));
            QCOMPARE(link.read(1), QString());
            QVERIFY(link.hungUp);
            QVERIFY(!QFileInfo(sim.linkPath()).isSymLink());
        }
        sim.command(QStringLiteral("plug"));
        QVERIFY(sim.waitForEvent("plug /dev/"));
        Link link(sim.linkPath());
        // Logged with the first bytes: every setting the log tells, each unlike the program's own.
        termios tio {};
        QVERIFY(tcgetattr(link.fd, &tio) == 0 && cfsetspeed(&tio, B4800) == 0);
        tio.c_cflag |= CSTOPB | CRTSCTS;
        tio.c_iflag |= IXON | IXOFF;
        QVERIFY(tcsetattr(link.fd, TCSANOW, &tio) == 0 && link.write("00 04 5A"));
        QCOMPARE(link.read(1), QStringLiteral("5A"));
        QCOMPARE(sim.events("line "), QStringList{"line 4800 baud stop 2 handshake crtscts ixon ixoff"});
    }

    void silenceComesAndGoesMidSession()
    {
        SimHarness sim({ "--fast" });
        QVERIFY(sim.start());
        Link link(sim.linkPath());
        QVERIFY(link.write("00 02", "CQ"));
        QCOMPARE(link.read(3), QStringLiteral("17 C4 C0"));

        sim.command(QStringLiteral("silent on"));
        QVERIFY(sim.waitForEvent("silent on"));
        // Echo, knob, text (C4, then C0) and clear buffer (C0): all
        // unanswered, but the chip still keys and tunes.
        QVERIFY(link.write("00 04 AA 07", "EE"));
        QVERIFY(link.write("0A 0B 01"));
        sim.command(QStringLiteral("pot 20"));
        QCOMPARE(link.read(1, kQuietMs), QString());
        QVERIFY(sim.waitForEvent("tune on"));
        QCOMPARE(sim.keyed(), QStringLiteral("CQEE"));
        // What the operator sends by hand still goes.
        sim.command(QStringLiteral("raw C5"));
        QCOMPARE(link.read(1), QStringLiteral("C5"));

        sim.command(QStringLiteral("silent off"));
        QVERIFY(sim.waitForEvent("silent off"));
        QVERIFY(link.write("00 04 5A 07"));
        // The knob was turned to 20 while the chip was silent.
        QCOMPARE(link.read(2), QStringLiteral("5A 94"));
    }

    // The log's key lines, as the harness reads them back: each character with
    // the speed it was keyed at, a blank and a merged pair included.
    void keyLinesCarryTheSpeed()
    {
        SimHarness sim({ "--fast" });
        QVERIFY(sim.start());
        Link link(sim.linkPath());
        QVERIFY(link.write("00 02 02 1E", "C"));
        QVERIFY(link.write("18 01 1B 53 4E", " "));
        QVERIFY(link.write("1C 23", "E"));
        QVERIFY(link.write("18 00"));
        QVERIFY(sim.waitForEvent("ptt off"));
        QCOMPARE(sim.keyed(), QStringLiteral("CSN E"));
        QCOMPARE(sim.keyedAt(), QList<KeyedAt>({ { "C", 30 }, { "SN", 30 }, { " ", 30 }, { "E", 35 } }));
        QCOMPARE(sim.events("ptt "), QStringList({ "ptt on", "ptt off" }));
    }
};

QTEST_GUILESS_MAIN(TestSimulatorLink)
#include "tst_simulatorlink.moc"
