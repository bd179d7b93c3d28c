// The control keys and the receive path, end to end: keys pressed on the
// main window, bytes read by the chip simulator, bytes sent back by it.
#include "keyer/protocol.h"
#include "rig.h"

#include <QAbstractEventDispatcher>
#include <QLineEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>

#include <xcb/xcb.h>

using namespace Zavo;


class KeysTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QCoreApplication::processEvents(); }

    void speedReportsShowInPanel3_data();
    void speedReportsShowInPanel3();
    void statusBytesDriveTheFlagAndPanel1();
    void messagesTwoToFiveAreOneWriteEach();
    void tuneBlocksMessagesTwoToFive();
    void tuneTwiceAndTuneAbortTune();
    void escapeAbortsAndClearsThePanelLater();
    void keysDuringTheAbortPauseWaitTheirTurn();
    void keysHeldInTheAbortPauseDieWithTheWindow();
    void emptyMessagesWriteNothing();
    void f12ReinitialisesAndKeepsTune();
    void qIsDiscardedOtherKeysPass();
    void otherKeysWriteNothing();
    void autoRepeatIsIgnored();
    void messageOneIsPacedByFlowControl();
    void escapeEndsMessageOneWaitingOnXoff();
    void secondF1IsQueuedNotInterleaved();
    void xoffWaitSleepsInTheEventLoop();
    void closingEndsWaitsPromptly();
};

void KeysTest::speedReportsShowInPanel3_data()
{
    QTest::addColumn<QString>("bytes");
    QTest::addColumn<QString>("panel");
    QTest::newRow("bottom") << "80" << "10 WPM";
    QTest::newRow("0x8F") << "8F" << "25 WPM";
    QTest::newRow("top") << "BF" << "73 WPM";
    QTest::newRow("two in a row, last wins") << "81 9E" << "40 WPM";
    QTest::newRow("below the pot range, unclamped") << "00" << "-118 WPM";
    QTest::newRow("after XOFF") << "C5 85" << "15 WPM";
}

void KeysTest::speedReportsShowInPanel3()
{
    QFETCH(QString, bytes);
    QFETCH(QString, panel);
    Session s;
    QVERIFY(s.up());
    s.rig.sim.command(QStringLiteral("raw ") + bytes);
    QTRY_COMPARE(s.panel(3), panel);
    QCOMPARE(XoffActive, bytes.startsWith(QLatin1String("C5")));
}

void KeysTest::statusBytesDriveTheFlagAndPanel1()
{
    Session s;
    QVERIFY(s.up());
    const QString online = s.panel(1);
    QSignalSpy panels(s.rig.window.get(), &ZavoMain::panelTextChanged);

    s.rig.sim.command(QStringLiteral("raw C5"));
    QTRY_VERIFY(XoffActive);
    QCOMPARE(s.panel(1), online); // raised silently

    s.rig.sim.command(QStringLiteral("raw C4"));
    QTRY_VERIFY(!XoffActive);
    QCOMPARE(s.panel(1), QStringLiteral("WinKey Buffer 2/3 Full"));

    s.rig.sim.command(QStringLiteral("raw C0"));
    QTRY_COMPARE(s.panel(1), QStringLiteral(" "));

    s.rig.sim.command(QStringLiteral("raw C4"));
    QTRY_COMPARE(s.panel(1), QStringLiteral("WinKey Buffer 2/3 Full")); // also when already clear

    // Other status values change neither the flag nor a panel.
    panels.clear();
    s.rig.sim.command(QStringLiteral("raw C1 C6 CC"));
    QTest::qWait(200);
    QCOMPARE(panels.count(), 0);
    QVERIFY(!XoffActive);
    s.rig.sim.command(QStringLiteral("raw C5 C6"));
    QTRY_VERIFY(XoffActive);
    QTest::qWait(100);
    QVERIFY(XoffActive);
}

void KeysTest::messagesTwoToFiveAreOneWriteEach()
{
    Session s;
    QVERIFY(s.up());
    for (int n = 2; n <= 5; ++n) {
        Settings.message(n) = QStringLiteral("MSG%1 <=>").arg(n);
        s.rig.takeWrites();
        s.mark();
        s.key(Qt::Key_F1 + n - 1);
        QCOMPARE(s.panel(1), Settings.message(n));
        QCOMPARE(s.rig.takeWrites(), QList<QByteArray>{Settings.message(n).toLatin1()});
        QCOMPARE(s.settle(), Settings.message(n).toLatin1());
    }
}

