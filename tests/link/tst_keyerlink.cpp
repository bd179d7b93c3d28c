// The keyer link without a window: the bytes each key sends, the order of
// what the operator does while message 1 is going out, Escape, flow
// control, what the chip sends back, shutdown, and a soak of mixed keys.
#include "keyer/protocol.h"
#include "linkrig.h"

#include <QFile>
#include <QSignalSpy>

#include <random>
#include <unistd.h>

using namespace Zavo;

namespace {

const QString kMessage1 = QStringLiteral("THE QUICK BROWN FOX JUMPS 1234");
constexpr int kSettingsUpdate = -1;
constexpr int kEditMessage1 = -2;

// Reproducible noise: every byte value, no pattern the link could lean on.
QByteArray noise(int size, quint32 seed)
{
    QByteArray bytes(size, '\0');
    for (char &c : bytes) {
        seed = seed * 1664525u + 1013904223u;
        c = char(seed >> 24);
    }
    return bytes;
}

qint64 residentBytes()
{
    QFile statm(QStringLiteral("/proc/self/statm"));
    const QList<QByteArray> fields = statm.open(QIODevice::ReadOnly) ? statm.readAll().split(' ') : QList<QByteArray>();
    return fields.size() < 2 ? -1 : fields.at(1).toLongLong() * ::sysconf(_SC_PAGESIZE);
}

} // namespace

class KeyerLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void keysSendTheirBytes_data();
    void keysSendTheirBytes();
    void escapePausesThenClearsPanel1();
    void actionsDuringMessageOneWaitTheirTurn_data();
    void actionsDuringMessageOneWaitTheirTurn();
    void escapeDropsWhatWaits();
    void shutdownKeysUpAndRunsNothingMore();
    void shutdownEndsWaitsPromptly_data();
    void shutdownEndsWaitsPromptly();
    void messageOneIsPacedByFlowControl();
    void escapeEndsMessageOneWaitingOnXoff();
    void xoffWaitSleepsInTheEventLoop();
    void receivedBytes_data();
    void receivedBytes();
    void speedReportsCountFromTheMinimumTheChipWasGiven();
    void tenThousandMixedKeys();
};

void KeyerLinkTest::keysSendTheirBytes_data()
{
    QTest::addColumn<QList<int>>("keys");
    QTest::addColumn<bool>("messages"); // false: all five empty
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("panel1");
    QTest::addColumn<bool>("tuneOn");

    const QByteArray on = QByteArray::fromHex("0b01");
    const QByteArray off = QByteArray::fromHex("0b00");
    QTest::newRow("F1") << QList<int>{Qt::Key_F1} << true << QByteArray("AB") << "AB" << false;
    QTest::newRow("F2 to F5") << QList<int>{Qt::Key_F2, Qt::Key_F3, Qt::Key_F4, Qt::Key_F5} << true
                              << QByteArray("M2 <=>M3 <=>M4 <=>M5 <=>") << "M5 <=>" << false;
    QTest::newRow("tune twice") << QList<int>{Qt::Key_F6, Qt::Key_F6} << true << on + off << "" << false;
    QTest::newRow("tune holds back F2 to F5, not F1")
        << QList<int>{Qt::Key_F6, Qt::Key_F2, Qt::Key_F3, Qt::Key_F4, Qt::Key_F5, Qt::Key_F1} << true
        << on + "AB" << "AB" << true;
    QTest::newRow("Escape ends tune") << QList<int>{Qt::Key_F6, Qt::Key_Escape, Qt::Key_F6} << true
                                      << on + '\x0a' + on << "Tune" << true;
    QTest::newRow("F12 keeps tune") << QList<int>{Qt::Key_F6, Qt::Key_F12, Qt::Key_F6} << true
                                    << on + seedStartupBytes() + off << "" << false;
    QTest::newRow("empty messages") << QList<int>{Qt::Key_F1, Qt::Key_F2, Qt::Key_F3, Qt::Key_F4, Qt::Key_F5}
                                    << false << QByteArray() << "" << false;
    QTest::newRow("keys not the link's") << QList<int>{Qt::Key_F7, Qt::Key_F11, Qt::Key_A, Qt::Key_Return}
                                         << true << QByteArray() << "before" << false;
}

