// The keyer link without a window: the bytes each key sends, what waits
// behind message 1, flow control, what the chip sends back, load.
#include "keyer/protocol.h"
#include "linkrig.h"

#include <QSignalSpy>

using namespace Zavo;

namespace {


struct Presses {
    QList<int> keys;
    bool messages; // false: all five empty
    QByteArray bytes;
    QString panel1;
    bool tuneOn;
};

} // namespace

class KeyerLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void keysSendTheirBytes_data();
    void keysSendTheirBytes();
    void messageOneIsPacedByFlowControl();
    void receivedBytes_data();
    void receivedBytes();
    void underLoad();
};

void KeyerLinkTest::keysSendTheirBytes_data()
{
    QTest::addColumn<Presses>("p");
    const QByteArray on = QByteArray::fromHex("0b01");
    const int f1 = Qt::Key_F1, f2 = Qt::Key_F2, f3 = Qt::Key_F3, f4 = Qt::Key_F4, f5 = Qt::Key_F5, f6 = Qt::Key_F6;
    QTest::newRow("F2 to F5") << Presses{{f2, f3, f4, f5}, true, "M2 <=>M3 <=>M4 <=>M5 <=>", "M5 <=>", false};
    QTest::newRow("tune holds back F2 to F5, not F1") << Presses{{f6, f2, f3, f4, f5, f1}, true, on + "AB", "AB", true};
    QTest::newRow("empty messages") << Presses{{f1, f2, f3, f4, f5}, false, {}, "", false};
    QTest::newRow("keys not the link's")
        << Presses{{Qt::Key_F7, Qt::Key_F11, Qt::Key_A, Qt::Key_Return}, true, {}, "before", false};
}

void KeyerLinkTest::keysSendTheirBytes()
{
    QFETCH(Presses, p);
    const auto &[keys, messages, bytes, panel1, tuneOn] = p;
    LinkRig rig;
    QVERIFY(rig.up());
    for (int n = 1; n <= 5; ++n)
        Settings.message(n) = !messages ? QString() : n == 1 ? QStringLiteral("AB") : QStringLiteral("M%1 <=>").arg(n);
    rig.panels[1] = QStringLiteral("before");
    rig.writes.clear();
    rig.panelLog.clear();
    for (const int key : keys)
        rig.link->press(key);
    QCOMPARE(rig.settle(300), bytes);
    QCOMPARE(rig.link->state(), KeyerLink::State::Idle);
    QCOMPARE(rig.panelLog.isEmpty() ? rig.panels.value(1) : rig.ownPanel1(), panel1);
    QCOMPARE(TuneOn, tuneOn);
    // A message of F2 to F5 goes in one write.
    if (keys.size() == 4 && keys.first() == Qt::Key_F2)
        QCOMPARE(rig.writes, (QList<QByteArray>{"M2 <=>", "M3 <=>", "M4 <=>", "M5 <=>"}));
}

void KeyerLinkTest::messageOneIsPacedByFlowControl()
{
    // A small buffer keyed slowly: the message is longer than the chip takes,
    // and the four messages pressed meanwhile would not fit either.
    LinkRig rig({QStringLiteral("--buffer"), QStringLiteral("12"), QStringLiteral("--char-ms"), QStringLiteral("25")});
    QVERIFY(rig.up());
    QString all = Settings.Message1 = QStringLiteral("CQ CQ CQ DE ZAVO ZAVO ZAVO TEST TEST K");
    for (int n = 2; n <= 5; ++n)
        all += Settings.message(n) = QStringLiteral("MESSAGE %1 ").arg(n).repeated(4).left(32);
    QTimer::singleShot(100, rig.link.get(), [&rig] {
        for (const int key : {Qt::Key_F2, Qt::Key_F3, Qt::Key_F4, Qt::Key_F5})
            rig.link->press(key);
    });
    const double start = monotonicMs();
    // The waits for XON sleep in the event loop: polling would wake it up
    // hundreds of thousands of times.
    const int wakeups = wakeupsWhile([&rig] {
        QEventLoop lastOneShown;
        QObject::connect(rig.link.get(), &KeyerLink::panelText, &lastOneShown, [&lastOneShown](int at, const QString &text) {
            if (at == 1 && text == Settings.Message5)
                lastOneShown.quit();
        });
        QTimer::singleShot(20000, &lastOneShown, &QEventLoop::quit);
        rig.link->press(Qt::Key_F1);
        lastOneShown.exec();
    });
    QVERIFY2(wakeups < 3000, qPrintable(QString::number(wakeups)));
    QCOMPARE(rig.ownPanel1(), Settings.Message5);
    QCOMPARE(rig.settle(), all.toLatin1());
    QTRY_COMPARE_WITH_TIMEOUT(rig.sim.keyed(), all, 15000);
    QVERIFY(rig.panelLog.contains(std::pair(1, QStringLiteral("WinKey Status - XOFF"))));

    // After the chip says XOFF, at most the character already on its way
    // arrives before it says the buffer has room again; nothing is dropped.
    int xoffs = 0;
    int arrivedWhileHeld = -1; // -1: not held
    for (const LogEntry &entry : rig.sim.log()) {
        if (entry.t < start)
            continue;
        QVERIFY2(!entry.text.contains(QLatin1String("drop")), qPrintable(entry.text));
        const bool out = entry.kind == QLatin1String("out");
        if (out && entry.bytes.contains('\xc5')) {
            ++xoffs;
            arrivedWhileHeld = 0;
        } else if (out && (entry.bytes.contains('\xc4') || entry.bytes.contains('\xc0'))) {
            arrivedWhileHeld = -1;
        } else if (entry.kind == QLatin1String("in") && arrivedWhileHeld >= 0) {
            arrivedWhileHeld += int(entry.bytes.size());
            QVERIFY2(arrivedWhileHeld <= 1, "text kept coming after XOFF");
        }
    }
    QVERIFY(xoffs >= 1);
}

