// The keyer link's start-up and re-initialisation, and its faults: a chip
// that does not answer or answers wrongly, status bytes around the replies,
// ports that cannot be opened, the adapter pulled out (its return is
// tst_reconnect's), very long messages.
#include "keyer/protocol.h"
#include "linkrig.h"

#include <QSignalSpy>

using namespace Zavo;

namespace {

const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");
const QByteArray kEchoOnly = QByteArray::fromHex("0000ff000455");

bool saysLinkLost(const QString &panel)
{
    return panel.startsWith(QLatin1String("Link lost")) && panel.contains(QLatin1String("F12"));
}

} // namespace

class LinkFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void startupSendsTheWholeSequenceInOrderAndTime();
    void statusBytesAroundTheStartUpReplies_data();
    void statusBytesAroundTheStartUpReplies();
    void staleBytesFromBeforeReopeningAreDiscarded();
    void settingsUpdateClosesWaitsAndRepeats();
    void noAnswer_data();
    void noAnswer();
    void portThatCannotBeOpened_data();
    void portThatCannotBeOpened();
    void aPortHeldElsewhereIsInUseNotForbidden();
    void unplug_data();
    void unplug();
    void f12WhileTheDeviceIsStillMissing();
    void longMessagesDoNotFreeze();
};

void LinkFaultsTest::startupSendsTheWholeSequenceInOrderAndTime()
{
    LinkRig rig({QStringLiteral("--revision"), QStringLiteral("30"), QStringLiteral("--pot"), QStringLiteral("20")});
    QVERIFY(rig.up());
    QCOMPARE(rig.sim.received(), seedStartupBytes());
    QCOMPARE(rig.panels.value(1), QStringLiteral("Winkey Online - Firmware Rev.30"));
    QCOMPARE(rig.panels.value(2), QStringLiteral("winkey"));
    // The pot reading is answered after start-up and shown as speed.
    QTRY_COMPARE(rig.panels.value(3), QStringLiteral("30 WPM"));
    // The block goes out in one write.
    QVERIFY(rig.writes.contains(seedStartupBytes().mid(8, 16)));

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
    QVERIFY(rig.messages.isEmpty());
    QVERIFY(rig.terminations.isEmpty());
}

void LinkFaultsTest::statusBytesAroundTheStartUpReplies_data()
{
    QTest::addColumn<QString>("prefix"); // sent before each reply
    QTest::addColumn<bool>("xoff");

    QTest::newRow("XOFF") << "C5" << true;
    QTest::newRow("XOFF then XON") << "C5,C4" << false;
    QTest::newRow("XON then XOFF") << "C4,C5" << true;
    QTest::newRow("speed, XOFF, speed") << "9E,C5,81" << true;
    QTest::newRow("other status") << "C1,C6,CC" << false;
}

// They are classified, never taken for the replies.
void LinkFaultsTest::statusBytesAroundTheStartUpReplies()
{
    QFETCH(QString, prefix);
    QFETCH(bool, xoff);
    LinkRig rig({QStringLiteral("--reply-prefix"), prefix});
    QVERIFY(rig.up());
    QCOMPARE(rig.panels.value(1), kOnline);
    QTest::qWait(200);
    QCOMPARE(rig.sim.received().toHex(' '), seedStartupBytes().toHex(' '));
    QCOMPARE(XoffActive, xoff);
    QTRY_COMPARE(rig.panels.value(3), QStringLiteral("25 WPM"));
}

void LinkFaultsTest::staleBytesFromBeforeReopeningAreDiscarded()
{
    LinkRig rig;
    QVERIFY(rig.up());
    QTRY_COMPARE(rig.panels.value(3), QStringLiteral("25 WPM"));
    rig.link->port().close();
    // Two bytes reach the line just after the port reopens, before the echo
    // test: taken for the echo, the real echo would make the revision read 85.
    QObject::connect(&rig.link->port(), &SerialFacility::opened, [&rig] {
        QTest::qSleep(100); // let the simulator notice the port is open
        rig.sim.command(QStringLiteral("raw 55 42"));
    });
    QVERIFY(rig.link->initialise());
    QCOMPARE(rig.panels.value(1), kOnline);
    QVERIFY(rig.sim.sent().contains("\x55\x42"));
}

void LinkFaultsTest::settingsUpdateClosesWaitsAndRepeats()
{
    LinkRig rig;
    QVERIFY(rig.up());
    const double before = monotonicMs();
    rig.link->settingsUpdate();
    QVERIFY(!Reinit);
    QCOMPARE(rig.settle(), seedStartupBytes());
    // Closed, 250 ms, reopened; then the 600 ms before the first byte.
    QCOMPARE(rig.openedAt.size(), 2);
    QVERIFY(rig.openedAt.at(1) - before >= 249.0);
}

