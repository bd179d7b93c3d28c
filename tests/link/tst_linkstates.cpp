// The link's state table (docs/link-states.md), walked cell by cell against
// the chip simulator: the link is brought into a state, given one input
// there, and what the chip received, panel 1 and the state it ends in are
// compared with the table. A link that ends up is then asked whether it
// still hears the chip.
#include "keyer/protocol.h"
#include "linkrig.h"

using namespace Zavo;
using State = KeyerLink::State;
using Step = KeyerLink::Step;

namespace {

enum class Input {
    Escape, F1, EditedF1, F2, F6, F12, Update, Knob, Unplug, Plug, F2UpdateEscape, UnplugAndPlug, Close,
    // A logger's requests over the network: its text, its speed, its text then the operator's Escape.
    LoggerText, LoggerSpeed, LoggerTextEscape,
    // F2 and a logger's text wait; the adapter goes; F12 while it is out; it comes back.
    QueuedUnplugF12Plug,
};

const QString kMessage1 = QStringLiteral("CQ TEST");
const QString kMessage2 = QStringLiteral("TU");
const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");
const QString kAny = QStringLiteral("*");

struct Cell {
    State state;
    bool tuned;     // the transmitter keyed before the link is brought into the state
    Input input;
    int cut;        // what the way into the state sends: 0 all of it, 1 a part the input may cut, 2 none
    QByteArray bytes; // from the input on; in Starting, the whole start-up around it
    QString panel1;
    State after;
    Step at = Step::Echo; // Starting: the step the input comes in
};

// What the way into each state sends before the input can act.
QByteArray wayIn(State state, bool tuned)
{
    switch (state) {
    case State::Starting:
        return QByteArray::fromHex("0000ff000455"); // up to the echo test's wait
    case State::Sending:
    case State::Stalled:
        return kMessage1.toLatin1();
    case State::Paused:
        return tuned ? QByteArray::fromHex("0a0b00") : QByteArray::fromHex("0a");
    case State::Closing:
        return tuned ? QByteArray::fromHex("0b00") : QByteArray();
    default:
        return {};
    }
}

} // namespace

Q_DECLARE_METATYPE(Cell)

class LinkStatesTest : public QObject
{
    Q_OBJECT

private slots:
    void table_data();
    void table();
};

