// An adapter pulled out and plugged in again: the link comes back by
// itself, under the same device name or the stable name that followed the
// adapter, and a device that does not answer is tried once, unasked.
#include "linkrig.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

using namespace Zavo;

namespace {

const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");
// An arrival is tried after it has stood for one look: well within this.
constexpr int kReconnectMs = 2500;

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
    QTest::addColumn<bool>("underAnotherName");
    QTest::newRow("the same path") << false;
    // The store names the device the adapter had; it comes back as another
    // one, and only its stable name follows it.
    QTest::newRow("another device, its stable name moved") << true;
}

void ReconnectTest::replugReconnectsUnasked()
{
    QFETCH(bool, underAnotherName);
    LinkRig rig;
    rig.stableNameDir = rig.dir.filePath(QStringLiteral("by-id"));
    QVERIFY(QDir().mkpath(rig.stableNameDir));
    const QString stable = rig.stableNameDir + QStringLiteral("/usb-Vardel_WinKey_0001-if00-port0");
    QString stored;
    QVERIFY(rig.up([&](SettingsStore &store) {
        if (!underAnotherName)
            return;
        stored = QFileInfo(rig.sim.linkPath()).canonicalFilePath();
        QVERIFY(QFile::link(stored, stable));
        store.SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"), stored);
    }));

    for (int round = 1; round <= 2; ++round) {
        QVERIFY(rig.unplug());
        QTRY_VERIFY(!rig.link->isOpen());
        QCOMPARE(rig.panels.value(1), KeyerLink::kLostText);
        QVERIFY(rig.link->isWaitingForAdapter());
        rig.mark();
        QVERIFY(rig.plug());
        if (underAnotherName) {
            QVERIFY(QFile::remove(stable));
            QVERIFY(QFile::link(QFileInfo(rig.sim.linkPath()).canonicalFilePath(), stable));
        }
        QTRY_COMPARE_WITH_TIMEOUT(rig.since(), seedStartupBytes(), kReconnectMs);
        QTRY_COMPARE(rig.panels.value(1), kOnline);
        QVERIFY(!rig.link->isWaitingForAdapter());
    }
    QCOMPARE(rig.messages, QStringList());
    QCOMPARE(rig.chooserShown, 0);
    if (underAnotherName) {
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