void KeyerLinkTest::keysSendTheirBytes()
{
    QFETCH(QList<int>, keys);
    QFETCH(bool, messages);
    QFETCH(QByteArray, bytes);
    QFETCH(QString, panel1);
    QFETCH(bool, tuneOn);

    LinkRig rig;
    QVERIFY(rig.up());
    for (int n = 1; n <= 5; ++n)
        Settings.message(n) = !messages ? QString() : n == 1 ? QStringLiteral("AB") : QStringLiteral("M%1 <=>").arg(n);
    rig.panels[1] = QStringLiteral("before");
    rig.writes.clear();
    for (const int key : keys)
        rig.link->press(key);
    QCOMPARE(rig.panels.value(1), panel1); // before the chip's status bytes
    QCOMPARE(rig.settle(300), bytes);
    QCOMPARE(TuneOn, tuneOn);
    // A message of F2 to F5 goes in one write.
    if (keys.size() == 4 && keys.first() == Qt::Key_F2)
        QCOMPARE(rig.writes, (QList<QByteArray>{"M2 <=>", "M3 <=>", "M4 <=>", "M5 <=>"}));
}

void KeyerLinkTest::escapePausesThenClearsPanel1()
{
    LinkRig rig;
    QVERIFY(rig.up());
    QSignalSpy started(rig.link.get(), &KeyerLink::pauseStarted);
    QSignalSpy ended(rig.link.get(), &KeyerLink::pauseEnded);
    rig.panelLog.clear();
    QElapsedTimer timer;
    timer.start();
    rig.link->press(Qt::Key_Escape);
    QVERIFY(timer.elapsed() >= 1190);
    QCOMPARE(started.size(), 1);
    QCOMPARE(ended.size(), 1);
    QCOMPARE(rig.settle(), QByteArray("\x0a"));
    // "Aborted!" first, then the empty text (the chip's C0 may follow).
    QVERIFY(rig.panelLog.size() >= 2);
    QCOMPARE(rig.panelLog.at(0), std::pair(1, QStringLiteral("Aborted!")));
    QCOMPARE(rig.panelLog.at(1), std::pair(1, QString()));
}

void KeyerLinkTest::actionsDuringMessageOneWaitTheirTurn_data()
{
    QTest::addColumn<QList<int>>("during");
    QTest::addColumn<QByteArray>("after");
    const QByteArray message2 = QByteArrayLiteral("5NN TU");
    QTest::newRow("F2") << QList<int>{Qt::Key_F2} << message2;
    QTest::newRow("F6") << QList<int>{Qt::Key_F6} << QByteArray::fromHex("0b01");
    QTest::newRow("F12") << QList<int>{Qt::Key_F12} << seedStartupBytes();
    QTest::newRow("settings Update") << QList<int>{kSettingsUpdate} << seedStartupBytes();
    QTest::newRow("F1 again") << QList<int>{Qt::Key_F1} << kMessage1.toLatin1();
    QTest::newRow("F2, F6, F2: in order, F2 then held back by tune")
        << QList<int>{Qt::Key_F2, Qt::Key_F6, Qt::Key_F2} << message2 + QByteArray::fromHex("0b01");
    // The text going out is the one F1 was pressed for; the edit counts
    // from the next F1.
    QTest::newRow("message 1 edited, then F1")
        << QList<int>{kEditMessage1, Qt::Key_F1} << QByteArrayLiteral("EDITED");
}

void KeyerLinkTest::actionsDuringMessageOneWaitTheirTurn()
{
    QFETCH(QList<int>, during);
    QFETCH(QByteArray, after);
    LinkRig rig;
    QVERIFY(rig.up());
    Settings.Message1 = kMessage1;
    // Pressed 50 ms into message 1, well before its last character.
    QTimer::singleShot(50, rig.link.get(), [&] {
        QVERIFY(rig.link->isBusy());
        for (const int action : during) {
            if (action == kSettingsUpdate)
                rig.link->settingsUpdate();
            else if (action == kEditMessage1)
                Settings.Message1 = QStringLiteral("EDITED");
            else
                rig.link->press(action);
        }
        QCOMPARE(rig.since().size() < kMessage1.size(), true);
    });
    rig.link->press(Qt::Key_F1);
    QCOMPARE(rig.settle(400), kMessage1.toLatin1() + after);
}

void KeyerLinkTest::escapeDropsWhatWaits()
{
    LinkRig rig;
    QVERIFY(rig.up());
    Settings.Message1 = kMessage1;
    QSignalSpy pauses(rig.link.get(), &KeyerLink::pauseEnded);
    QTimer::singleShot(50, rig.link.get(), [&] {
        rig.link->press(Qt::Key_F2);
        rig.link->press(Qt::Key_F12);
        rig.link->press(Qt::Key_Escape);
    });
    rig.link->press(Qt::Key_F1);
    QCOMPARE(pauses.size(), 1);
    const QByteArray sent = rig.settle();
    // Part of message 1, the abort, and nothing after it.
    QVERIFY2(sent.endsWith('\x0a'), sent.toHex(' ').constData());
    QVERIFY(kMessage1.toLatin1().startsWith(sent.chopped(1)));
    QVERIFY(sent.size() < kMessage1.size());
    // The link is idle again: the next key acts at once.
    rig.mark();
    rig.link->press(Qt::Key_F3);
    QCOMPARE(rig.settle(), Settings.Message3.toLatin1());
}

