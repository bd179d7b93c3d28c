// A logger keying through the link: our own cwdaemon client on loopback,
// the server and the link in this process, the chip simulator on a pty.
#include "keyer/cwdaemonserver.h"
#include "linkrig.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QUdpSocket>

#include <arpa/inet.h>
#include <sys/socket.h>

namespace {

const QByteArray kEsc("\x1B");

// A logger's text as the chip receives it: pinned to the speed it was sent
// with (the knob's 25 WPM unless the logger set one), then back.
QByteArray pinned(const QByteArray &text, int wpm = 25)
{
    return "\x1C" + QByteArray(1, char(wpm)) + text + "\x1E";
}

// This process's IPv4 socket bound to the port (the server's) and its
// address: what it sends itself comes from the server's own address and port.
std::pair<int, sockaddr_in> boundSocket(quint16 port)
{
    for (int fd = 3; fd < 1024; ++fd) {
        sockaddr_in address{};
        socklen_t size = sizeof address;
        if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &size) == 0
            && address.sin_family == AF_INET && ntohs(address.sin_port) == port)
            return {fd, address};
    }
    return {-1, {}};
}

// The link with the server on it, and a logger's socket on loopback that
// sends the server requests and collects its replies.
struct NetRig : LinkRig {
    using LinkRig::LinkRig;
    bool serve(std::optional<int> simCharacterMs = {})
    {
        characterMs = simCharacterMs;
        if (!up())
            return false;
        server = std::make_unique<CwdaemonServer>(*link);
        QObject::connect(&logger, &QUdpSocket::readyRead, [this] {
            while (logger.hasPendingDatagrams())
                replies << logger.receiveDatagram().data();
        });
        return server->listen(QHostAddress::LocalHost, 0) && logger.bind(QHostAddress::LocalHost, 0);
    }
    void send(const QByteArrayList &datagrams)
    {
        for (const QByteArray &datagram : datagrams)
            logger.writeDatagram(datagram, QHostAddress::LocalHost, server->localPort());
    }
    std::unique_ptr<CwdaemonServer> server;
    QUdpSocket logger;
    QByteArrayList replies;
};

} // namespace

class NetKeyingTest : public QObject
{
    Q_OBJECT

private slots:
    // Each request as the chip receives it, and what the client hears back.
    // The seed's block: sidetone 05, weight 50, lead 0, tail 0, pins 05.
    void requests_data()
    {
        QTest::addColumn<QByteArrayList>("datagrams");
        QTest::addColumn<QByteArray>("chip");
        QTest::addColumn<QByteArrayList>("replies");
        const QByteArrayList none;
        QTest::newRow("text") << QByteArrayList{"cq de dl1zzz\r\n"} << pinned("CQ DE DL1ZZZ") << none;
        QTest::newRow("speed, then marks between characters")
            << QByteArrayList{kEsc + "230", "5nn ++tu--"}
            << QByteArray::fromHex("021e" "1c1e" "354e4e20" "1c20" "1c22" "5455" "1c20" "1c1e" "1e") << none;
        QTest::newRow("caret on speed marks alone: nothing to key, the reply at once")
            << QByteArrayList{"++^"} << QByteArray::fromHex("1c19" "1c1b" "1c1d" "1e") << QByteArrayList{"++\r\n"};
        QTest::newRow("reply request: once, for the next text, a caret's reply over it")
            << QByteArrayList{kEsc + "hcat", "purring", "e", kEsc + "hdog", "tu^", "e"}
            << pinned("PURRING") + "\x15" + pinned("E") + pinned("TU") + "\x15" + pinned("E")
            << QByteArrayList{"hcat\r\n", "tu\r\n"};
        QTest::newRow("settings as the chip's commands")
            << QByteArrayList{kEsc + "7-50", kEsc + "3600", kEsc + "30", kEsc + "3800", kEsc + "d20", kEsc + "a1"}
            << QByteArray::fromHex("030a" "0107" "0905" "0105" "0905" "040200" "1801") << none;
        QTest::newRow("reset: the operator's own values back")
            << QByteArrayList{kEsc + "240", kEsc + "a1", kEsc + "0"}
            << QByteArray::fromHex("0228" "1801" "0200" "0332" "0105" "0905" "040000" "1800" "07") << none;
        // The knob's answer to the reset comes after the speed: it is no turn of the knob.
        QTest::newRow("reset, then speed")
            << QByteArrayList{kEsc + "0", kEsc + "230"}
            << QByteArray::fromHex("0200" "0332" "0105" "0905" "040000" "07" "021e") << none;
        QTest::newRow("reset: the logger's text that waits goes no more, nor its reply request")
            << QByteArrayList{"ee", kEsc + "hgone", kEsc + "0", "e"}
            << QByteArray::fromHex("0200" "0332" "0105" "0905" "040000" "07") + pinned("E") << none;
        QTest::newRow("nothing for what the chip must not do")
            << QByteArrayList{kEsc + "5", kEsc + "8/dev/ttyS0", kEsc + "299", kEsc + "f", kEsc + "g70",
                              QByteArray(300, 'e'), ""}
            << QByteArray() << none;
    }

