// Faults of the cable: the USB adapter pulled out (simulator "unplug") while
// idle, while message 1 waits on XOFF and during the initialisation's waits,
// then plugged in again; F12 while the device is still missing.
#include "faultsession.h"

#include <QLabel>
#include <QDir>
#include <QFile>

using namespace Zavo;

namespace {

const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");

bool saysLinkLost(const QString &panel)
{
    return panel.startsWith(QLatin1String("Link lost")) && panel.contains(QLatin1String("F12"));
}

} // namespace

class LinkFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QCoreApplication::processEvents(); }

    void unplugWhileIdleAndPlugAgain_data();
    void unplugWhileIdleAndPlugAgain();
    void unplugWhileMessageOneWaitsOnXoff();
    void unplugDuringTheInitialisationWaits_data();
    void unplugDuringTheInitialisationWaits();
    void f12WhileTheDeviceIsStillMissing();
    void aPortHeldElsewhereIsInUseNotForbidden();
};

void LinkFaultsTest::unplugWhileIdleAndPlugAgain_data()
{
    QTest::addColumn<bool>("byIdName");
    QTest::newRow("the simulator's link") << false;
    // A stable name under serial/by-id that points at whatever device the
    // adapter got this time, as udev makes it.
    QTest::newRow("a by-id name") << true;
}