void LinkFaultsTest::noAnswer_data()
{
    QTest::addColumn<bool>("atStartUp"); // or on F12
    QTest::addColumn<QString>("answer"); // empty: nothing
    QTest::addColumn<bool>("nearMidnight");

    QTest::newRow("silent at start-up") << true << "" << false;
    QTest::newRow("silent across midnight") << true << "" << true;
    // The device answers the echo test, but not with 55: it is not the chip
    // (or not at 1200 baud), and gets nothing more.
    QTest::newRow("wrong echo at start-up") << true << "41 AA 54" << false;
    QTest::newRow("wrong echo on F12") << false << "41 AA 54" << false;
}

void LinkFaultsTest::noAnswer()
{
    QFETCH(bool, atStartUp);
    QFETCH(QString, answer);
    QFETCH(bool, nearMidnight);

    LinkRig rig;
    // The clock reads two seconds before midnight when the wait starts.
    QElapsedTimer elapsed;
    if (nearMidnight) {
        rig.clock = [&elapsed] {
            const double t = 86398.0 + elapsed.elapsed() / 1000.0;
            return t >= 86400.0 ? t - 86400.0 : t;
        };
    }
    if (atStartUp)
        QVERIFY(rig.start() && rig.simulator(QStringLiteral("silent on")));
    else
        QVERIFY(rig.up() && rig.simulator(QStringLiteral("silent on")));
    rig.mark();
    // Fires once the echo wait runs the event loop.
    if (!answer.isEmpty())
        QTimer::singleShot(100, [&rig, answer] { rig.sim.command(QStringLiteral("raw ") + answer); });
    elapsed.start();
    if (atStartUp)
        QVERIFY(!rig.init());
    else
        rig.link->press(Qt::Key_F12);
    // Deadline 1 or 2 s after midnight: the wait lasts well past it.
    QVERIFY(elapsed.elapsed() >= (nearMidnight ? 2650 : 1500));
    QCOMPARE(rig.messages, QStringList{QStringLiteral("No Response from Winkey on Com") + rig.sim.linkPath()
                                       + QStringLiteral("\r\nCheck Port, Cable or Winkey")});
    QCOMPARE(rig.terminations, atStartUp ? QList<int>{EXIT_FAILURE} : QList<int>{});
    // Nothing after the echo test: no host open, no parameters.
    QCOMPARE(rig.settle().toHex(' '), kEchoOnly.toHex(' '));
    if (atStartUp)
        return;
    // Mid-session the link stays down: keys send nothing, panel 1 keeps
    // saying why, nothing polls; F12 tries again.
    QVERIFY(!rig.link->isOpen());
    const QString down = rig.panels.value(1);
    QVERIFY2(down.contains(QLatin1String("F12")), qPrintable(down));
    rig.link->press(Qt::Key_F2);
    QCOMPARE(rig.panels.value(1), down);
    QVERIFY2(idleWakeups() < 50, "busy while the link is down");
    QVERIFY(rig.simulator(QStringLiteral("silent off")));
    rig.mark();
    rig.link->press(Qt::Key_F12);
    QCOMPARE(rig.panels.value(1), kOnline);
    QCOMPARE(rig.settle(300), seedStartupBytes());
}