    void requests()
    {
        QFETCH(QByteArrayList, datagrams);
        NetRig rig({QStringLiteral("--fast")});
        QVERIFY(rig.serve(1));
        rig.send(datagrams);
        QTEST(rig.settle(), "chip");
        QTEST(rig.replies, "replies");
        QVERIFY(rig.link->isUp());
        QVERIFY(rig.terminations.isEmpty()); // ESC5 is never honoured
    }

    // A datagram forged to come from the server itself is dropped: its
    // reply would come back as one more text, keyed and answered again.
    void forgedFromTheServerIsDropped()
    {
        NetRig rig({QStringLiteral("--fast")});
        QVERIFY(rig.serve(1));
        const auto [server, address] = boundSocket(rig.server->localPort());
        QVERIFY(server >= 0);
        QCOMPARE(::sendto(server, "e^", 2, 0, reinterpret_cast<const sockaddr *>(&address), sizeof address), 2);
        rig.send({"t^"});
        QTRY_COMPARE(rig.replies, QByteArrayList{"t\r\n"});
        QCOMPARE(rig.settle(), pinned("T") + "\x15");
    }

    // Escape, the operator's or the logger's, takes the logger's text and
    // PTT off the air, and the sender hears "break"; what waited is gone too.
    // A text sent after the abort, within its pause, is keyed once it ends.
    void abortSaysBreak_data()
    {
        QTest::addColumn<bool>("byLogger");
        QTest::newRow("ESC4") << true;
        QTest::newRow("the operator's Escape") << false;
    }

    void abortSaysBreak()
    {
        QFETCH(bool, byLogger);
        NetRig rig({QStringLiteral("--char-ms"), QStringLiteral("40")});
        QVERIFY(rig.serve(1));
        rig.send({kEsc + "a1", "cq cq cq de dl1zzz^", kEsc + "hdog", "test"});
        QTRY_VERIFY(rig.sim.keyed().contains('Q'));
        if (byLogger)
            rig.send({kEsc + "4", "after^"});
        else
            rig.link->press(Qt::Key_Escape);
        QTRY_COMPARE(rig.replies, (QByteArrayList{"break\r\n", "break\r\n"}));
        if (!byLogger)
            rig.send({"after^"});
        QTRY_COMPARE_WITH_TIMEOUT(rig.replies.size(), 3, 5000);
        QCOMPARE(rig.replies.last(), QByteArray("after\r\n"));
        QVERIFY(rig.settle().endsWith(QByteArray::fromHex("0a1800") + pinned("AFTER") + "\x15"));
        QVERIFY(!rig.sim.keyed().contains("TEST"));
    }

    // A logger's PTT goes off before the port closes, whatever ends the
    // link: the close, F12 or the settings Update. A text of its still on
    // the air is cleared first: the PTT off would wait behind it in the chip.
    void loggerPttReleasedAtTheEnd_data()
    {
        QTest::addColumn<int>("end");
        QTest::addColumn<bool>("texting");
        QTest::newRow("close") << 0 << false;
        QTest::newRow("F12") << int(Qt::Key_F12) << false;
        QTest::newRow("Update") << KeyerLink::kSettingsUpdate << false;
        QTest::newRow("close, a text keying") << 0 << true;
        QTest::newRow("F12, a text keying") << int(Qt::Key_F12) << true;
    }

