// The keyer link's start-up and Update, and its faults: a chip that does not
// answer or answers wrongly, ports that cannot be opened, the adapter pulled
// out (its return is tst_reconnect's) or the program closed while it waits.
#include "keyer/protocol.h"
#include "linkrig.h"

using namespace Zavo;

namespace {

const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");
const QByteArray kEchoOnly = QByteArray::fromHex("0000ff000455");

struct Interruption {
    bool unplug;        // or the program closes, with tune on
    int key;            // pressed before, 0: none
    QString before;     // what the chip is told first
    QByteArray waiting; // what the chip has when the wait begins
    QByteArray sent;    // after the last mark
};

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
    void waitsEndOnUnplugOrClose_data();
    void waitsEndOnUnplugOrClose();
    void escapeGoesBeforeWhatTheLineHasNotSent();
    void keysBehindMessageOneWaitForRoom();
};

// At any other speed the chip reads garbage. A second program on the port is in the way:
// joining the dialout group would not help, so the operator must not be told to.
void LinkFaultsTest::serialFacility()
{
    SimHarness sim;
    QVERIFY(sim.start());
    SerialFacility port, second;
    port.setPortName(sim.linkPath());
    second.setPortName(sim.linkPath());
    QVERIFY(port.open() && !second.open());
    QVERIFY(second.inUse() && !second.permissionDenied());
    port.write(Winkey::getSpeedPot());
    QTRY_COMPARE(sim.events(QStringLiteral("line ")), QStringList{QStringLiteral("line 1200 baud stop 1 handshake none")});
}

