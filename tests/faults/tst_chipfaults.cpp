// Faults of the chip: it goes silent after start-up, answers the echo with
// something else, sends garbage, bursts of thousands of bytes, and status
// and speed bytes in every order. The program stays responsive, classifies
// every byte once, and writes nothing it was not asked to write.
#include "faultsession.h"

#include <QElapsedTimer>
#include <QSignalSpy>

#include <algorithm>

using namespace Zavo;

namespace {

const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' '));
}

// Reproducible noise: every byte value, no pattern the program could lean on.
QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    for (char &c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    return bytes;
}

// What the receive path must end with after these bytes, worked out apart
// from the program: the last speed report shows, the last of C0/C4/C5 rules.
struct Expected {
    int speedReports = 0;
    QString panel3;
    bool xoff = false;
};

Expected expectedAfter(const QByteArray &bytes, Expected state, int minSpeed)
{
    for (const char c : bytes) {
        const auto b = static_cast<quint8>(c);
        if (b <= 0xBF) {
            ++state.speedReports;
            state.panel3 = QStringLiteral("%1 WPM").arg(int(b) - 128 + minSpeed);
        } else if (b == 0xC5) {
            state.xoff = true;
        } else if (b == 0xC4 || b == 0xC0) {
            state.xoff = false;
        }
    }
    return state;
}

// Counts the speed panel's changes: one per speed report, exactly.
int speedChanges(const QSignalSpy &spy)
{
    return int(std::count_if(spy.cbegin(), spy.cend(), [](const QList<QVariant> &args) { return args.at(0).toInt() == 3; }));
}

} // namespace

class ChipFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QCoreApplication::processEvents(); }

    void chipGoesSilentAfterStartUp();
    void wrongEchoIsNoAnswer_data();
    void wrongEchoIsNoAnswer();
    void garbageAndBursts_data();
    void garbageAndBursts();
    void statusAndSpeedInEveryOrder();
    void statusBytesAroundTheStartUpReplies_data();
    void statusBytesAroundTheStartUpReplies();
};

void ChipFaultsTest::chipGoesSilentAfterStartUp()
{
    FaultSession s;
    QVERIFY(s.up());
    QVERIFY(s.simulator(QStringLiteral("silent on")));

    // Sending needs no answer: everything goes, exactly as asked.
    Settings.Message2 = QStringLiteral("TEST");
    Settings.Message1 = QStringLiteral("AB");
    s.key(Qt::Key_F2);
    s.key(Qt::Key_F6);
    s.key(Qt::Key_F6);
    s.key(Qt::Key_F1);
    QCOMPARE(s.panel(1), QStringLiteral("AB"));
    QCOMPARE(hexText(s.settle()), hexText(QByteArray("TEST") + QByteArray::fromHex("0b01 0b00") + "AB"));

    // F12 finds no chip: the operator is told, and keeps the window.
    s.mark();
    s.key(Qt::Key_F12);
    QCOMPARE(s.rig.messages.size(), 1);
    QVERIFY(s.rig.messages.first().startsWith(QLatin1String("No Response from Winkey")));
    QVERIFY(s.rig.terminations.isEmpty());
    QVERIFY(s.rig.window->isVisible());
    QVERIFY(!s.rig.window->port().isOpen());
    QVERIFY2(s.panel(1).contains(QLatin1String("F12")), qPrintable(s.panel(1)));
    QCOMPARE(hexText(s.settle()), hexText(QByteArray::fromHex("0000ff000455")));

    WakeupCounter wakeups;
    idleFor(1000);
    QVERIFY2(wakeups.count() < 50, qPrintable(QString::number(wakeups.count())));
    const QString down = s.panel(1);
    s.key(Qt::Key_F2);
    QCOMPARE(s.panel(1), down);

    QVERIFY(s.simulator(QStringLiteral("silent off")));
    s.mark();
    s.key(Qt::Key_F12);
    QCOMPARE(s.panel(1), kOnline);
    QCOMPARE(hexText(s.settle(300)), hexText(seedStartupBytes()));
    s.mark();
    s.key(Qt::Key_F2);
    QCOMPARE(s.settle(), QByteArray("TEST"));
}

void ChipFaultsTest::wrongEchoIsNoAnswer_data()
{
    QTest::addColumn<bool>("atStartUp");
    QTest::newRow("at start-up") << true;
    QTest::newRow("on F12") << false;
}

void ChipFaultsTest::wrongEchoIsNoAnswer()
{
    QFETCH(bool, atStartUp);
    // The device on the port answers the echo test, but not with 55: it is
    // not the chip (or not at 1200 baud), and gets nothing more.
    FaultSession s;
    if (atStartUp) {
        QVERIFY(s.rig.start());
        QVERIFY(s.simulator(QStringLiteral("silent on")));
    } else {
        QVERIFY(s.up());
        QVERIFY(s.simulator(QStringLiteral("silent on")));
        s.mark();
    }
    // Fires once the echo wait runs the event loop.
    QTimer::singleShot(100, s.rig.window.get(), [&s] { s.rig.sim.command(QStringLiteral("raw 41 AA 54")); });
    if (atStartUp)
        QVERIFY(!s.rig.window->load());
    else
        s.key(Qt::Key_F12);

    QCOMPARE(s.rig.messages.size(), 1);
    QVERIFY(s.rig.messages.first().startsWith(QLatin1String("No Response from Winkey")));
    QCOMPARE(s.rig.terminations, atStartUp ? QList<int>{EXIT_FAILURE} : QList<int>{});
    QCOMPARE(hexText(s.settle()), hexText(QByteArray::fromHex("0000ff000455")));
}