void KeyerLinkTest::shutdownKeysUpAndRunsNothingMore()
{
    LinkRig rig;
    QVERIFY(rig.up());
    Settings.Message1 = kMessage1;
    rig.link->press(Qt::Key_F6);
    // Queued behind message 1 when the program ends: none of it may run.
    QTimer::singleShot(50, rig.link.get(), [&] {
        rig.link->press(Qt::Key_F12);
        rig.link->press(Qt::Key_F2);
        rig.link->shutdown();
    });
    rig.link->press(Qt::Key_F1);
    const QByteArray sent = rig.settle();
    QVERIFY2(sent.startsWith(QByteArray::fromHex("0b01")), sent.toHex(' ').constData());
    // The transmitter is keyed up before the port closes, and the port
    // stays closed.
    QVERIFY2(sent.endsWith(QByteArray::fromHex("0b00")), sent.toHex(' ').constData());
    QVERIFY(!rig.link->isOpen());
    rig.link->press(Qt::Key_F12);
    rig.link->settingsUpdate();
    QCOMPARE(rig.settle(), sent);
    QVERIFY(!rig.link->isOpen());
}

void KeyerLinkTest::shutdownEndsWaitsPromptly_data()
{
    QTest::addColumn<int>("key");
    QTest::addColumn<int>("shutdownAt");
    QTest::addColumn<QByteArray>("sent");
    // F1 waits for the chip's XOFF to clear before its first character.
    QTest::newRow("F1 waiting on XOFF") << int(Qt::Key_F1) << 200 << QByteArray();
    // F12 sleeps 650 ms before the echo goes; the shutdown comes in its 2 s wait.
    QTest::newRow("F12 waiting for the echo") << int(Qt::Key_F12) << 900 << QByteArray::fromHex("0000ff000455");
}

void KeyerLinkTest::shutdownEndsWaitsPromptly()
{
    QFETCH(int, key);
    QFETCH(int, shutdownAt);
    QFETCH(QByteArray, sent);
    LinkRig rig;
    QVERIFY(rig.up());
    Settings.Message1 = QStringLiteral("AB");
    if (key == Qt::Key_F1) {
        rig.sim.command(QStringLiteral("raw C5"));
        QTRY_VERIFY(XoffActive);
    } else {
        QVERIFY(rig.simulator(QStringLiteral("silent on")));
    }
    QTimer::singleShot(shutdownAt, rig.link.get(), [&rig] { rig.link->shutdown(); });
    QElapsedTimer timer;
    timer.start();
    rig.link->press(key);
    QVERIFY2(timer.elapsed() < shutdownAt + 600, qPrintable(QString::number(timer.elapsed())));
    QVERIFY(rig.terminations.isEmpty());
    QVERIFY(rig.messages.isEmpty());
    QCOMPARE(rig.settle(), sent);
}

void KeyerLinkTest::messageOneIsPacedByFlowControl()
{
    // A small buffer keyed slowly: the message is longer than the chip takes.
    LinkRig rig({QStringLiteral("--buffer"), QStringLiteral("12"), QStringLiteral("--char-ms"), QStringLiteral("25")});
    QVERIFY(rig.up());
    Settings.Message1 = QStringLiteral("CQ CQ CQ DE ZAVO ZAVO ZAVO TEST TEST K");
    const double start = monotonicMs();
    rig.link->press(Qt::Key_F1);
    QCOMPARE(rig.panels.value(1), Settings.Message1);
    QCOMPARE(rig.settle(), Settings.Message1.toLatin1());
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.keyed(), Settings.Message1, 5000);
    QVERIFY(rig.panelLog.contains(std::pair(1, QStringLiteral("WinKey Status - XOFF"))));

    // After the chip says XOFF, at most the character already on its way
    // arrives before it says the buffer has room again; nothing is dropped.
    int xoffs = 0;
    int arrivedWhileHeld = -1; // -1: not held
    for (const LogEntry &entry : rig.sim.log()) {
        if (entry.t < start)
            continue;
        QVERIFY2(!entry.text.contains(QLatin1String("drop")), qPrintable(entry.text));
        if (entry.kind == QLatin1String("out") && entry.bytes.contains('\xc5')) {
            ++xoffs;
            arrivedWhileHeld = 0;
        } else if (entry.kind == QLatin1String("out") && (entry.bytes.contains('\xc4') || entry.bytes.contains('\xc0'))) {
            arrivedWhileHeld = -1;
        } else if (entry.kind == QLatin1String("in") && arrivedWhileHeld >= 0) {
            arrivedWhileHeld += int(entry.bytes.size());
            QVERIFY2(arrivedWhileHeld <= 1, "text kept coming after XOFF");
        }
    }
    QVERIFY(xoffs >= 1);
}