void LinkFaultsTest::portThatCannotBeOpened_data()
{
    QTest::addColumn<QString>("port"); // %1: the test's folder
    QTest::addColumn<bool>("chosen");  // or the chooser is cancelled

    QTest::newRow("no such device") << "%1/no-such-port" << true;
    QTest::newRow("blanks") << "   " << true;
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
    port = port.arg(rig.dir.path());
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

void LinkFaultsTest::aPortHeldElsewhereIsInUseNotForbidden()
{
    LinkRig rig;
    QVERIFY(rig.up());
    // A second Zavo Keyer on the same port: joining the dialout group would
    // not help, so the operator must not be told to.
    SerialFacility second;
    second.setPortName(rig.sim.linkPath());
    QVERIFY(!second.open());
    QVERIFY(second.inUse());
    QVERIFY(!second.permissionDenied());
}

void LinkFaultsTest::unplug_data()
{
    QTest::addColumn<int>("key"); // pressed before the unplug, 0: none
    QTest::addColumn<QString>("before"); // what the chip is told first
    QTest::addColumn<QByteArray>("sent"); // after the last mark
    QTest::newRow("idle") << 0 << "" << QByteArray();
    QTest::newRow("message 1 waiting on XOFF") << int(Qt::Key_F1) << "raw C5" << QByteArray();
    QTest::newRow("F12 waiting for the echo") << int(Qt::Key_F12) << "silent on" << kEchoOnly;
    QTest::newRow("F12 waiting for the revision") << int(Qt::Key_F12) << "silent on" << kEchoOnly + QByteArray::fromHex("0002");
}

// Whatever waits ends on the lost port, not on a deadline, and says so in
// panel 1; nothing polls the dead device and keys send nothing.
void LinkFaultsTest::unplug()
{
    QFETCH(int, key);
    QFETCH(QString, before);
    QFETCH(QByteArray, sent);
    LinkRig rig;
    QVERIFY(rig.up());
    Settings.Message1 = QStringLiteral("CQ TEST");
    if (before == QLatin1String("raw C5")) {
        rig.sim.command(before);
        QTRY_VERIFY(XoffActive);
    } else if (!before.isEmpty()) {
        QVERIFY(rig.simulator(before));
    }
    rig.mark();
    // Pulled once the wait has begun (for the revision: once the echo was
    // answered by hand and host open arrived), well inside its 2 s.
    bool answered = sent.size() <= kEchoOnly.size();
    QTimer watch;
    QObject::connect(&watch, &QTimer::timeout, [&] {
        if (!answered && rig.since() == kEchoOnly) {
            answered = true;
            rig.sim.command(QStringLiteral("raw 55"));
        } else if (key != Qt::Key_F12 || rig.since() == sent) {
            watch.stop();
            rig.sim.command(QStringLiteral("unplug"));
        }
    });
    watch.start(key == Qt::Key_F12 ? 20 : 300);
    // Should a wait hang on, Escape ends it so that the test can report.
    bool rescued = false;
    QTimer::singleShot(8000, rig.link.get(), [&] { rescued = true; rig.link->press(Qt::Key_Escape); });
    if (key)
        rig.link->press(key);
    QTRY_VERIFY(!rig.link->isOpen());
    QVERIFY(!rescued);
    QCOMPARE(rig.messages, QStringList());
    QVERIFY(rig.terminations.isEmpty());
    QVERIFY2(saysLinkLost(rig.panels.value(1)), qPrintable(rig.panels.value(1)));
    // The chip lost its power with the adapter: its XOFF went with it.
    QVERIFY(!XoffActive);
    QCOMPARE(rig.since(), sent);
    QVERIFY2(idleWakeups() < 50, "a dead device is polled");
    for (const int k : {Qt::Key_F1, Qt::Key_F2, Qt::Key_F6}) {
        rig.link->press(k);
        QVERIFY2(saysLinkLost(rig.panels.value(1)), qPrintable(rig.panels.value(1)));
    }
    QVERIFY(!TuneOn);
}

// F12 too early: the device is not back. The operator is told and offered
// the chooser; Cancel keeps the link down, with the reason at hand.
void LinkFaultsTest::f12WhileTheDeviceIsStillMissing()
{
    LinkRig rig;
    QVERIFY(rig.up());
    QSignalSpy details(rig.link.get(), &KeyerLink::linkDetail);
    QVERIFY(rig.unplug());
    QTRY_VERIFY(!rig.link->isOpen());
    rig.link->press(Qt::Key_F12);
    QCOMPARE(rig.chooserShown, 1);
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY2(rig.messages.first().contains(rig.sim.linkPath()), qPrintable(rig.messages.first()));
    QVERIFY(rig.terminations.isEmpty());
    QVERIFY(!rig.link->isOpen());
    QVERIFY2(rig.panels.value(1).contains(QLatin1String("F12")), qPrintable(rig.panels.value(1)));
    QVERIFY(details.last().first().toString().contains(QLatin1String("not open")));
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")), rig.sim.linkPath());
}

// A message of 100 kB goes whole with the event loop running; message 1
// stops at the last position its 16-bit index can name.
void LinkFaultsTest::longMessagesDoNotFreeze()
{
    LinkRig rig({QStringLiteral("--fast")});
    // The pty has no wire to wait for; 32767 waits of 9 ms would take five minutes.
    rig.characterMs = 0;
    QVERIFY(rig.up());
    QString text;
    for (int i = 0; text.size() < 100 * 1024; ++i)
        text += QStringLiteral("%1 ").arg(i, 5, 10, QLatin1Char('0'));
    Settings.Message2 = text;
    Settings.Message1 = text;

    EventLoopPulse pulse;
    rig.link->press(Qt::Key_F2);
    QCOMPARE(rig.panels.value(1), text);
    QTRY_COMPARE_WITH_TIMEOUT(rig.since().size(), text.size(), 30000);
    QVERIFY2(pulse.longestGap() < 3000, qPrintable(QString::number(pulse.longestGap())));
    QCOMPARE(rig.since(), text.toLatin1());

    rig.mark();
    rig.link->press(Qt::Key_F1);
    QCOMPARE(CharIndex, qint16(32767));
    QCOMPARE(rig.panels.value(1), text);
    QTRY_COMPARE_WITH_TIMEOUT(rig.since().size(), qsizetype(32767), 30000);
    QCOMPARE(rig.settle(), text.left(32767).toLatin1());
}

QTEST_GUILESS_MAIN(LinkFaultsTest)
#include "tst_linkfaults.moc"
