// The keyer link's start-up and Update, and its faults: a chip that does not
// answer or answers wrongly, ports that cannot be opened, the adapter pulled
// out (its return is tst_reconnect's; every wait it ends is tst_linkstates').
#include "keyer/protocol.h"
#include "linkrig.h"

#include <cstdarg>
#include <dlfcn.h>
#include <sys/ioctl.h>

using namespace Zavo;

namespace {

// The modem lines as the driver is asked to set them: a pseudo-terminal has
// none, so the simulator cannot tell.
QList<std::pair<unsigned long, int>> g_modemLines;

} // namespace

extern "C" int ioctl(int fd, unsigned long request, ...) noexcept
{
    va_list args;
    va_start(args, request);
    void *argument = va_arg(args, void *);
    va_end(args);
    if (request == TIOCMBIS || request == TIOCMBIC)
        g_modemLines.append({request, *static_cast<const int *>(argument)});
    using Ioctl = int (*)(int, unsigned long, ...);
    static const auto next = reinterpret_cast<Ioctl>(::dlsym(RTLD_NEXT, "ioctl"));
    return next(fd, request, argument);
}

namespace {

const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");
const QByteArray kEchoOnly = QByteArray::fromHex("0000ff000455");


} // namespace

class LinkFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void serialFacility();
    void startUpAndUpdate();
    void noAnswer_data();
    void noAnswer();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void escapeGoesBeforeWhatTheLineHasNotSent();
};

// At any other speed the chip reads garbage; DTR on, RTS off as the chip's
// interface wants them. A second program on the port is in the way:
// joining the dialout group would not help, so the operator must not be told to.
void LinkFaultsTest::serialFacility()
{
    SimHarness sim;
    QVERIFY(sim.start());
    SerialFacility port, second;
    port.setPortName(sim.linkPath());
    second.setPortName(sim.linkPath());
    QVERIFY(port.open() && !second.open());
    QCOMPARE(g_modemLines, (QList<std::pair<unsigned long, int>>{{TIOCMBIS, TIOCM_DTR}, {TIOCMBIC, TIOCM_RTS}}));
    QVERIFY(second.inUse() && !second.permissionDenied());
    port.write(Winkey::getSpeedPot());
    QTRY_COMPARE(sim.events(QStringLiteral("line ")), QStringList{QStringLiteral("line 1200 baud stop 1 handshake none")});
}

// Status bytes come before each reply: they are taken as what they are,
// never for the replies.
void LinkFaultsTest::startUpAndUpdate()
{
    if (!qEnvironmentVariableIsSet("ZAVO_REALTIME"))
        QSKIP("the chip's real pauses are walked under the soak label (tst_startup_realtime)");
    LinkRig rig({QStringLiteral("--revision"), QStringLiteral("30"), QStringLiteral("--pot"), QStringLiteral("20"),
                 QStringLiteral("--reply-prefix"), QStringLiteral("C1,9E,C5,81")});
    rig.timings = {}; // the chip's own pauses, in real time
    QVERIFY(rig.up());
    QCOMPARE(rig.sim.received(), seedStartupBytes());
    QCOMPARE(rig.panels.value(1), QStringLiteral("Winkey Online - Firmware Rev.30"));
    QCOMPARE(rig.panels.value(2), QStringLiteral("winkey"));
    QVERIFY(XoffActive);
    // The pot is read after the block, and counts from the minimum in it.
    QTRY_COMPARE(rig.panels.value(3), QStringLiteral("30 WPM"));
    // The block goes out in one write.
    QVERIFY(rig.writes.contains(seedStartupBytes().mid(8, 16)));
    QVERIFY(rig.messages.isEmpty());

    // Nothing before 600 ms after the port opened; FF at least 50 ms after 00 00.
    QCOMPARE(rig.openedAt.size(), 1);
    double calibrateAt = -1;
    double tailAt = -1;
    for (const LogEntry &entry : rig.sim.log()) {
        if (entry.kind == QLatin1String("in") && calibrateAt < 0)
            calibrateAt = entry.t;
        if (entry.kind == QLatin1String("in") && entry.bytes.contains('\xff') && tailAt < 0)
            tailAt = entry.t;
    }
    QVERIFY2(calibrateAt - rig.openedAt.first() >= 599.0, qPrintable(QString::number(calibrateAt - rig.openedAt.first())));
    // Measured where the simulator reads, which may see the first bytes late
    // on a loaded machine: allow for that, a missing pause still shows.
    QVERIFY2(tailAt - calibrateAt >= 35.0, qPrintable(QString::number(tailAt - calibrateAt)));

    // Update closes the port, waits 250 ms, reopens and starts again. Two
    // bytes reach the line just after it reopens, before the echo test:
    // taken for the echo, the real echo would make the revision read 85.
    QObject::connect(&rig.link->port(), &SerialFacility::opened, [&rig] {
        QTest::qSleep(100); // let the simulator notice the port is open
        rig.sim.command(QStringLiteral("raw 55 42"));
    });
    const double before = monotonicMs();
    QVERIFY(rig.restart([&rig] { rig.link->settingsUpdate(); }));
    QVERIFY(!Reinit);
    QCOMPARE(rig.settle(), seedStartupBytes());
    QCOMPARE(rig.panels.value(1), QStringLiteral("Winkey Online - Firmware Rev.30"));
    QVERIFY(rig.sim.sent().contains("\x55\x42"));
    QCOMPARE(rig.openedAt.size(), 2);
    QVERIFY(rig.openedAt.at(1) - before >= 249.0);
}