// Status bytes come before each reply: they are taken as what they are,
// never for the replies.
void LinkFaultsTest::startUpAndUpdate()
{
    LinkRig rig({QStringLiteral("--revision"), QStringLiteral("30"), QStringLiteral("--pot"), QStringLiteral("20"),
                 QStringLiteral("--reply-prefix"), QStringLiteral("C1,9E,C5,81")});
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
    rig.link->settingsUpdate();
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
        rig.link->press(Qt::Key_F12);
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

void LinkFaultsTest::waitsEndOnUnplugOrClose_data()
{
    QTest::addColumn<Interruption>("i");
    const QByteArray hostOpen = kEchoOnly + QByteArray::fromHex("0002");
    const QByteArray keyUp = QByteArray::fromHex("0b00");
    const int f1 = Qt::Key_F1;
    const int f12 = Qt::Key_F12;
    QTest::newRow("unplugged idle") << Interruption{true, 0, "", {}, {}};
    QTest::newRow("unplugged, F1 on XOFF") << Interruption{true, f1, "raw C5", {}, {}};
    QTest::newRow("unplugged, F12 on the echo") << Interruption{true, f12, "silent on", kEchoOnly, kEchoOnly};
    QTest::newRow("unplugged, F12 on the revision") << Interruption{true, f12, "silent on", hostOpen, hostOpen};
    QTest::newRow("closed, F1 on XOFF") << Interruption{false, f1, "raw C5", {}, keyUp};
    // F12 keys the transmitter up before it closes the port.
    QTest::newRow("closed, F12 on the echo") << Interruption{false, f12, "silent on", keyUp + kEchoOnly, keyUp + kEchoOnly};
}

// Whatever waits ends at once, not on a deadline. Unplugged, panel 1 says
// so, nothing polls the dead device and keys send nothing. Closed, the
// transmitter is keyed up first, and nothing pressed meanwhile runs.
void LinkFaultsTest::waitsEndOnUnplugOrClose()
{
    QFETCH(Interruption, i);
    const auto &[unplug, key, before, waiting, sent] = i;
    LinkRig rig;
    QVERIFY(rig.up());
    Settings.Message1 = QStringLiteral("CQ TEST");
    if (!unplug)
        rig.link->press(Qt::Key_F6);
    if (before == QLatin1String("raw C5")) {
        rig.sim.command(before);
        QTRY_VERIFY(XoffActive);
    } else if (!before.isEmpty()) {
        QVERIFY(rig.simulator(before));
    }
    rig.mark();
    // For the revision, the echo is answered by hand (once) so that host open goes.
    bool answered = waiting.size() <= kEchoOnly.size();
    QElapsedTimer acted;
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!answered && rig.since() == kEchoOnly) {
            answered = true;
            rig.sim.command(QStringLiteral("raw 55"));
        }
        if (rig.since() != waiting || acted.isValid())
            return;
        acted.start();
        watch.stop();
        if (unplug) {
            rig.sim.command(QStringLiteral("unplug"));
            return;
        }
        rig.link->press(Qt::Key_F2);
        rig.link->press(Qt::Key_F6);
        rig.link->shutdown();
    });
    watch.start(20);
    // Should a wait hang on, Escape ends it so that the test can report.
    QTimer::singleShot(8000, rig.link.get(), [&rig] { rig.link->press(Qt::Key_Escape); });
    if (key) {
        rig.link->press(key);
        QVERIFY2(acted.elapsed() < 1000, qPrintable(QString::number(acted.elapsed())));
    }
    QTRY_VERIFY(!rig.link->isOpen());
    QCOMPARE(rig.messages, QStringList());
    QVERIFY(rig.terminations.isEmpty());
    QCOMPARE(rig.settle(), sent);
    if (!unplug) {
        rig.link->press(Qt::Key_F12);
        rig.link->settingsUpdate();
        QCOMPARE(rig.settle(), sent);
        return;
    }
    // The chip lost its power with the adapter: its XOFF went with it.
    QVERIFY(!XoffActive);
    QCOMPARE(rig.panels.value(1), KeyerLink::kLostText);
    QEventLoop idle;
    QTimer::singleShot(1000, &idle, &QEventLoop::quit);
    QVERIFY2(wakeupsWhile([&idle] { idle.exec(); }) < 50, "a dead device is polled");
    for (const int k : {Qt::Key_F1, Qt::Key_F2, Qt::Key_F6}) {
        rig.link->press(k);
        QCOMPARE(rig.panels.value(1), KeyerLink::kLostText);
    }
    if (key)
        return;
    // F12 before the device is back: the operator is told and offered the
    // chooser; Cancel keeps the link down and the port stored.
    rig.link->press(Qt::Key_F12);
    QCOMPARE(rig.chooserShown, 1);
    QVERIFY2(rig.messages.size() == 1 && rig.messages.first().contains(rig.sim.linkPath()),
             qPrintable(rig.messages.join(QLatin1Char('|'))));
    QVERIFY(rig.terminations.isEmpty());
    QCOMPARE(rig.panels.value(1), KeyerLink::kNoPortText);
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")), rig.sim.linkPath());
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
    const qsizetype abortAt = rig.since().indexOf('\x0a');
    QVERIFY2(abortAt > 0 && abortAt < 200, qPrintable(QString::number(abortAt)));
}

// Message 1 half fills the chip's buffer; the messages pressed behind it
// would overflow it, were they not paced by its XOFF as message 1 is.
void LinkFaultsTest::keysBehindMessageOneWaitForRoom()
{
    LinkRig rig({QStringLiteral("--char-ms"), QStringLiteral("30")});
    QVERIFY(rig.up());
    QString all = Settings.Message1 = QStringLiteral("CQ CQ CQ DE ZAVO ZAVO ZAVO ").repeated(3) + QStringLiteral("TEST K");
    for (int n = 2; n <= 5; ++n)
        all += Settings.message(n) = QStringLiteral("MESSAGE %1 ").arg(n).repeated(4).left(32);
    QTimer::singleShot(100, rig.link.get(), [&rig] {
        for (const int key : {Qt::Key_F2, Qt::Key_F3, Qt::Key_F4, Qt::Key_F5})
            rig.link->press(key);
    });
    rig.link->press(Qt::Key_F1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.keyed().size(), all.size(), 15000);
    QCOMPARE(rig.sim.keyed(), all);
    QCOMPARE(rig.sim.events(QStringLiteral("drop")), QStringList());
}

QTEST_GUILESS_MAIN(LinkFaultsTest)
#include "tst_linkfaults.moc"