void KeysTest::tuneBlocksMessagesTwoToFive()
{
    Session s;
    QVERIFY(s.up());
    s.key(Qt::Key_F6);
    QCOMPARE(s.settle(), QByteArray::fromHex("0b01"));
    s.mark();
    for (int n = 2; n <= 5; ++n)
        s.key(Qt::Key_F1 + n - 1);
    QCOMPARE(s.settle(), QByteArray());
    QCOMPARE(s.panel(1), QStringLiteral("Tune"));
    // Message 1 still goes.
    Settings.Message1 = QStringLiteral("AB");
    s.key(Qt::Key_F1);
    QCOMPARE(s.settle(), QByteArray("AB"));
}

void KeysTest::tuneTwiceAndTuneAbortTune()
{
    Session s;
    QVERIFY(s.up());
    s.key(Qt::Key_F6);
    QCOMPARE(s.panel(1), QStringLiteral("Tune"));
    QVERIFY(TuneOn);
    s.key(Qt::Key_F6);
    QCOMPARE(s.panel(1), QString());
    QVERIFY(!TuneOn);
    QCOMPARE(s.settle(), QByteArray::fromHex("0b01 0b00"));

    s.mark();
    s.key(Qt::Key_F6);
    s.key(Qt::Key_Escape);
    QVERIFY(!TuneOn);
    s.key(Qt::Key_F6);
    QVERIFY(TuneOn);
    QCOMPARE(s.settle(), QByteArray::fromHex("0b01 0a 0b01"));
}

void KeysTest::escapeAbortsAndClearsThePanelLater()
{
    Session s;
    QVERIFY(s.up());
    QSignalSpy panels(s.rig.window.get(), &ZavoMain::panelTextChanged);
    QElapsedTimer timer;
    timer.start();
    s.key(Qt::Key_Escape);
    QVERIFY(timer.elapsed() >= 1190);
    QCOMPARE(s.settle(), QByteArray::fromHex("0a"));
    // "Aborted!" first, then the empty text (the chip's C0 may follow).
    QVERIFY(panels.count() >= 2);
    QCOMPARE(panels.at(0).at(1).toString(), QStringLiteral("Aborted!"));
    QCOMPARE(panels.at(1).at(1).toString(), QString());
    QVERIFY(panels.at(1).at(0).toInt() == 1);
}

void KeysTest::keysDuringTheAbortPauseWaitTheirTurn()
{
    Session s;
    QVERIFY(s.up());
    Settings.Message2 = QStringLiteral("AFTER");
    bool paintedMeanwhile = false;
    // Pressed 300 ms into the pause: acted on only when it is over.
    QTimer::singleShot(300, s.rig.window.get(), [&] {
        paintedMeanwhile = s.panel(1) == QLatin1String("Aborted!");
        s.key(Qt::Key_F2);
        QCOMPARE(s.panel(1), QStringLiteral("Aborted!"));
    });
    QSignalSpy panels(s.rig.window.get(), &ZavoMain::panelTextChanged);
    QElapsedTimer timer;
    timer.start();
    s.key(Qt::Key_Escape);
    QVERIFY(paintedMeanwhile);
    QVERIFY(timer.elapsed() >= 1190);
    QCOMPARE(s.settle(), QByteArray("\x0a" "AFTER"));
    QVERIFY(panels.contains(QVariantList{1, QStringLiteral("AFTER")}));
}

void KeysTest::keysHeldInTheAbortPauseDieWithTheWindow()
{
    Session s;
    QVERIFY(s.up());
    const qsizetype opens = s.rig.openedAt.size();
    QTimer::singleShot(300, s.rig.window.get(), [&s] {
        for (const int key : {Qt::Key_F12, Qt::Key_F6, Qt::Key_F2})
            s.key(key);
        s.rig.window->close();
    });
    QElapsedTimer timer;
    timer.start();
    s.key(Qt::Key_Escape);
    QVERIFY2(timer.elapsed() < 1000, "the close ends the pause");
    QCOMPARE(s.settle(400), QByteArray("\x0a"));
    QCOMPARE(s.rig.openedAt.size(), opens);
    QVERIFY(!s.rig.window->port().isOpen());
}

void KeysTest::emptyMessagesWriteNothing()
{
    Session s;
    QVERIFY(s.up());
    for (int n = 1; n <= 5; ++n)
        Settings.message(n).clear();
    for (int n = 1; n <= 5; ++n) {
        s.rig.window->statusBar().setPanelText(1, QStringLiteral("before"));
        s.key(Qt::Key_F1 + n - 1);
        QCOMPARE(s.panel(1), QString());
    }
    QCOMPARE(s.settle(), QByteArray());
}

void KeysTest::f12ReinitialisesAndKeepsTune()
{
    Session s;
    QVERIFY(s.up());
    s.key(Qt::Key_F6);
    QCOMPARE(s.settle(), QByteArray::fromHex("0b01"));
    s.mark();
    s.key(Qt::Key_F12);
    QVERIFY(TuneOn);
    QCOMPARE(s.settle(300), seedStartupBytes());
    QCOMPARE(s.panel(1), QStringLiteral("Winkey Online - Firmware Rev.23"));
    s.mark();
    s.key(Qt::Key_F6);
    QCOMPARE(s.panel(1), QString());
    QCOMPARE(s.settle(), QByteArray::fromHex("0b00"));
}