    void loggerPttReleasedAtTheEnd()
    {
        QFETCH(int, end);
        QFETCH(bool, texting);
        NetRig rig({QStringLiteral("--char-ms"), QStringLiteral("40")});
        QVERIFY(rig.serve());
        rig.send({kEsc + "a1"});
        QTRY_COMPARE(rig.since(), QByteArray::fromHex("1801"));
        if (texting) {
            rig.send({"cq de dl1zzz dl1zzz test^"});
            QTRY_VERIFY(rig.sim.keyed().contains('Q'));
        }
        const QByteArray release = QByteArray::fromHex(texting ? "0a1800" : "1800");
        if (end == 0) {
            rig.link->shutdown();
            QVERIFY2(rig.settle().endsWith(release), rig.since().toHex(' ').constData());
        } else {
            QVERIFY(rig.restart([&rig, end] { rig.link->press(end); }));
            QVERIFY2(rig.settle().endsWith(release + seedStartupBytes()), rig.since().toHex(' ').constData());
        }
        QVERIFY(rig.since().startsWith(QByteArray::fromHex("1801")));
        QVERIFY(!rig.sim.keyed().contains("TEST"));
        // Its sender hears at once that it went off the air.
        QCOMPARE(rig.replies, texting ? QByteArrayList{"break\r\n"} : QByteArrayList());
    }

    // A request takes effect after the text sent before it: the chip keys
    // that text at the speed it was sent with, as the daemon does.
    void requestAfterATextWaitsForIt_data()
    {
        QTest::addColumn<QByteArray>("request");
        QTest::newRow("speed") << kEsc + "230";
        QTest::newRow("reset") << kEsc + "0";
    }

    void requestAfterATextWaitsForIt()
    {
        QFETCH(QByteArray, request);
        NetRig rig({QStringLiteral("--char-ms"), QStringLiteral("30")});
        QVERIFY(rig.serve());
        const int knob = rig.link->keyingWpm();
        rig.send({kEsc + "235", "test test"});
        QTRY_VERIFY(rig.sim.keyed().startsWith('T'));
        rig.send({request, "e^"});
        QTRY_COMPARE(rig.replies, QByteArrayList{"e\r\n"});
        const QList<KeyedAt> keyed = rig.sim.keyedAt();
        QCOMPARE(keyed.size(), 10);
        for (qsizetype i = 0; i < 9; ++i)
            QCOMPARE(keyed.at(i), KeyedAt(QString::fromLatin1("TEST TEST").mid(i, 1), 35));
        QCOMPARE(keyed.last(), KeyedAt(QStringLiteral("E"), request == kEsc + "230" ? 30 : knob));
    }

    // The chip's idle ends a text only after it said busy for it: an idle
    // already on its way when the text went out is no answer. Taken for the
    // answer to the link's own 15, it leaves panel 1 to the logger's text.
    void replyWaitsForBusyThenIdle()
    {
        NetRig rig;
        QVERIFY(rig.serve());
        QVERIFY(rig.simulator(QStringLiteral("silent on")));
        QSignalSpy ended(rig.link.get(), &KeyerLink::networkTextEnded);
        rig.send({"tu^"});
        QTRY_VERIFY(rig.since().endsWith('\x15'));
        // The idle, then a knob report that shows it was read.
        rig.sim.command(QStringLiteral("raw C0 81"));
        QTRY_COMPARE(rig.panels.value(3), QStringLiteral("11 WPM"));
        QCOMPARE(rig.panels.value(1), QStringLiteral("TU"));
        QCOMPARE(ended.count(), 0);
        rig.sim.command(QStringLiteral("raw C4 C0"));
        QTRY_COMPARE(rig.replies, QByteArrayList{"tu\r\n"});
    }

    // The paddles breaking in take the logger's text off the air like
    // Escape: the rest of it and what waited never go.
    void paddlesBreakIn()
    {
        NetRig rig({QStringLiteral("--char-ms"), QStringLiteral("40")});
        QVERIFY(rig.serve(30));
        // From inside the link's pacing, a few characters in.
        QTimer::singleShot(150, rig.link.get(), [&rig] { rig.sim.command(QStringLiteral("raw C2")); });
        rig.send({"cq cq cq cq cq cq cq cq de dl1zzz^", "test"});
        QTRY_COMPARE(rig.replies, QByteArrayList{"break\r\n"});
        const QByteArray chip = rig.settle();
        QVERIFY2(!chip.contains("DL1ZZZ") && !chip.contains("TEST"), chip.constData());
        QCOMPARE(rig.link->state(), KeyerLink::State::Idle);
    }

    // Aborts behind an Escape, the logger's own or the operator's, start no
    // second pause (tlf sends two) and drop nothing the operator pressed in
    // the first; the loggers' texts sent in it they do stop.
    void repeatedAbortIsOneEscape_data()
    {
        QTest::addColumn<bool>("byLogger");
        QTest::newRow("the logger's first") << true;
        QTest::newRow("the operator's first") << false;
    }

