// The keyer link without a window: the order of what reaches the chip when
// the operator acts while message 1 is going out, Escape, shutdown, and
// what the link shows of the chip's speed reports.
#include "keyer/protocol.h"
#include "linkrig.h"

#include <QSignalSpy>
#include <QTimer>

using namespace Zavo;

namespace {

const QString kMessage1 = QStringLiteral("THE QUICK BROWN FOX JUMPS 1234");
constexpr int kSettingsUpdate = -1;
constexpr int kEditMessage1 = -2;

} // namespace

class KeyerLinkTest : public QObject
{
    Q_OBJECT

private slots:
    void actionsDuringMessageOneWaitTheirTurn_data();
    void actionsDuringMessageOneWaitTheirTurn();
    void escapeDropsWhatWaits();
    void shutdownKeysUpAndRunsNothingMore();
    void speedReportsCountFromTheMinimumTheChipWasGiven();
};

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

QTEST_GUILESS_MAIN(KeyerLinkTest)
#include "tst_keyerlink.moc"