void LinkStatesTest::table_data()
{
    QTest::addColumn<Cell>("c");
    const QByteArray up = seedStartupBytes();
    const QByteArray on = QByteArray::fromHex("0b01");
    const QByteArray off = QByteArray::fromHex("0b00");
    const QByteArray abort = QByteArray::fromHex("0a");
    const QByteArray echo = QByteArray::fromHex("0000ff000455");
    const QByteArray m1 = kMessage1.toLatin1();
    const QByteArray m2 = kMessage2.toLatin1();
    const QString lost = KeyerLink::kLostText;
    const QString noPort = KeyerLink::kNoPortText;
    const State down = State::Down, starting = State::Starting, idle = State::Idle, sending = State::Sending,
                stalled = State::Stalled, paused = State::Paused, closing = State::Closing;
    using I = Input;
    // CTest runs the states' rows side by side: ZAVO_SHARD names the state
    // whose rows this run takes.
    const QByteArray only = qgetenv("ZAVO_SHARD");
    auto row = [&only](const char *name, Cell cell) {
        if (only.isEmpty() || QByteArray(name).startsWith(only + ','))
            QTest::newRow(name) << cell;
    };

    row("Down, Escape", {down, false, I::Escape, 0, {}, lost, down});
    row("Down, F1", {down, false, I::F1, 0, {}, lost, down});
    row("Down, F2", {down, false, I::F2, 0, {}, lost, down});
    row("Down, F6", {down, false, I::F6, 0, {}, lost, down});
    row("Down, F12 with the adapter out", {down, false, I::F12, 0, {}, noPort, down});
    row("Down, Update with the adapter out", {down, false, I::Update, 0, {}, noPort, down});
    row("Down, the adapter back", {down, false, I::Plug, 0, up, kOnline, idle});
    row("Down, close", {down, false, I::Close, 0, {}, kAny, closing});

    // The input comes in the echo test's wait.
    row("Starting, Escape", {starting, false, I::Escape, 0, echo + abort + up.mid(echo.size()), kOnline, idle});
    row("Starting, tuned", {starting, true, I::F2, 0, off + up + m2, m2, idle});
    row("Starting, F1", {starting, false, I::F1, 0, up + m1, m1, idle});
    row("Starting, F6", {starting, false, I::F6, 0, up + on, "Tune", idle});
    row("Starting, F12", {starting, false, I::F12, 0, up, kOnline, idle});
    row("Starting, Update", {starting, false, I::Update, 0, up + up, kOnline, idle});
    row("Starting, knob", {starting, false, I::Knob, 0, up, kOnline, idle});
    row("Starting, the adapter goes", {starting, false, I::Unplug, 1, {}, lost, down});
    row("Starting, close", {starting, false, I::Close, 0, echo, kAny, closing});
    // The other steps. Before the echo test Escape writes nothing: a byte
    // then would reach the chip before or inside its calibration.
    row("Starting, Update's pause, F1", {starting, false, I::F1, 0, up + m1, m1, idle, Step::ReinitPause});
    row("Starting, Update's pause, close", {starting, false, I::Close, 0, {}, kAny, closing, Step::ReinitPause});
    row("Starting, open pause, the adapter goes", {starting, false, I::Unplug, 1, {}, lost, down, Step::OpenPause});
    row("Starting, open pause, close", {starting, false, I::Close, 0, {}, kAny, closing, Step::OpenPause});
    row("Starting, calibration, Escape", {starting, false, I::Escape, 0, up, kOnline, idle, Step::Calibrate});
    row("Starting, revision, Escape", {starting, false, I::Escape, 0, echo + QByteArray::fromHex("0002") + abort + up.mid(echo.size() + 2), kOnline, idle, Step::Revision});
    // The start-up still runs in its last pause: F12 is that start-up, and
    // what comes after it is not undone by a second one.
    row("Starting, block pause, F12", {starting, false, I::F12, 0, up, kOnline, idle, Step::BlockPause});
    row("Starting, block pause, F6", {starting, false, I::F6, 0, up + on, "Tune", idle, Step::BlockPause});
    row("Starting, block pause, Escape", {starting, false, I::Escape, 0, up.left(up.size() - 1) + abort + "\x07", "", idle, Step::BlockPause});
    row("Starting, block pause, logger speed", {starting, false, I::LoggerSpeed, 0, up + QByteArray::fromHex("0228"), kOnline, idle, Step::BlockPause});
    // The adapter is out when F12 comes: the box, then the chooser, which
    // the operator cancels. What came meanwhile waited, and goes with the link.
    row("Starting, asking, F1", {starting, false, I::F1, 0, {}, noPort, down, Step::Asking});
    row("Starting, asking, Escape", {starting, false, I::Escape, 0, {}, kAny, down, Step::Asking});
    row("Starting, asking, close", {starting, false, I::Close, 0, {}, kAny, closing, Step::Asking});
    row("Starting, block pause, close", {starting, false, I::Close, 0, up.left(up.size() - 1), kAny, closing, Step::BlockPause});

    row("Idle, Escape", {idle, false, I::Escape, 0, abort, "", idle});
    row("Idle, tuned, Escape", {idle, true, I::Escape, 0, abort + off, "", idle});
    row("Idle, F1", {idle, false, I::F1, 0, m1, m1, idle});
    row("Idle, F2", {idle, false, I::F2, 0, m2, m2, idle});
    row("Idle, tuned, F2", {idle, true, I::F2, 0, {}, "Tune", idle});
    row("Idle, F6", {idle, false, I::F6, 0, on, "Tune", idle});
    row("Idle, tuned, F6", {idle, true, I::F6, 0, off, "", idle});
    row("Idle, F12", {idle, false, I::F12, 0, up, kOnline, idle});
    row("Idle, tuned, F12", {idle, true, I::F12, 0, off + up, kOnline, idle});
    row("Idle, tuned, Update", {idle, true, I::Update, 0, off + up, kOnline, idle});
    row("Idle, knob", {idle, false, I::Knob, 0, {}, kAny, idle});
    // A chip that kept its power may still be keying: keyed up once back.
    row("Idle, tuned, the adapter goes and comes back", {idle, true, I::UnplugAndPlug, 0, up + off, kOnline, idle});
    row("Idle, tuned, close", {idle, true, I::Close, 0, off, kAny, closing});

    // The input comes after message 1's first character.
    row("Sending, Escape", {sending, false, I::Escape, 1, abort, "", idle});
    row("Sending, F1", {sending, false, I::F1, 0, m1, m1, idle});
    // What goes out is the text F1 was pressed for; an edit counts from the next F1.
    row("Sending, message 1 edited, F1", {sending, false, I::EditedF1, 0, "EDITED", "EDITED", idle});
    row("Sending, F2", {sending, false, I::F2, 0, m2, m2, idle});
    row("Sending, F6", {sending, false, I::F6, 0, on, "Tune", idle});
    row("Sending, F12", {sending, false, I::F12, 0, up, kOnline, idle});
    // Escape drops the F2 that waits, not the stored settings.
    row("Sending, F2, Update, then Escape", {sending, false, I::F2UpdateEscape, 1, abort + up, kOnline, idle});
    row("Sending, knob", {sending, false, I::Knob, 0, {}, m1, idle});
    row("Sending, the adapter goes", {sending, false, I::Unplug, 1, {}, lost, down});
    // Nothing that waited is keyed unasked; F12 while down still tries.
    row("Sending, F2 and a logger's text wait, the adapter goes, F12, it comes back",
        {sending, false, I::QueuedUnplugF12Plug, 1, up, kOnline, idle});
    row("Sending, close", {sending, false, I::Close, 1, {}, kAny, closing});

    // The chip holds XOFF before message 1's first character; it says XON
    // 300 ms after the input.
    row("Stalled, Escape", {stalled, false, I::Escape, 2, abort, "", idle});
    row("Stalled, F1", {stalled, false, I::F1, 0, m1, m1, idle});
    row("Stalled, F2", {stalled, false, I::F2, 0, m2, m2, idle});
    // The chip's buffer may still be full after the start-up: its status says.
    const QByteArray status = QByteArray::fromHex("15");
    row("Stalled, F12", {stalled, false, I::F12, 2, up + status, kOnline, idle});
    row("Stalled, Update", {stalled, false, I::Update, 2, up + status, kOnline, idle});
    row("Stalled, knob", {stalled, false, I::Knob, 0, {}, m1, idle});
    row("Stalled, the adapter goes", {stalled, false, I::Unplug, 2, {}, lost, down});
    row("Stalled, close", {stalled, false, I::Close, 2, {}, kAny, closing});

    // The input comes during the pause of an Escape pressed while idle.
    row("Paused, Escape", {paused, false, I::Escape, 0, abort, "", idle});
    row("Paused, F1", {paused, false, I::F1, 0, m1, m1, idle});
    row("Paused, F2", {paused, false, I::F2, 0, m2, m2, idle});
    row("Paused, F6", {paused, false, I::F6, 0, on, "Tune", idle});
    row("Paused, F12", {paused, false, I::F12, 0, up, kOnline, idle});
    row("Paused, Update", {paused, false, I::Update, 0, up, kOnline, idle});
    row("Paused, knob", {paused, false, I::Knob, 0, {}, "", idle});
    row("Paused, the adapter goes", {paused, false, I::Unplug, 1, {}, lost, down});
    row("Paused, the adapter goes and comes back", {paused, false, I::UnplugAndPlug, 1, up, kOnline, idle});
    row("Paused, close", {paused, false, I::Close, 0, {}, kAny, closing});

    // A logger's request, in each state: its text waits its turn like F1
    // (and like F2 while tuned, it does not go); its speed goes in turn.
    // Pinned to the speed it was sent with, the knob's 25 WPM.
    const QByteArray tu = QByteArray::fromHex("1c19") + "TU" + QByteArray::fromHex("1e");
    const QByteArray speed40 = QByteArray::fromHex("0228");
    row("Down, logger text", {down, false, I::LoggerText, 0, {}, lost, down});
    row("Down, logger speed", {down, false, I::LoggerSpeed, 0, {}, lost, down});
    row("Starting, logger text", {starting, false, I::LoggerText, 0, up + tu, "TU", idle});
    row("Idle, logger text", {idle, false, I::LoggerText, 0, tu, "TU", idle});
    row("Idle, tuned, logger text", {idle, true, I::LoggerText, 0, {}, "Tune", idle});
    row("Idle, logger text, then Escape", {idle, false, I::LoggerTextEscape, 0, abort, "", idle});
    row("Sending, logger text", {sending, false, I::LoggerText, 0, tu, "TU", idle});
    row("Sending, logger speed", {sending, false, I::LoggerSpeed, 0, speed40, m1, idle});
    row("Sending, logger text, then Escape", {sending, false, I::LoggerTextEscape, 1, abort, "", idle});
    row("Stalled, logger text", {stalled, false, I::LoggerText, 0, tu, "TU", idle});
    row("Paused, logger text", {paused, false, I::LoggerText, 0, tu, "TU", idle});
    row("Paused, logger speed", {paused, false, I::LoggerSpeed, 0, speed40, "", idle});
    row("Closing, logger text", {closing, false, I::LoggerText, 0, {}, kAny, closing});

    row("Closing, Escape", {closing, true, I::Escape, 0, {}, kAny, closing});
    row("Closing, F1", {closing, false, I::F1, 0, {}, kAny, closing});
    row("Closing, F6", {closing, false, I::F6, 0, {}, kAny, closing});
    row("Closing, F12", {closing, false, I::F12, 0, {}, kAny, closing});
    row("Closing, Update", {closing, false, I::Update, 0, {}, kAny, closing});
}