void ChipFaultsTest::garbageAndBursts_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("garbage") << noise(300, 7);
    QTest::newRow("a burst of 6000") << noise(6000, 11);
    QTest::newRow("speed reports only") << QByteArray::fromHex("80 8f 9e bf 81 00 7f 8f");
    QTest::newRow("status only") << QByteArray::fromHex("c5 c6 c1 c4 c5 ff c0 c5 c2");
}

void ChipFaultsTest::garbageAndBursts()
{
    QFETCH(QByteArray, bytes);
    FaultSession s;
    QVERIFY(s.up());
    QTRY_COMPARE(s.panel(3), QStringLiteral("25 WPM")); // the knob's answer to the start-up
    const Expected start{0, s.panel(3), XoffActive};
    const Expected expected = expectedAfter(bytes, start, Settings.MinSpeed);
    QSignalSpy changes(s.rig.window.get(), &ZavoMain::panelTextChanged);

    // A timer that must keep ticking meanwhile.
    EventLoopPulse pulse;
    // Sent as the chip would: in pieces of whatever size.
    for (qsizetype at = 0; at < bytes.size(); at += 1000)
        s.rig.sim.command(QStringLiteral("raw ") + hexText(bytes.mid(at, 1000)));
    QTRY_COMPARE_WITH_TIMEOUT(speedChanges(changes), expected.speedReports, 30000);
    QTest::qWait(300); // anything that would still come
    pulse.stop();

    QCOMPARE(speedChanges(changes), expected.speedReports);
    QCOMPARE(s.panel(3), expected.panel3);
    QCOMPARE(XoffActive, expected.xoff);
    // Not one byte back: nothing the chip says is answered.
    QCOMPARE(hexText(s.since()), QString());
    qInfo("longest pause of the event loop: %lld ms", pulse.longestGap());
    QVERIFY2(pulse.longestGap() < 3000, qPrintable(QString::number(pulse.longestGap())));
    QVERIFY(s.rig.window->port().isOpen());
}

void ChipFaultsTest::statusAndSpeedInEveryOrder()
{
    FaultSession s;
    QVERIFY(s.up());
    QTRY_COMPARE(s.panel(3), QStringLiteral("25 WPM"));
    QSignalSpy changes(s.rig.window.get(), &ZavoMain::panelTextChanged);
    Expected state{0, s.panel(3), XoffActive};

    QByteArray order = QByteArray::fromHex("80 85 c0 c4 c5");
    int orders = 0;
    do {
        state = expectedAfter(order, state, Settings.MinSpeed);
        s.rig.sim.command(QStringLiteral("raw ") + hexText(order));
        QTRY_COMPARE(speedChanges(changes), state.speedReports);
        QCOMPARE(s.panel(3), state.panel3);
        QCOMPARE(XoffActive, state.xoff);
        ++orders;
    } while (std::next_permutation(order.begin(), order.end()));
    QCOMPARE(orders, 120);
    QCOMPARE(hexText(s.since()), QString());
}

void ChipFaultsTest::statusBytesAroundTheStartUpReplies_data()
{
    QTest::addColumn<QString>("prefix");
    QTest::addColumn<bool>("xoff");

    QTest::newRow("XOFF") << "C5" << true;
    QTest::newRow("XOFF then XON") << "C5,C4" << false;
    QTest::newRow("XON then XOFF") << "C4,C5" << true;
    QTest::newRow("idle") << "C0" << false;
    QTest::newRow("speed, XOFF, speed") << "9E,C5,81" << true;
    QTest::newRow("other status") << "C1,C6,CC" << false;
}

void ChipFaultsTest::statusBytesAroundTheStartUpReplies()
{
    QFETCH(QString, prefix);
    QFETCH(bool, xoff);
    FaultSession s({QStringLiteral("--reply-prefix"), prefix});
    QVERIFY(s.rig.start());
    QVERIFY(s.rig.window->load());
    QCOMPARE(s.panel(1), kOnline);
    QVERIFY(s.rig.waitReceived(seedStartupBytes().size()));
    QTest::qWait(200);
    QCOMPARE(hexText(s.rig.sim.received()), hexText(seedStartupBytes()));
    QCOMPARE(XoffActive, xoff);
    QTRY_COMPARE(s.panel(3), QStringLiteral("25 WPM"));
}

QTEST_MAIN(ChipFaultsTest)
#include "tst_chipfaults.moc"