void KeyerLinkTest::escapeEndsMessageOneWaitingOnXoff()
{
    LinkRig rig({QStringLiteral("--buffer"), QStringLiteral("12"), QStringLiteral("--char-ms"), QStringLiteral("200")});
    QVERIFY(rig.up());
    Settings.Message1 = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    // Escape comes while F1 waits for the chip's buffer to drain.
    QTimer::singleShot(600, rig.link.get(), [&rig] {
        QVERIFY(XoffActive);
        rig.link->press(Qt::Key_Escape);
    });
    rig.link->press(Qt::Key_F1);
    const QByteArray sent = rig.settle(400);
    const qsizetype abortAt = sent.indexOf('\x0a');
    QVERIFY(abortAt > 0 && abortAt < Settings.Message1.size());
    // Nothing of the message after the abort.
    QCOMPARE(sent.mid(abortAt), QByteArray("\x0a"));
    QVERIFY(Settings.Message1.toLatin1().startsWith(sent.left(abortAt)));
    QVERIFY(rig.panels.value(1) != Settings.Message1);
}

void KeyerLinkTest::xoffWaitSleepsInTheEventLoop()
{
    LinkRig rig;
    QVERIFY(rig.up());
    Settings.Message1 = QStringLiteral("AB");
    rig.sim.command(QStringLiteral("raw C5"));
    QTRY_VERIFY(XoffActive);
    bool handledMeanwhile = false;
    QTimer::singleShot(300, rig.link.get(), [&] { handledMeanwhile = true; });
    QTimer::singleShot(1000, rig.link.get(), [&rig] { rig.sim.command(QStringLiteral("raw C4")); });
    WakeupCounter wakeups;
    rig.link->press(Qt::Key_F1);
    QVERIFY(handledMeanwhile);
    // A loop polling for the flag would wake up hundreds of thousands of times.
    QVERIFY2(wakeups.count() < 200, qPrintable(QString::number(wakeups.count())));
    QCOMPARE(rig.settle(), QByteArray("AB"));
}

void KeyerLinkTest::receivedBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::newRow("speed reports") << QByteArray::fromHex("80 8f 9e bf 81 00 7f 8f");
    QTest::newRow("status") << QByteArray::fromHex("c5 c6 c1 c4 c5 ff c0 c5 c2");
    QTest::newRow("garbage") << noise(300, 7);
    QTest::newRow("a burst of 6000") << noise(6000, 11);
}

// Every byte the chip sends is taken once, in order: the panels and the
// XOFF flag end as a model of the receive path worked out here says, the
// event loop keeps running, and nothing is answered.
void KeyerLinkTest::receivedBytes()
{
    QFETCH(QByteArray, bytes);
    LinkRig rig;
    QVERIFY(rig.up());
    QTRY_COMPARE(rig.panels.value(3), QStringLiteral("25 WPM")); // the knob's answer to the start-up
    int speedReports = 0;
    QString panel1 = rig.panels.value(1);
    QString panel3 = rig.panels.value(3);
    bool xoff = XoffActive;
    for (const char c : bytes) {
        const auto b = static_cast<quint8>(c);
        if (b <= 0xBF) {
            ++speedReports;
            panel3 = QStringLiteral("%1 WPM").arg(int(b) - 128 + Settings.MinSpeed);
        } else if (b == 0xC5) {
            xoff = true;
        } else if (b == 0xC4 || b == 0xC0) {
            xoff = false;
            panel1 = b == 0xC4 ? QStringLiteral("WinKey Buffer 2/3 Full") : QStringLiteral(" ");
        }
    }
    rig.panelLog.clear();
    const auto speedChanges = [&rig] {
        return std::count_if(rig.panelLog.cbegin(), rig.panelLog.cend(), [](const auto &p) { return p.first == 3; });
    };
    EventLoopPulse pulse;
    for (qsizetype at = 0; at < bytes.size(); at += 1000)
        rig.sim.command(QStringLiteral("raw ") + QString::fromLatin1(bytes.mid(at, 1000).toHex(' ')));
    QTRY_COMPARE_WITH_TIMEOUT(speedChanges(), speedReports, 30000);
    QTest::qWait(300); // anything that would still come
    QCOMPARE(speedChanges(), speedReports);
    QCOMPARE(rig.panels.value(3), panel3);
    QCOMPARE(rig.panels.value(1), panel1);
    QCOMPARE(XoffActive, xoff);
    QCOMPARE(rig.since().toHex(' '), QByteArray());
    // Generous: a freeze is seconds; a busy machine is a few hundred ms.
    QVERIFY2(pulse.longestGap() < 3000, qPrintable(QString::number(pulse.longestGap())));
}

