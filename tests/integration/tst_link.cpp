// Start-up, initialisation and re-initialisation of the keyer link,
// against the chip simulator on a real pseudo-terminal.
#include "keyer/protocol.h"
#include "rig.h"

#include <QLabel>
#include <QSignalSpy>

using namespace Zavo;

class LinkTest : public QObject
{
    Q_OBJECT

private slots:
    void startupSendsTheWholeSequenceInOrderAndTime();
    void startupFillsThePanels();
    void noAnswerShowsTheMessageAndEnds();
    void noAnswerWaitsAcrossMidnight();
    void unsolicitedBytesDuringInitAreClassifiedNotTakenAsReplies();
    void staleBytesFromBeforeReopeningAreDiscarded();
    void reinitClosesWaitsAndRepeatsTheSequence();
    void badParameterTextsAreReportedAndNeverSent();
    void unopenablePortOffersTheChooserAndStoresTheChoice();
    void cancelledChooserEndsTheProgram();
    void positionIsStoredOnCloseAndRestoredAtNextStart();
    void offScreenPositionLandsOnAScreen();
    void onTopOnlyForExactlyOne();
};

void LinkTest::startupSendsTheWholeSequenceInOrderAndTime()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.window->load());
    QVERIFY(rig.waitReceived(seedStartupBytes().size()));
    QCOMPARE(rig.sim.received(), seedStartupBytes());

    // The block goes out in one write.
    const QList<QByteArray> writes = rig.takeWrites();
    const auto block = std::find_if(writes.begin(), writes.end(),
                                    [](const QByteArray &w) { return w.startsWith('\x0f'); });
    QVERIFY(block != writes.end());
    QCOMPARE(block->size(), 16);

    // Nothing before 600 ms after the port opened; FF at least 50 ms after 00 00.
    QCOMPARE(rig.openedAt.size(), 1);
    double calibrateAt = -1;
    double tailAt = -1;
    for (const LogEntry &entry : rig.sim.log()) {
        if (entry.kind != QLatin1String("in"))
            continue;
        if (calibrateAt < 0)
            calibrateAt = entry.t;
        if (entry.bytes.contains('\xff') && tailAt < 0)
            tailAt = entry.t;
    }
    QVERIFY2(calibrateAt - rig.openedAt.first() >= 599.0,
             qPrintable(QString::number(calibrateAt - rig.openedAt.first())));
    // Measured where the simulator reads, which may see the first bytes late
    // on a loaded machine: allow for that, a missing pause still shows.
    QVERIFY2(tailAt - calibrateAt >= 35.0, qPrintable(QString::number(tailAt - calibrateAt)));
    QVERIFY(rig.messages.isEmpty());
    QVERIFY(rig.terminations.isEmpty());
    QVERIFY(!Reinit);
}

void LinkTest::startupFillsThePanels()
{
    Rig rig({QStringLiteral("--revision"), QStringLiteral("30"), QStringLiteral("--pot"), QStringLiteral("20")});
    QVERIFY(rig.start());
    QVERIFY(rig.window->load());
    QCOMPARE(rig.window->panelText(1), QStringLiteral("Winkey Online - Firmware Rev.30"));
    QCOMPARE(rig.window->panelText(2), QStringLiteral("winkey"));
    // The pot reading is answered after start-up and shown as speed.
    QTRY_COMPARE(rig.window->panelText(3), QStringLiteral("30 WPM"));
}

void LinkTest::noAnswerShowsTheMessageAndEnds()
{
    Rig rig({QStringLiteral("--silent")});
    QVERIFY(rig.start());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(!rig.window->load());
    QVERIFY(timer.elapsed() >= 1500);
    QCOMPARE(rig.messages, QStringList{QStringLiteral("No Response from Winkey on Com") + rig.sim.linkPath()
                                       + QStringLiteral("\r\nCheck Port, Cable or Winkey")});
    QCOMPARE(rig.terminations, QList<int>{EXIT_FAILURE});
    QVERIFY(!rig.window->isVisible());
    // Nothing after the echo test: no host open, no parameters.
    QCOMPARE(rig.sim.received(), QByteArray::fromHex("0000ff000455"));
}

void LinkTest::noAnswerWaitsAcrossMidnight()
{
    Rig rig({QStringLiteral("--silent")});
    // The clock reads one second before midnight when the wait starts.
    QElapsedTimer elapsed;
    elapsed.start();
    rig.clock = [&elapsed] {
        const double t = 86398.0 + elapsed.elapsed() / 1000.0;
        return t >= 86400.0 ? t - 86400.0 : t;
    };
    QVERIFY(rig.start());
    elapsed.restart();
    QVERIFY(!rig.window->load());
    // Deadline 1 or 2 s after midnight: the wait lasts well past midnight.
    QVERIFY2(elapsed.elapsed() >= 2000 + 650, qPrintable(QString::number(elapsed.elapsed())));
    QVERIFY(elapsed.elapsed() < 10000);
    QCOMPARE(rig.terminations, QList<int>{EXIT_FAILURE});
}

void LinkTest::unsolicitedBytesDuringInitAreClassifiedNotTakenAsReplies()
{
    // A status byte and a speed report arrive before each reply.
    Rig rig({QStringLiteral("--reply-prefix"), QStringLiteral("C5,90,C4")});
    QVERIFY(rig.start());
    QSignalSpy panels(rig.window.get(), &ZavoMain::panelTextChanged);
    QVERIFY(rig.window->load());
    QCOMPARE(rig.window->panelText(1), QStringLiteral("Winkey Online - Firmware Rev.23"));
    QVERIFY(!XoffActive);
    bool sawSpeed = false;
    for (const QList<QVariant> &change : panels)
        sawSpeed |= change.at(0).toInt() == 3 && change.at(1).toString() == QLatin1String("26 WPM");
    QVERIFY(sawSpeed);
}