void LinkFaultsTest::noAnswer_data()
{
    QTest::addColumn<bool>("atStartUp"); // or on F12
    QTest::addColumn<QString>("device"); // what the simulator is told to be
    QTest::addColumn<QString>("answer"); // empty: nothing
    QTest::newRow("silent at start-up") << true << "silent on" << "";
    // The device answers the echo test, but not with 55: it is not the chip
    // (or not at 1200 baud), and gets nothing more.
    QTest::newRow("wrong echo on F12") << false << "silent on" << "41 AA 54";
    // Everything comes back, the 55 too: the 00 before it gives it away.
    QTest::newRow("loopback at start-up") << true << "loopback on" << "";
    QTest::newRow("loopback on F12") << false << "loopback on" << "";
}

void LinkFaultsTest::noAnswer()
{
    QFETCH(bool, atStartUp);
    QFETCH(QString, device);
    QFETCH(QString, answer);
    LinkRig rig;
    if (atStartUp)
        QVERIFY(rig.start() && rig.simulator(device));
    else
        QVERIFY(rig.up() && rig.simulator(device));
    rig.mark();
    // Fires once the echo wait runs the event loop.
    if (!answer.isEmpty())
        QTimer::singleShot(100, [&rig, answer] { rig.sim.command(QStringLiteral("raw ") + answer); });
    QElapsedTimer elapsed;
    elapsed.start();
    if (atStartUp)
        QVERIFY(!rig.init());
    else
        QVERIFY(!rig.restart([&rig] { rig.link->press(Qt::Key_F12); }));
    QTRY_VERIFY(!rig.messages.isEmpty());
    QVERIFY(elapsed.elapsed() >= 1500 || device == QLatin1String("loopback on")); // silence takes the deadline
    QCOMPARE(rig.messages, QStringList{QStringLiteral("No Response from Winkey on Com") + rig.sim.linkPath()
                                       + QStringLiteral("\r\nCheck Port, Cable or Winkey")});
    QCOMPARE(rig.terminations, atStartUp ? QList<int>{EXIT_FAILURE} : QList<int>{});
    // Nothing after the echo test: no host open, no parameters.
    QCOMPARE(rig.settle().toHex(' '), kEchoOnly.toHex(' '));
    if (atStartUp)
        return;
    // Mid-session the link stays down, and panel 1 keeps saying why.
    QVERIFY(!rig.link->isOpen());
    rig.link->press(Qt::Key_F2);
    QCOMPARE(rig.panels.value(1), KeyerLink::kNoAnswerText);
}

void LinkFaultsTest::portThatCannotBeOpened_data()
{
    QTest::addColumn<QString>("port"); // %1: the test's folder
    QTest::addColumn<bool>("chosen");  // or the chooser is cancelled
    QTest::newRow("no such device") << "%1/no-such-port" << true;
    QTest::newRow("not a serial port") << "/dev/null" << true;
    QTest::newRow("non-ASCII") << QStringLiteral("/dev/ttyUSB\u00e9\u65e5") << true;
    QTest::newRow("cancelled") << "%1/no-such-port" << false;
}

// The operator is told and offered the chooser; a choice is stored and
// used, Cancel ends the program.
void LinkFaultsTest::portThatCannotBeOpened()
{
    QFETCH(QString, port);
    QFETCH(bool, chosen);
    LinkRig rig;
    QVERIFY(rig.start());
    port.replace(QLatin1String("%1"), rig.dir.path());
    QVERIFY(rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"), port));
    if (chosen)
        rig.chooserAnswer = rig.sim.linkPath();
    QCOMPARE(rig.init(), chosen);
    QCOMPARE(rig.chooserShown, 1);
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY2(rig.messages.first().contains(QLatin1String("port")), qPrintable(rig.messages.first()));
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")),
             chosen ? rig.sim.linkPath() : port);
    QCOMPARE(rig.terminations, chosen ? QList<int>{} : QList<int>{EXIT_FAILURE});
    QCOMPARE(rig.settle(300), chosen ? seedStartupBytes() : QByteArray());
}

// At 1200 baud 2,000 characters take 16 s to leave: Escape's clear-buffer
// must not wait behind them.
void LinkFaultsTest::escapeGoesBeforeWhatTheLineHasNotSent()
{
    LinkRig rig({QStringLiteral("--baud"), QStringLiteral("1200")});
    QVERIFY(rig.up());
    Settings.Message2 = QString(2000, QLatin1Char('E'));
    rig.link->press(Qt::Key_F2);
    // Under way: the simulator has taken it off the pty, where no flush reaches.
    QTRY_VERIFY(!rig.since().isEmpty());
    rig.link->press(Qt::Key_Escape);
    QTRY_VERIFY(rig.since().contains('\x0a'));
    const qsizetype abortAt = rig.since().indexOf('\x0a');
    QVERIFY2(abortAt > 0 && abortAt < 200, qPrintable(QString::number(abortAt)));
}

// Message 1 half fills the chip's buffer; the messages pressed behind it
// would overflow it, were they not paced by its XOFF as message 1 is.
QTEST_GUILESS_MAIN(LinkFaultsTest)
#include "tst_linkfaults.moc"