    void repeatedAbortIsOneEscape()
    {
        QFETCH(bool, byLogger);
        NetRig rig;
        QVERIFY(rig.serve());
        QSignalSpy pauses(rig.link.get(), &KeyerLink::pauseStarted);
        QObject::connect(rig.link.get(), &KeyerLink::pauseStarted, rig.link.get(), [&rig] {
            QTimer::singleShot(100, rig.link.get(), [&rig] {
                rig.link->press(Qt::Key_F2);
                rig.send({"cq^", kEsc + "4", kEsc + "4"});
            });
        });
        if (byLogger)
            rig.send({kEsc + "4"});
        else
            rig.link->press(Qt::Key_Escape);
        QTRY_COMPARE(pauses.count(), 1);
        QTRY_COMPARE_WITH_TIMEOUT(rig.link->state(), KeyerLink::State::Idle, 5000);
        QCOMPARE(rig.settle(), "\x0A" + Zavo::Settings.Message2.toLatin1());
        QCOMPARE(pauses.count(), 1);
        QCOMPARE(rig.replies, QByteArrayList{"break\r\n"});
    }

    // Settings are not air time: the operator's Escape keeps a logger's
    // queued reset and speed, and a reset that drops a logger's queued text
    // tells its sender break.
    void escapeAndResetKeepTheLoggersWord()
    {
        NetRig rig({QStringLiteral("--fast")});
        QVERIFY(rig.serve());
        Zavo::Settings.Message1 = QStringLiteral("CQ CQ CQ CQ CQ CQ");
        rig.link->press(Qt::Key_F1); // paced: what follows waits its turn
        QSignalSpy ended(rig.link.get(), &KeyerLink::networkTextEnded);
        QVERIFY(rig.link->networkRequest(Cwdaemon::parse("tu^"), 7));
        QVERIFY(rig.link->networkRequest(Cwdaemon::parse(kEsc + "0")));
        QCOMPARE(ended.count(), 1);
        QCOMPARE(ended.first().at(1).value<KeyerLink::TextOutcome>(), KeyerLink::TextOutcome::Aborted);
        QVERIFY(rig.link->networkRequest(Cwdaemon::parse(kEsc + "240")));
        rig.link->press(Qt::Key_Escape);
        QTRY_COMPARE_WITH_TIMEOUT(rig.link->state(), KeyerLink::State::Idle, 5000);
        const QByteArray chip = rig.settle();
        QCOMPARE(chip.mid(chip.indexOf('\x0a') + 1).toHex(' '),
                 QByteArray::fromHex("0200" "0332" "0105" "0905" "040000" "07" "0228").toHex(' '));
        QCOMPARE(rig.panels.value(3), QStringLiteral("40 WPM"));
        QCOMPARE(rig.link->keyingWpm(), 40);
    }

    // Escape at any moment behind a logger's PTT on, reset and text with
    // speed marks: what it drops goes whole, so the chip reads the clear as
    // a clear (never as a weight or a speed), and PTT ends off.
    void escapeNeverSplitsACommand()
    {
        NetRig rig({QStringLiteral("--baud"), QStringLiteral("1200")});
        QVERIFY(rig.serve(1));
        for (int offsetMs = 0; offsetMs <= 90; offsetMs += 10) {
            const int clears = int(rig.sim.events(QStringLiteral("clear")).size());
            rig.link->networkRequest(Cwdaemon::parse(kEsc + "a1"));
            rig.link->networkRequest(Cwdaemon::parse(kEsc + "0"));
            rig.link->networkRequest(Cwdaemon::parse("5nn ++tu"));
            QTest::qWait(offsetMs);
            rig.link->press(Qt::Key_Escape);
            QVERIFY2(rig.sim.waitForEvent(QStringLiteral("clear"), clears + 1), qPrintable(QString::number(offsetMs)));
            QTRY_COMPARE_WITH_TIMEOUT(rig.link->state(), KeyerLink::State::Idle, 5000);
            QTRY_VERIFY(rig.sim.events(QStringLiteral("ptt o")).value(0) != QLatin1String("ptt on")
                        || rig.sim.events(QStringLiteral("ptt o")).last() == QLatin1String("ptt off"));
        }
        QCOMPARE(rig.sim.events(QStringLiteral("weight 10")), QStringList());
        QCOMPARE(rig.sim.events(QStringLiteral("buffered speed 10")), QStringList());
    }