void LinkStatesTest::table()
{
    QFETCH(Cell, c);
    LinkRig rig;
    QVERIFY(rig.up());
    Settings.Message1 = kMessage1;
    Settings.Message2 = kMessage2;
    KeyerLink &link = *rig.link;
    if (c.tuned) {
        link.press(Qt::Key_F6);
        QCOMPARE(rig.settle(), QByteArray::fromHex("0b01"));
    }
    if (c.state == State::Down) {
        QVERIFY(rig.unplug());
        QTRY_COMPARE(link.state(), State::Down);
    } else if (c.state == State::Stalled) {
        rig.sim.command(QStringLiteral("raw C5"));
        QTRY_VERIFY(XoffActive);
    }
    rig.mark();

    bool delivered = false;
    const bool endsWaits =
        c.input == Input::Unplug || c.input == Input::Close || c.input == Input::QueuedUnplugF12Plug;
    auto deliver = [&] {
        if (std::exchange(delivered, true))
            return;
        switch (c.input) {
        case Input::Escape: link.press(Qt::Key_Escape); break;
        case Input::F1: link.press(Qt::Key_F1); break;
        case Input::EditedF1:
            Settings.Message1 = QStringLiteral("EDITED");
            link.press(Qt::Key_F1);
            break;
        case Input::F2: link.press(Qt::Key_F2); break;
        case Input::F6: link.press(Qt::Key_F6); break;
        case Input::F12: link.press(Qt::Key_F12); break;
        case Input::Update: link.settingsUpdate(); break;
        case Input::F2UpdateEscape:
            link.press(Qt::Key_F2);
            link.settingsUpdate();
            link.press(Qt::Key_Escape);
            break;
        case Input::Knob: rig.sim.command(QStringLiteral("pot 20")); break;
        case Input::Unplug: QVERIFY(rig.unplug()); break;
        case Input::Plug: QVERIFY(rig.plug()); break;
        case Input::UnplugAndPlug:
            QVERIFY(rig.unplug());
            QTRY_COMPARE(link.state() == State::Down || link.state() == State::Paused, true);
            QVERIFY(rig.plug());
            break;
        case Input::Close: link.shutdown(); break;
        case Input::LoggerText: link.networkRequest(Cwdaemon::parse("tu")); break;
        case Input::LoggerSpeed: link.networkRequest(Cwdaemon::parse("\x1B" "240")); break;
        case Input::QueuedUnplugF12Plug:
            link.press(Qt::Key_F2);
            link.networkRequest(Cwdaemon::parse("tu"));
            QVERIFY(rig.unplug());
            QTRY_COMPARE(link.state(), State::Down);
            link.press(Qt::Key_F12);
            QTRY_COMPARE(rig.chooserShown, 1);
            QVERIFY(rig.plug());
            break;
        case Input::LoggerTextEscape:
            link.networkRequest(Cwdaemon::parse("tu"));
            link.press(Qt::Key_Escape);
            break;
        }
        // A wait the input ends must end at once, not on XON or a deadline
        // (the echo test's is 2 s away).
        if (c.state == State::Stalled && !endsWaits)
            QTimer::singleShot(300, &link, [&rig] { rig.sim.command(QStringLiteral("raw C4")); });
    };
    // In a start-up the input comes in the step the row names.
    QObject::connect(&link, &KeyerLink::stepChanged, &link, [&](Step step) {
        if (c.state == State::Starting && step == c.at)
            QTimer::singleShot(0, &link, deliver);
    });
    switch (c.state) {
    case State::Starting:
        if (c.at == Step::ReinitPause) {
            link.settingsUpdate();
        } else if (c.at == Step::Asking) {
            QVERIFY(rig.unplug());
            QTRY_COMPARE(link.state(), State::Down);
            link.press(Qt::Key_F12);
        } else {
            link.press(Qt::Key_F12);
        }
        break;
    case State::Sending:
    case State::Stalled: link.press(Qt::Key_F1); break;
    case State::Paused: link.press(Qt::Key_Escape); break;
    case State::Closing: link.shutdown(); break;
    default: break;
    }
    if (c.state != State::Starting)
        deliver();
    QTRY_VERIFY(delivered);

    QTRY_COMPARE_WITH_TIMEOUT(link.state(), c.after, 10000);
    const QByteArray sent = rig.settle(400);
    // A start-up's rows give all it sends, the input's bytes among them.
    const QByteArray before = c.cut == 2 || (c.cut == 0 && c.state == State::Starting) ? QByteArray()
                                                                                   : wayIn(c.state, c.tuned);
    if (c.cut == 1) {
        QVERIFY2(sent.endsWith(c.bytes) && before.startsWith(sent.left(sent.size() - c.bytes.size())),
                 sent.toHex(' ').constData());
    } else {
        QCOMPARE(sent.toHex(' '), (before + c.bytes).toHex(' '));
    }
    // The link's own last word in panel 1; the chip's status texts come
    // and go with its keying.
    if (c.panel1 != kAny)
        QCOMPARE(rig.ownPanel1(), c.panel1);
    QCOMPARE(TuneOn, c.panel1 == QLatin1String("Tune"));
    const bool escaped =
        c.input == Input::Escape || c.input == Input::F2UpdateEscape || c.input == Input::LoggerTextEscape;
    if ((escaped || c.state == State::Paused) && c.state != State::Closing)
        QVERIFY(rig.panelLog.contains(std::pair(1, QStringLiteral("Aborted!"))));
    if (c.after == State::Down) {
        // The chip's XOFF went with its power, and nothing polls the dead device.
        QVERIFY(!XoffActive);
        QEventLoop idle;
        QTimer::singleShot(1000, &idle, &QEventLoop::quit);
        QVERIFY2(wakeupsWhile([&idle] { idle.exec(); }) < 50, "a dead device is polled");
    }
    // F12 with the adapter out: told once, offered the chooser; Cancel keeps
    // the port stored.
    const bool asked = c.state == State::Starting && c.at == Step::Asking;
    if (asked) {
        // Closed while asking: the box's answer asks nothing more.
        QCOMPARE(rig.messages.size(), 1);
        QCOMPARE(rig.chooserShown, c.input == Input::Close ? 0 : 1);
    } else if ((c.state == State::Down && (c.input == Input::F12 || c.input == Input::Update))
               || c.input == Input::QueuedUnplugF12Plug) {
        QCOMPARE(rig.chooserShown, 1);
        QVERIFY2(rig.messages.size() == 1 && rig.messages.first().contains(rig.sim.linkPath()),
                 qPrintable(rig.messages.join(QLatin1Char('|'))));
        QCOMPARE(rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")),
                 rig.sim.linkPath());
    } else {
        QCOMPARE(rig.messages, QStringList()); // nobody is asked anything unasked
    }
    QVERIFY(rig.terminations.isEmpty());
    if (c.input == Input::Knob)
        QTRY_COMPARE(rig.panels.value(3), QStringLiteral("30 WPM"));
    // A link that is up hears the chip again: the knob, and an XOFF that
    // holds message 1 until XON.
    if (c.after == State::Idle) {
        rig.sim.command(QStringLiteral("pot 5"));
        QTRY_COMPARE(rig.panels.value(3), QStringLiteral("15 WPM"));
        QVERIFY(rig.simulator(QStringLiteral("xoff")));
        QTRY_VERIFY(XoffActive);
        rig.mark();
        QTimer::singleShot(300, &link, [&rig] {
            QCOMPARE(rig.since(), QByteArray());
            rig.sim.command(QStringLiteral("xon"));
        });
        link.press(Qt::Key_F1);
        QTRY_COMPARE(rig.since(), Settings.Message1.toLatin1());
        QTRY_COMPARE(link.state(), State::Idle);
    }
}

QTEST_GUILESS_MAIN(LinkStatesTest)
#include "tst_linkstates.moc"