void KeyerLinkTest::speedReportsCountFromTheMinimumTheChipWasGiven()
{
    LinkRig rig;
    // A minimum speed the chip cannot take: it gets the usual 10 instead.
    QVERIFY(rig.up([](SettingsStore &store) {
        store.SaveSetting(QStringLiteral("Speed Settings"), QStringLiteral("MinSpeed"), QStringLiteral("300"));
    }));
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY(rig.messages.first().contains(QLatin1String("MinSpeed")));
    rig.sim.command(QStringLiteral("raw 85"));
    QTRY_COMPARE(rig.panels.value(3), QStringLiteral("15 WPM"));
}

// 10,000 presses against the simulator in --fast mode: messages 2 to 5
// with random texts, some message 1, tune on and off, a few aborts. Every
// byte arrives once and in order, and the resident memory stays flat (a
// leak of 8 bytes a message would be 80 kB).
void KeyerLinkTest::tenThousandMixedKeys()
{
    constexpr int kWarmUp = 1000;
    constexpr int kPresses = 10000;
    constexpr int kLongest = 8;
    LinkRig rig({QStringLiteral("--fast")});
    QVERIFY(rig.up());
    rig.recording = false;
    std::mt19937 random(20261206);
    const auto pick = [&random](int low, int high) { return std::uniform_int_distribution<int>(low, high)(random); };
    const QString alphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 /?=.,");
    const auto text = [&](int longest) {
        QString t;
        for (int i = pick(1, longest); i > 0; --i)
            t += alphabet.at(pick(0, int(alphabet.size()) - 1));
        return t;
    };
    // Taken and touched up front, so that the record does not grow the process.
    QByteArray expected((kWarmUp + kPresses) * kLongest, '\0');
    qsizetype length = 0;
    qint64 before = 0;
    for (int i = 0; i < kWarmUp + kPresses; ++i) {
        if (i == kWarmUp) {
            QTest::qWait(500);
            before = residentBytes();
        }
        QByteArray bytes;
        const int dice = pick(0, 99);
        if (i % 3001 == 3000) { // Escape pauses 1.2 s: a few only
            rig.link->press(Qt::Key_Escape);
            bytes = "\x0a";
        } else if (dice < 2) {
            Settings.Message1 = text(4);
            rig.link->press(Qt::Key_F1);
            bytes = Settings.Message1.toLatin1();
        } else if (dice < 6) {
            rig.link->press(Qt::Key_F6);
            rig.link->press(Qt::Key_F6);
            bytes = QByteArray::fromHex("0b01 0b00");
        } else {
            const int n = pick(2, 5);
            Settings.message(n) = text(kLongest);
            rig.link->press(Qt::Key_F1 + n - 1);
            bytes = Settings.message(n).toLatin1();
        }
        std::copy(bytes.cbegin(), bytes.cend(), expected.begin() + length);
        length += bytes.size();
        QCoreApplication::processEvents(); // the chip's statuses, as in a real session
    }
    QTest::qWait(500);
    const qint64 after = residentBytes();
    QVERIFY(before > 0);
#ifndef __SANITIZE_ADDRESS__ // its quarantine holds freed memory; LeakSanitizer checks that build
    QVERIFY2(after - before <= 64 * 1024, qPrintable(QString::number(after - before)));
#endif
    expected.truncate(length);
    QTRY_VERIFY_WITH_TIMEOUT(rig.since().size() >= expected.size(), 30000);
    const QByteArray received = rig.settle(300);
    qsizetype same = 0;
    while (same < std::min(received.size(), expected.size()) && received.at(same) == expected.at(same))
        ++same;
    QVERIFY2(received == expected, qPrintable(QStringLiteral("%1 bytes received, %2 expected, first difference at %3")
                                                  .arg(received.size()).arg(expected.size()).arg(same)));
    QVERIFY(rig.messages.isEmpty());
}

QTEST_GUILESS_MAIN(KeyerLinkTest)
#include "tst_keyerlink.moc"