void KeysTest::qIsDiscardedOtherKeysPass()
{
    Session s;
    QVERIFY(s.up());
    // A text box on the window shows what reaches the focused control.
    auto *box = new QLineEdit(s.rig.window.get());
    box->show();
    box->setFocus();
    QTest::keyClicks(box, QStringLiteral("aqQz"));
    QCOMPARE(box->text(), QStringLiteral("aQz"));
    QCOMPARE(s.settle(), QByteArray());
}

void KeysTest::otherKeysWriteNothing()
{
    Session s;
    QVERIFY(s.up());
    for (int key : {int(Qt::Key_F7), int(Qt::Key_F11), int(Qt::Key_A), int(Qt::Key_Return), int(Qt::Key_Tab),
                    int(Qt::Key_Q)}) {
        s.key(key);
    }
    QCOMPARE(s.settle(), QByteArray());
    QCOMPARE(s.panel(1), QStringLiteral("Winkey Online - Firmware Rev.23"));
}

void KeysTest::autoRepeatIsIgnored()
{
    Session s;
    QVERIFY(s.up());
    Settings.Message2 = QStringLiteral("TEST");
    // What the X server sends reaches the window's filter first, then Qt
    // makes a key event of it.
    auto send = [&s](QEvent::Type type, int key, quint32 code, quint32 time, bool repeat = false) {
        xcb_key_press_event_t x{};
        x.response_type = type == QEvent::KeyPress ? XCB_KEY_PRESS : XCB_KEY_RELEASE;
        x.detail = static_cast<xcb_keycode_t>(code);
        x.time = time;
        qintptr result = 0;
        QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &x, &result);
        QKeyEvent event(type, key, Qt::NoModifier, code, 0, 0, QString(), repeat);
        QApplication::sendEvent(s.focused(), &event);
    };
    // Held down: repeats Qt recognised, then repeats whose release and press
    // reached the program apart (each pair shares the X server's time).
    for (const auto &[key, code] : {std::pair{Qt::Key_F2, 68u}, std::pair{Qt::Key_F6, 72u}}) {
        send(QEvent::KeyPress, key, code, 1000);
        send(QEvent::KeyPress, key, code, 1100, true);
        for (quint32 t = 1200; t < 1600; t += 100) {
            send(QEvent::KeyRelease, key, code, t);
            send(QEvent::KeyPress, key, code, t);
        }
        send(QEvent::KeyRelease, key, code, 1650);
    }
    QCOMPARE(s.settle(), QByteArray("TEST") + QByteArray::fromHex("0b01"));
    // A new press after the release is a press.
    send(QEvent::KeyPress, Qt::Key_F6, 72, 2000);
    QVERIFY(!TuneOn);
}

void KeysTest::messageOneIsPacedByFlowControl()
{
    // A small buffer keyed slowly: the message is longer than the chip takes.
    Session s({QStringLiteral("--buffer"), QStringLiteral("12"), QStringLiteral("--char-ms"), QStringLiteral("25")});
    QVERIFY(s.up());
    Settings.Message1 = QStringLiteral("CQ CQ CQ DE ZAVO ZAVO ZAVO TEST TEST K");
    QSignalSpy panels(s.rig.window.get(), &ZavoMain::panelTextChanged);
    const double start = monotonicMs();
    s.key(Qt::Key_F1);
    QCOMPARE(s.panel(1), Settings.Message1);
    QCOMPARE(s.settle(), Settings.Message1.toLatin1());
    QTRY_COMPARE_WITH_TIMEOUT(s.rig.sim.keyed(), Settings.Message1, 5000);

    bool sawXoffText = false;
    for (const QList<QVariant> &change : panels)
        sawXoffText |= change.at(1).toString() == QLatin1String("WinKey Status - XOFF");
    QVERIFY(sawXoffText);

    // After the chip says XOFF, at most the character already on its way arrives
    // before it says the buffer has room again; nothing is dropped.
    int sentXoffs = 0;
    bool held = false;
    int arrivedWhileHeld = 0;
    for (const LogEntry &entry : s.rig.sim.log()) {
        if (entry.t < start)
            continue;
        QVERIFY2(!entry.text.contains(QLatin1String("drop")), qPrintable(entry.text));
        if (entry.kind == QLatin1String("out") && entry.bytes.contains('\xc5')) {
            held = true;
            ++sentXoffs;
            arrivedWhileHeld = 0;
        } else if (entry.kind == QLatin1String("out") && (entry.bytes.contains('\xc4') || entry.bytes.contains('\xc0'))) {
            held = false;
        } else if (entry.kind == QLatin1String("in") && held) {
            arrivedWhileHeld += int(entry.bytes.size());
            QVERIFY2(arrivedWhileHeld <= 1, "text kept coming after XOFF");
        }
    }
    QVERIFY(sentXoffs >= 1);
}