void KeyerLinkTest::receivedBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("minSpeed"); // stored; empty: the seed's 10
    // The chip was given the usual 10 instead: reports count from that.
    QTest::newRow("speed, a minimum the chip cannot take") << QByteArray::fromHex("85 9e") << "300";
    QTest::newRow("status") << QByteArray::fromHex("c5 c6 c1 c4 c5 ff c0 c5 c2") << "";
    QByteArray burst(6000, '\0');
    for (int i = 0; i < burst.size(); ++i)
        burst[i] = char(i * 167 % 251 + i / 251); // every byte value, in no simple order
    QTest::newRow("a burst of 6000") << burst << "";
}

// Every byte the chip sends is taken once, in order, by the receive rule
// (its own rules are fuzz_classify's), counting speeds from the minimum the
// chip was given: the panels and the XOFF flag end as that rule says, and
// nothing is answered. (How long the event loop waits meanwhile is the
// benchmark's measure.)
void KeyerLinkTest::receivedBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, minSpeed);
    LinkRig rig;
    QVERIFY(rig.up([&minSpeed](SettingsStore &store) {
        if (!minSpeed.isEmpty())
            store.SaveSetting(QStringLiteral("Speed Settings"), QStringLiteral("MinSpeed"), minSpeed);
    }));
    QCOMPARE(rig.messages.size(), minSpeed.isEmpty() ? 0 : 1);
    QTRY_COMPARE(rig.panels.value(3), QStringLiteral("25 WPM")); // the knob's answer to the start-up
    int speedReports = 0;
    QString panel1 = rig.panels.value(1);
    QString panel3 = rig.panels.value(3);
    bool xoff = XoffActive;
    for (const char c : bytes) {
        const Winkey::ReceiveEffect effect = Winkey::classifyByte(quint8(c), Seed::kMinSpeed, xoff);
        speedReports += effect.panel3.has_value();
        panel3 = effect.panel3.value_or(panel3);
        panel1 = effect.panel1.value_or(panel1);
        xoff = effect.xoffActive;
    }
    rig.panelLog.clear();
    const auto speedChanges = [&rig] {
        return std::count_if(rig.panelLog.cbegin(), rig.panelLog.cend(), [](const auto &p) { return p.first == 3; });
    };
    for (qsizetype at = 0; at < bytes.size(); at += 1000)
        rig.sim.command(QStringLiteral("raw ") + QString::fromLatin1(bytes.mid(at, 1000).toHex(' ')));
    QTRY_COMPARE_WITH_TIMEOUT(speedChanges(), speedReports, 30000);
    QTest::qWait(300); // anything that would still come
    QCOMPARE(speedChanges(), speedReports);
    QCOMPARE(rig.panels.value(3), panel3);
    QCOMPARE(rig.panels.value(1), panel1);
    QCOMPARE(XoffActive, xoff);
    QCOMPARE(rig.since().toHex(' '), QByteArray());
}

// In --fast mode: a message of 100 kB goes whole; message 1 stops at the last position its 16-bit index can name;
// then 3,000 presses (messages 2 to 5, some message 1, tune on and off), each
// text naming its press. Every byte arrives once and in order.
void KeyerLinkTest::underLoad()
{
    LinkRig rig({QStringLiteral("--fast")});
    // The pty has no wire to wait for; 32767 waits of 9 ms would take five minutes.
    rig.characterMs = 0;
    QVERIFY(rig.up());
    QString longText;
    for (int i = 0; longText.size() < 100 * 1024; ++i)
        longText += QStringLiteral("%1 ").arg(i, 5, 10, QLatin1Char('0'));
    Settings.Message2 = longText;
    Settings.Message1 = longText;
    rig.link->press(Qt::Key_F2);
    QCOMPARE(rig.panels.value(1), longText);
    QTRY_COMPARE_WITH_TIMEOUT(rig.since().size(), longText.size(), 30000);
    QCOMPARE(rig.since(), longText.toLatin1());
    rig.mark();
    rig.link->press(Qt::Key_F1);
    QTRY_COMPARE_WITH_TIMEOUT(rig.link->state(), KeyerLink::State::Idle, 30000);
    QCOMPARE(CharIndex, qint16(32767));
    QCOMPARE(rig.ownPanel1(), longText);
    QCOMPARE(rig.settle(), longText.left(32767).toLatin1());

    rig.mark();
    QByteArray expected;
    for (int i = 1; i <= 3000; ++i) {
        const QString text = QString::number(i) + QLatin1Char(' ');
        if (i % 50 == 0) {
            Settings.Message1 = text;
            rig.link->press(Qt::Key_F1);
            expected += text.toLatin1();
        } else if (i % 7 == 0) {
            rig.link->press(Qt::Key_F6);
            rig.link->press(Qt::Key_F6);
            expected += QByteArray::fromHex("0b01 0b00");
        } else {
            const int n = 2 + i % 4;
            Settings.message(n) = text;
            rig.link->press(Qt::Key_F1 + n - 1);
            expected += text.toLatin1();
        }
        QCoreApplication::processEvents(); // the chip's statuses, as in a real session
    }
    QTRY_VERIFY_WITH_TIMEOUT(rig.since().size() >= expected.size(), 30000);
    QCOMPARE(rig.settle(300), expected);
    QVERIFY(rig.messages.isEmpty());
}

QTEST_GUILESS_MAIN(KeyerLinkTest)
#include "tst_keyerlink.moc"