    // F12 on a logger's text stalled by XOFF: its sender hears break, and
    // the chip's buffer, still full after the start-up, holds the next text
    // back as it should: nothing is dropped, and its reply is honest.
    void f12OnAStalledText()
    {
        NetRig rig({QStringLiteral("--buffer"), QStringLiteral("24"), QStringLiteral("--char-ms"), QStringLiteral("60")});
        QVERIFY(rig.serve(1));
        rig.send({QByteArray(60, 'e') + "^"});
        QTRY_COMPARE(rig.link->state(), KeyerLink::State::Stalled);
        QVERIFY(rig.restart([&rig] { rig.link->press(Qt::Key_F12); }));
        rig.send({QByteArray(40, 't') + "^"});
        QTRY_COMPARE_WITH_TIMEOUT(rig.replies.size(), 2, 15000);
        QCOMPARE(rig.replies.first(), QByteArray("break\r\n"));
        QCOMPARE(rig.sim.events(QStringLiteral("drop")), QStringList());
        QCOMPARE(rig.sim.keyed().count(QLatin1Char('T')), 40);
    }

    // More datagrams back to back than a turn reads: the rest are read
    // too, and the abort among the last of them still clears the air.
    void burstIsReadWhole()
    {
        NetRig rig({QStringLiteral("--char-ms"), QStringLiteral("40")});
        QVERIFY(rig.serve());
        rig.send({"cq cq cq cq cq cq cq cq de dl1zzz^"});
        QTRY_VERIFY(rig.since().contains('Q'));
        for (int i = 0; i < 40; ++i)
            rig.send({kEsc + (i % 2 == 0 ? "230" : "232")});
        rig.send({kEsc + "4"});
        QTRY_COMPARE(rig.replies, QByteArrayList{"break\r\n"});
    }

    // The knob is the operator's: turned, it takes the speed back.
    void knobWins()
    {
        NetRig rig;
        QVERIFY(rig.serve());
        // The reset's knob read answers after the speed: panel 3 keeps the speed keyed.
        rig.send({kEsc + "0", kEsc + "240"});
        QTRY_COMPARE(rig.link->keyingWpm(), 40);
        rig.settle();
        QCOMPARE(rig.panels.value(3), QStringLiteral("40 WPM"));
        QVERIFY(rig.simulator(QStringLiteral("pot 20"), QStringLiteral("pot 20")));
        QTRY_VERIFY(rig.since().endsWith(QByteArray::fromHex("0200")));
        QCOMPARE(rig.link->keyingWpm(), 30);
        QCOMPARE(rig.panels.value(3), QStringLiteral("30 WPM"));
    }

    // Tune for a number of seconds ends by itself.
    void tuneEnds()
    {
        NetRig rig;
        QVERIFY(rig.serve());
        rig.send({kEsc + "c1"});
        QTRY_COMPARE(rig.since(), QByteArray::fromHex("0b01"));
        QTRY_COMPARE_WITH_TIMEOUT(rig.since(), QByteArray::fromHex("0b010b00"), 3000);
        QVERIFY(!Zavo::TuneOn);
    }

    // A contest's worth of exchanges, well past the logger's queue in all:
    // every request is still taken, every text keyed and answered.
    void longSession()
    {
        NetRig rig({QStringLiteral("--fast")});
        QVERIFY(rig.serve(1));
        const QByteArray text(119, 'e');
        const int rounds = int(Cwdaemon::kMaxQueued / (3 * text.size())) + 2;
        for (int round = 0; round < rounds; ++round) {
            const QByteArray wpm = QByteArray::number(20 + round);
            rig.send({kEsc + "2" + wpm, text, text, text + "^"});
            QVERIFY(loopUntil([&rig, round] { return rig.replies.size() == round + 1; }));
            QVERIFY(rig.since().contains("\x02" + QByteArray(1, char(wpm.toInt()))));
        }
        QCOMPARE(rig.sim.keyed().count('E'), rounds * 3 * text.size());
    }

    // A client sending as fast as it can: at most the queue's worth of its
    // text waits, and the operator's Escape still clears the air at once.
    void flood()
    {
        NetRig rig({QStringLiteral("--fast")});
        QVERIFY(rig.serve(1));
        const QByteArray text(200, 'e');
        for (int i = 0; i < 100; ++i)
            rig.send({text});
        QTest::qWait(200);
        // Sent before the Escape, still unread when it comes: they go too.
        for (int i = 0; i < 20; ++i)
            rig.send({text});
        rig.link->press(Qt::Key_Escape);
        const QByteArray chip = rig.settle();
        QVERIFY(chip.endsWith('\x0A'));
        QVERIFY2(chip.count('E') <= Cwdaemon::kMaxQueued + text.size(), QByteArray::number(chip.count('E')));
    }
};

QTEST_MAIN(NetKeyingTest)
#include "tst_netkeying.moc"
