// An adapter pulled out and plugged in again, whatever the link was doing
// when it went: the link comes back by itself, under the same device name or
// the stable name that followed the adapter, asking nobody anything; a
// device that does not answer is tried once.
#include "linkrig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSerialPort>

using namespace Zavo;

namespace {

const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");
// An arrival is tried after it has stood for one look: well within this.
constexpr int kReconnectMs = 2500;

// How the link goes down before the adapter is plugged in again.
enum class Loss {
    Unplugged,
    StableNameMoved,    // it comes back as another device: only its stable name follows it
    HeldElsewhere,      // another program has the device that came back, for a while
    ChooserCancelled,   // F12 finds no port; plugged in while the operator reads why
    BlockAtStartUp,     // gone in the pause after the parameter block
    BlockOnF12,
    BlockReconnecting,
    WhileRefusalIsTold, // gone while F12 tells which stored settings the chip cannot take
};

} // namespace

class ReconnectTest : public QObject
{
    Q_OBJECT

private slots:
    void replugReconnectsUnasked_data();
    void replugReconnectsUnasked();
    void aSilentArrivalIsTriedOnceAndNeverAsks();
};

void ReconnectTest::replugReconnectsUnasked_data()
{
    QTest::addColumn<Loss>("loss");
    QTest::newRow("another device, its stable name moved") << Loss::StableNameMoved;
    QTest::newRow("in use for 2 s after the plug") << Loss::HeldElsewhere;
    QTest::newRow("plugged while F12 says there is no port, chooser cancelled") << Loss::ChooserCancelled;
    QTest::newRow("unplugged after the block, at start-up") << Loss::BlockAtStartUp;
    QTest::newRow("unplugged after the block, on F12") << Loss::BlockOnF12;
    QTest::newRow("unplugged after the block, reconnecting") << Loss::BlockReconnecting;
    QTest::newRow("unplugged while F12 tells of refused settings") << Loss::WhileRefusalIsTold;
}

// Twice in a row: first as the row says, then a plain unplug and plug.
void ReconnectTest::replugReconnectsUnasked()
{
    QFETCH(Loss, loss);
    LinkRig rig;
    rig.stableNameDir = rig.dir.filePath(QStringLiteral("by-id"));
    QVERIFY(QDir().mkpath(rig.stableNameDir));
    const QString stable = rig.stableNameDir + QStringLiteral("/usb-Vardel_WinKey_0001-if00-port0");
    const bool refused = loss == Loss::WhileRefusalIsTold;
    const auto armed = [&rig] { return rig.simulator(QStringLiteral("unplug-after-block")); };
    QString stored;
    if (loss == Loss::BlockAtStartUp) {
        QVERIFY(rig.start() && armed());
        const bool goesOn = rig.init();
        // Returning false would end the program, without a word to the operator.
        QVERIFY(goesOn);
        rig.link->setInSession(true);
    } else {
        QVERIFY(rig.up([&](SettingsStore &store) {
            if (refused)
                store.SaveSetting(QStringLiteral("Speed Settings"), QStringLiteral("MinSpeed"), QStringLiteral("300"));
            if (loss != Loss::StableNameMoved)
                return;
            stored = QFileInfo(rig.sim.linkPath()).canonicalFilePath();
            QVERIFY(QFile::link(stored, stable));
            store.SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"), stored);
        }));
    }

    for (int round = 1; round <= 2; ++round) {
        const Loss now = round == 1 ? loss : Loss::Unplugged;
        QString down = KeyerLink::kLostText;
        if (now == Loss::BlockOnF12) {
            QVERIFY(armed());
            rig.link->press(Qt::Key_F12);
        } else if (now == Loss::BlockReconnecting) {
            QVERIFY(rig.unplug());
            QTRY_VERIFY(!rig.link->isOpen());
            rig.panels.clear();
            QVERIFY(armed() && rig.plug());
        } else if (now == Loss::ChooserCancelled) {
            QVERIFY(rig.unplug());
            QTRY_VERIFY(!rig.link->isOpen());
            rig.whileTold = [&rig] { QVERIFY(rig.plug()); };
            rig.link->press(Qt::Key_F12);
            QCOMPARE(rig.chooserShown, 1);
            down = KeyerLink::kNoPortText;
        } else if (now == Loss::WhileRefusalIsTold) {
            rig.whileTold = [&rig] { QVERIFY(rig.unplug()); };
            rig.link->press(Qt::Key_F12);
            QVERIFY(rig.messages.last().contains(QLatin1String("cannot be sent")));
        } else if (now != Loss::BlockAtStartUp) {
            QVERIFY(rig.unplug());
        }
        rig.whileTold = nullptr;
        QTRY_COMPARE(rig.panels.value(1), down);
        const qsizetype asked = rig.messages.size();
        rig.mark();
        if (now != Loss::ChooserCancelled)
            QVERIFY(rig.plug());
        if (loss == Loss::StableNameMoved) {
            QVERIFY(QFile::remove(stable));
            QVERIFY(QFile::link(QFileInfo(rig.sim.linkPath()).canonicalFilePath(), stable));
        }
        if (now == Loss::HeldElsewhere) {
            // Tried again about once a second while held, and taken at once after.
            QSerialPort other(rig.sim.linkPath());
            QVERIFY(other.open(QIODevice::ReadWrite));
            QTest::qWait(2000);
            const auto tries = rig.panelLog.count(std::pair(1, KeyerLink::kNoPortText));
            QVERIFY2(tries >= 1 && tries <= 4, qPrintable(QString::number(tries)));
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.since(), seedStartupBytes(), kReconnectMs);
        QTRY_COMPARE(rig.panels.value(1), kOnline);
        // Nobody is asked: what the chip could not be given goes to the tool tip.
        QCOMPARE(rig.messages.size(), asked);
        QCOMPARE(rig.detail.contains(QLatin1String("cannot be sent")), refused);
    }
    QCOMPARE(rig.chooserShown, loss == Loss::ChooserCancelled ? 1 : 0);
    if (loss == Loss::StableNameMoved) {
        // The store keeps the port the operator chose.
        QCOMPARE(rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")), stored);
    }
}

void ReconnectTest::aSilentArrivalIsTriedOnceAndNeverAsks()
{
    LinkRig rig;
    QVERIFY(rig.up());
    QVERIFY(rig.unplug());
    QTRY_VERIFY(!rig.link->isOpen());
    QVERIFY(rig.simulator(QStringLiteral("silent on")));
    const qsizetype opensBefore = rig.sim.events(QStringLiteral("port open")).size();
    QVERIFY(rig.plug());
    QTRY_COMPARE_WITH_TIMEOUT(rig.panels.value(1), KeyerLink::kNoAnswerText, 6000);
    // No storm against the same device: one attempt, however long it stands.
    QTest::qWait(3 * AdapterWatch::kLookMs + 2500);
    QCOMPARE(rig.sim.events(QStringLiteral("port open")).size(), opensBefore + 1);
    QCOMPARE(rig.messages, QStringList());
    QCOMPARE(rig.chooserShown, 0);
    // The operator's F12 still tries at once, and asks as it always did.
    QVERIFY(rig.simulator(QStringLiteral("silent off")));
    rig.mark();
    rig.link->press(Qt::Key_F12);
    QCOMPARE(rig.panels.value(1), kOnline);
    QCOMPARE(rig.settle(), seedStartupBytes());
}

QTEST_GUILESS_MAIN(ReconnectTest)
#include "tst_reconnect.moc"