void LinkTest::staleBytesFromBeforeReopeningAreDiscarded()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.window->load());
    QTRY_COMPARE(rig.window->panelText(3), QStringLiteral("25 WPM"));
    rig.window->port().close();
    // Two bytes reach the line just after the port reopens, before the echo
    // test: taken as the answers they would make the revision read 66.
    const auto connection = QObject::connect(&rig.window->port(), &SerialFacility::opened, [&rig] {
        QTest::qSleep(100); // let the simulator notice the port is open
        rig.sim.command(QStringLiteral("raw 41 42"));
    });
    QVERIFY(rig.window->Winkey_Init());
    QObject::disconnect(connection);
    QCOMPARE(rig.window->panelText(1), QStringLiteral("Winkey Online - Firmware Rev.23"));
    QVERIFY(rig.sim.sent().contains("AB"));
}

void LinkTest::reinitClosesWaitsAndRepeatsTheSequence()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.window->load());
    const QByteArray once = seedStartupBytes();
    QVERIFY(rig.waitReceived(once.size()));
    QTest::qWait(100);
    const double before = monotonicMs();

    Reinit = true;
    QVERIFY(rig.window->Winkey_Init());
    QVERIFY(!Reinit);
    QVERIFY(rig.waitReceived(2 * once.size()));
    QCOMPARE(rig.sim.received(), once + once);
    QCOMPARE(rig.openedAt.size(), 2);
    // Closed, 250 ms, reopened; then the 600 ms before the first byte.
    QVERIFY(rig.openedAt.at(1) - before >= 249.0);
    QVERIFY(rig.receivedAfter(before).startsWith(QByteArray::fromHex("0000")));
}

void LinkTest::badParameterTextsAreReportedAndNeverSent()
{
    Rig rig;
    QVERIFY(rig.start());
    rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("Weight"), QStringLiteral("heavy"));
    rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("PTT_Tail"), QStringLiteral("300"));
    rig.store->SaveSetting(QStringLiteral("Speed Settings"), QStringLiteral("MaxSpeed"), QStringLiteral("5"));
    QVERIFY(rig.window->load());
    QVERIFY(rig.waitReceived(seedStartupBytes().size()));
    // The seed values went out in their place.
    QCOMPARE(rig.sim.received(), seedStartupBytes());
    QCOMPARE(rig.messages.size(), 1);
    for (const char *named : {"Weight = \"heavy\"", "PTT_Tail = \"300\"", "SpeedRange"})
        QVERIFY2(rig.messages.first().contains(QLatin1String(named)), named);
    // The operator's texts are kept.
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("Weight")), QStringLiteral("heavy"));
    QCOMPARE(Settings.PTT_Tail, QStringLiteral("300"));
}

void LinkTest::unopenablePortOffersTheChooserAndStoresTheChoice()
{
    Rig rig;
    QVERIFY(rig.start());
    rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"),
                           rig.dir.filePath(QStringLiteral("no-such-port")));
    rig.chooserAnswer = rig.sim.linkPath();
    QVERIFY(rig.window->load());
    QCOMPARE(rig.chooserShown, 1);
    QCOMPARE(rig.messages.size(), 1);
    QVERIFY(rig.messages.first().contains(QLatin1String("no-such-port")));
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")), rig.sim.linkPath());
    QCOMPARE(rig.window->panelText(1), QStringLiteral("Winkey Online - Firmware Rev.23"));
}

void LinkTest::cancelledChooserEndsTheProgram()
{
    Rig rig;
    QVERIFY(rig.start());
    rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"), QStringLiteral("/nonexistent/tty"));
    QVERIFY(!rig.window->load());
    QCOMPARE(rig.chooserShown, 1);
    QCOMPARE(rig.terminations, QList<int>{EXIT_FAILURE});
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")),
             QStringLiteral("/nonexistent/tty"));
}

void LinkTest::positionIsStoredOnCloseAndRestoredAtNextStart()
{
    Rig rig;
    QVERIFY(rig.start());
    QVERIFY(rig.window->load());
    rig.window->show();
    QVERIFY(QTest::qWaitForWindowExposed(rig.window.get()));
    rig.window->move(120, 80);
    QTRY_COMPARE(rig.window->pos(), QPoint(120, 80));
    rig.window->close();
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormTop")), QStringLiteral("1200"));
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormLeft")), QStringLiteral("1800"));
    QVERIFY(!rig.window->port().isOpen());

    rig.makeWindow();
    QVERIFY(rig.window->load());
    QCOMPARE(rig.window->pos(), QPoint(120, 80));
}

void LinkTest::offScreenPositionLandsOnAScreen()
{
    Rig rig;
    QVERIFY(rig.start());
    rig.store->SaveSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormTop"), QStringLiteral("-90000"));
    rig.store->SaveSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormLeft"), QStringLiteral("not a number"));
    QVERIFY(rig.window->load());
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(screen.contains(rig.window->geometry().topLeft()));
    // The operator's texts stay as they were.
    QCOMPARE(rig.store->GetSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormLeft")),
             QStringLiteral("not a number"));
}

void LinkTest::onTopOnlyForExactlyOne()
{
    for (const QString &text : {QStringLiteral("1"), QStringLiteral("0"), QStringLiteral("true"),
                                QStringLiteral(" 1"), QString()}) {
        Rig rig;
        QVERIFY(rig.start());
        rig.store->SaveSetting(QStringLiteral("Windows Settings"), QStringLiteral("OnTop"), text);
        QVERIFY(rig.window->load());
        QCOMPARE(rig.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint), text == QLatin1String("1"));
    }
}

QTEST_MAIN(LinkTest)
#include "tst_link.moc"