void KeysTest::escapeEndsMessageOneWaitingOnXoff()
{
    Session s({QStringLiteral("--buffer"), QStringLiteral("12"), QStringLiteral("--char-ms"), QStringLiteral("200")});
    QVERIFY(s.up());
    Settings.Message1 = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789");
    // Escape comes while F1 waits for the chip's buffer to drain.
    QTimer::singleShot(600, s.rig.window.get(), [&s] {
        QVERIFY(XoffActive);
        s.key(Qt::Key_Escape);
    });
    s.key(Qt::Key_F1);
    const QByteArray sent = s.settle(400);
    const qsizetype abortAt = sent.indexOf('\x0a');
    QVERIFY(abortAt > 0);
    QVERIFY(abortAt < Settings.Message1.size());
    // Nothing of the message after the abort.
    QCOMPARE(sent.mid(abortAt), QByteArray("\x0a"));
    QVERIFY(Settings.Message1.toLatin1().startsWith(sent.left(abortAt)));
    QVERIFY(s.panel(1) != Settings.Message1);
}

void KeysTest::secondF1IsQueuedNotInterleaved()
{
    Session s({QStringLiteral("--fast")});
    QVERIFY(s.up());
    Settings.Message1 = QStringLiteral("CQ CQ CQ DE ZAVO");
    QTimer::singleShot(40, s.rig.window.get(), [&s] { s.key(Qt::Key_F1); });
    s.key(Qt::Key_F1);
    QCOMPARE(s.settle(), (Settings.Message1 + Settings.Message1).toLatin1());
}

void KeysTest::xoffWaitSleepsInTheEventLoop()
{
    Session s;
    QVERIFY(s.up());
    Settings.Message1 = QStringLiteral("AB");
    s.rig.sim.command(QStringLiteral("raw C5"));
    QTRY_VERIFY(XoffActive);
    int wakeups = 0;
    auto *dispatcher = QAbstractEventDispatcher::instance();
    const auto counter = connect(dispatcher, &QAbstractEventDispatcher::awake, [&wakeups] { ++wakeups; });
    bool handledMeanwhile = false;
    QTimer::singleShot(300, s.rig.window.get(), [&] { handledMeanwhile = true; });
    QTimer::singleShot(1000, s.rig.window.get(), [&s] { s.rig.sim.command(QStringLiteral("raw C4")); });
    s.key(Qt::Key_F1); // waits for the XOFF to clear before its first character
    disconnect(counter);
    QVERIFY(handledMeanwhile);
    QCOMPARE(s.settle(), QByteArray("AB"));
    // A loop polling for the flag would wake up hundreds of thousands of times.
    QVERIFY2(wakeups < 200, qPrintable(QString::number(wakeups)));
}

void KeysTest::closingEndsWaitsPromptly()
{
    {
        Session s;
        QVERIFY(s.up());
        Settings.Message1 = QStringLiteral("AB");
        s.rig.sim.command(QStringLiteral("raw C5"));
        QTRY_VERIFY(XoffActive);
        QTimer::singleShot(200, s.rig.window.get(), [&s] { s.rig.window->close(); });
        QElapsedTimer timer;
        timer.start();
        s.key(Qt::Key_F1);
        QVERIFY(timer.elapsed() < 1000);
        QCOMPARE(s.settle(), QByteArray());
    }
    {
        // The chip goes silent; F12 waits for the echo and the window closes.
        Session s;
        QVERIFY(s.up());
        s.rig.sim.command(QStringLiteral("silent on"));
        QVERIFY(s.rig.sim.waitForLog([](const QList<LogEntry> &log) {
            return !log.isEmpty() && log.last().text == QLatin1String("silent on");
        }, 3000));
        s.mark();
        // F12 sleeps 650 ms before the echo goes; the close comes during its 2 s wait.
        QTimer::singleShot(900, s.rig.window.get(), [&s] { s.rig.window->close(); });
        QElapsedTimer timer;
        timer.start();
        s.key(Qt::Key_F12);
        QVERIFY2(timer.elapsed() < 1500, qPrintable(QString::number(timer.elapsed())));
        QVERIFY(s.rig.terminations.isEmpty());
        QVERIFY(s.rig.messages.isEmpty());
        // The echo went out and nothing after it: the wait ended on the close.
        QCOMPARE(s.settle(), QByteArray::fromHex("0000ff000455"));
    }
}

QTEST_MAIN(KeysTest)
#include "tst_keys.moc"