void LinkFaultsTest::unplugWhileIdleAndPlugAgain()
{
    QFETCH(bool, byIdName);
    FaultSession s;
    QVERIFY(s.rig.start());
    if (byIdName) {
        const QString folder = s.rig.dir.filePath(QStringLiteral("serial/by-id"));
        QVERIFY(QDir().mkpath(folder));
        const QString name = folder + QStringLiteral("/usb-Vardel_WinKey_0001-if00-port0");
        QVERIFY(QFile::link(s.rig.sim.linkPath(), name));
        QVERIFY(s.rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"), name));
    }
    QVERIFY(s.load());
    QCOMPARE(s.panel(1), kOnline);

    // The same adapter pulled and plugged three times: every error is met the same way.
    for (int round = 1; round <= 3; ++round) {
        QVERIFY(s.unplug());
        QTRY_VERIFY(!s.rig.window->port().isOpen());
        QVERIFY2(saysLinkLost(s.panel(1)), qPrintable(s.panel(1)));

        // Nothing left polling a dead device.
        WakeupCounter wakeups;
        idleFor(1000);
        QVERIFY2(wakeups.count() < 50, qPrintable(QString::number(wakeups.count())));

        // Keys while the device is gone send nothing, now or later, and the
        // status panel keeps saying why.
        Settings.Message1 = QStringLiteral("EE");
        Settings.Message2 = QStringLiteral("TT");
        for (int key : {int(Qt::Key_F1), int(Qt::Key_F2), int(Qt::Key_F6)}) {
            s.key(key);
            QVERIFY2(saysLinkLost(s.panel(1)), qPrintable(s.panel(1)));
        }
        QVERIFY(!TuneOn);

        QVERIFY(s.plug());
        s.mark();
        s.key(Qt::Key_F12);
        QCOMPARE(s.panel(1), kOnline);
        QCOMPARE(s.settle(300), seedStartupBytes());

        Settings.Message2 = QStringLiteral("R%1").arg(round);
        s.mark();
        s.key(Qt::Key_F2);
        QCOMPARE(s.settle(), Settings.Message2.toLatin1());
    }
    QCOMPARE(s.rig.messages, QStringList());
    QVERIFY(s.rig.terminations.isEmpty());
}

void LinkFaultsTest::unplugWhileMessageOneWaitsOnXoff()
{
    FaultSession s;
    QVERIFY(s.up());
    Settings.Message1 = QStringLiteral("CQ TEST");
    s.rig.sim.command(QStringLiteral("raw C5"));
    QTRY_VERIFY(XoffActive);

    QTimer::singleShot(300, s.rig.window.get(), [&s] { s.rig.sim.command(QStringLiteral("unplug")); });
    // Should F1 hang on, Escape ends it so that the test can report.
    bool rescued = false;
    QTimer rescue;
    rescue.setSingleShot(true);
    connect(&rescue, &QTimer::timeout, s.rig.window.get(), [&] { rescued = true; s.key(Qt::Key_Escape); });
    rescue.start(8000);
    s.key(Qt::Key_F1);
    rescue.stop();
    QVERIFY(!rescued);
    QVERIFY2(saysLinkLost(s.panel(1)), qPrintable(s.panel(1)));
    QVERIFY(!s.rig.window->port().isOpen());
    // The chip lost its power with the adapter: its XOFF went with it.
    QVERIFY(!XoffActive);

    QVERIFY(s.plug());
    s.mark();
    s.key(Qt::Key_F12);
    QCOMPARE(s.panel(1), kOnline);
    QCOMPARE(s.settle(300), seedStartupBytes());
    s.mark();
    rescue.start(8000);
    s.key(Qt::Key_F1);
    rescue.stop();
    QVERIFY(!rescued);
    QCOMPARE(s.settle(), QByteArray("CQ TEST"));
    QCOMPARE(s.panel(1), Settings.Message1);
}

void LinkFaultsTest::unplugDuringTheInitialisationWaits_data()
{
    QTest::addColumn<bool>("answerTheEcho");
    QTest::addColumn<QByteArray>("sentBeforeTheUnplug");
    QTest::newRow("waiting for the echo") << false << QByteArray::fromHex("0000ff000455");
    QTest::newRow("waiting for the revision") << true << QByteArray::fromHex("0000ff000455" "0002");
}

void LinkFaultsTest::unplugDuringTheInitialisationWaits()
{
    QFETCH(bool, answerTheEcho);
    QFETCH(QByteArray, sentBeforeTheUnplug);
    FaultSession s;
    QVERIFY(s.up());
    QVERIFY(s.simulator(QStringLiteral("silent on")));
    s.mark();
    const double start = monotonicMs();

    // The simulator's log says when F12 waits for what: the echo test
    // arrived (answered by hand if wanted), then host open. The adapter is
    // pulled as soon as the wait wanted has begun, well inside its 2 s.
    bool echoSeen = false;
    bool unplugged = false;
    QTimer watch;
    connect(&watch, &QTimer::timeout, [&] {
        QByteArray in;
        bool hostOpen = false;
        for (const LogEntry &entry : s.rig.sim.log()) {
            if (entry.t < start)
                continue;
            if (entry.kind == QLatin1String("in"))
                in += entry.bytes;
            hostOpen |= entry.kind == QLatin1String("event") && entry.text == QLatin1String("host open");
        }
        if (!echoSeen && in.endsWith(QByteArray::fromHex("000455"))) {
            echoSeen = true;
            if (answerTheEcho)
                s.rig.sim.command(QStringLiteral("raw 55"));
        }
        if (!unplugged && echoSeen && (!answerTheEcho || hostOpen)) {
            unplugged = true;
            s.rig.sim.command(QStringLiteral("unplug"));
        }
    });
    watch.start(20);
    s.key(Qt::Key_F12);
    watch.stop();
    QVERIFY(unplugged);

    // The wait ended on the lost port, not on the deadline: no "No Response".
    QCOMPARE(s.rig.messages, QStringList());
    QVERIFY(s.rig.terminations.isEmpty());
    QVERIFY(!s.rig.window->port().isOpen());
    QVERIFY2(saysLinkLost(s.panel(1)), qPrintable(s.panel(1)));
    QCOMPARE(s.since(), sentBeforeTheUnplug);

    WakeupCounter wakeups;
    idleFor(1000);
    QVERIFY2(wakeups.count() < 50, qPrintable(QString::number(wakeups.count())));

    QVERIFY(s.plug());
    QVERIFY(s.simulator(QStringLiteral("silent off")));
    s.mark();
    s.key(Qt::Key_F12);
    QCOMPARE(s.panel(1), kOnline);
    QCOMPARE(s.settle(300), seedStartupBytes());
}

void LinkFaultsTest::f12WhileTheDeviceIsStillMissing()
{
    FaultSession s;
    QVERIFY(s.up());
    QVERIFY(s.unplug());
    QTRY_VERIFY(!s.rig.window->port().isOpen());

    // F12 too early: the device is not back. The operator is told and
    // offered the chooser; Cancel keeps the window with the link down.
    s.rig.chooserAnswer.reset();
    s.key(Qt::Key_F12);
    QCOMPARE(s.rig.chooserShown, 1);
    QCOMPARE(s.rig.messages.size(), 1);
    QVERIFY2(s.rig.messages.first().contains(s.rig.sim.linkPath()), qPrintable(s.rig.messages.first()));
    QVERIFY(s.rig.terminations.isEmpty());
    QVERIFY(s.rig.window->isVisible());
    QVERIFY(!s.rig.window->port().isOpen());
    QVERIFY2(s.panel(1).contains(QLatin1String("F12")), qPrintable(s.panel(1)));
    QVERIFY2(s.rig.window->statusBar().panel(1)->toolTip().contains(QLatin1String("not open")),
             qPrintable(s.rig.window->statusBar().panel(1)->toolTip()));
    // The port the operator chose is kept.
    QCOMPARE(s.rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")), s.rig.sim.linkPath());

    WakeupCounter wakeups;
    idleFor(1000);
    QVERIFY2(wakeups.count() < 50, qPrintable(QString::number(wakeups.count())));

    QVERIFY(s.plug());
    s.mark();
    s.key(Qt::Key_F12);
    QCOMPARE(s.rig.chooserShown, 1);
    QCOMPARE(s.panel(1), kOnline);
    QCOMPARE(s.settle(300), seedStartupBytes());
}

void LinkFaultsTest::aPortHeldElsewhereIsInUseNotForbidden()
{
    FaultSession s;
    QVERIFY(s.up());
    // A second Zavo Keyer on the same port: joining the dialout group would
    // not help, so the operator must not be told to.
    SerialFacility second;
    second.setPortName(s.rig.sim.linkPath());
    QVERIFY(!second.open());
    QVERIFY(second.inUse());
    QVERIFY(!second.permissionDenied());
}

QTEST_MAIN(LinkFaultsTest)
#include "tst_linkfaults.moc"
