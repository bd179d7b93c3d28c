// The chip model on its own: answers, speed, knob, status, echo, flow
// control, and what it logs of the settings, buffered commands and keyed
// characters, all on a clock the test drives.
#include "chipmodel.h"
#include "hexbytes.h"

#include <QTest>

namespace {

QByteArray bytesOf(const char *text)
{
    return QByteArray::fromHex(text);
}

// A load-defaults block with the mode register and the three bytes that set the speed.
QByteArray block(int fixedWpm, int minWpm, int range, int mode = 0)
{
    QByteArray bytes = bytesOf("0F 00 00 05 32 00 00 0A 19 00 00 00 00 32 00 FF");
    bytes[1] = char(mode);
    bytes[2] = char(fixedWpm);
    bytes[7] = char(minWpm);
    bytes[8] = char(range);
    return bytes;
}

const QByteArray kHostOpen = QByteArray::fromHex("00 02");

// What the chip sends as "<ms> <byte>" until it has keyed all it holds.
QStringList runToIdle(ChipModel &chip)
{
    QStringList seen;
    for (const char byte : chip.takeOutput())
        seen << QStringLiteral("0 %1").arg(hexText(QByteArray(1, byte)));
    while (const auto deadline = chip.nextDeadline()) {
        chip.advance(*deadline);
        for (const char byte : chip.takeOutput())
            seen << QStringLiteral("%1 %2").arg(*deadline).arg(hexText(QByteArray(1, byte)));
    }
    return seen;
}

QString keyedText(const QList<ChipEvent> &events)
{
    QString text;
    for (const ChipEvent &event : events)
        text += event.kind == ChipEvent::Kind::Keyed ? event.text : QString();
    return text;
}

// The chip's events as the simulator logs them, less the kind "event".
QStringList logLines(const QList<ChipEvent> &events)
{
    QStringList lines;
    for (const ChipEvent &event : events) {
        switch (event.kind) {
        case ChipEvent::Kind::Keyed:
            lines << QStringLiteral("%1 key %2 %3").arg(event.t).arg(event.text).arg(event.wpm);
            break;
        case ChipEvent::Kind::Tune:
            lines << QStringLiteral("%1 tune %2").arg(event.t).arg(event.text);
            break;
        case ChipEvent::Kind::Note:
            lines << QStringLiteral("%1 %2").arg(event.t).arg(event.text);
            break;
        }
    }
    return lines;
}

} // namespace

// Rows name .replyPrefix even when it stays empty: GCC warns about a
// designated initializer that stops before the last field.
Q_DECLARE_METATYPE(ChipOptions)

class TestChipModel : public QObject
{
    Q_OBJECT
private slots:
    void answers_data()
    {
        QTest::addColumn<ChipOptions>("options");
        QTest::addColumn<QByteArray>("input");
        QTest::addColumn<QByteArray>("expected");

        const ChipOptions plain;
        const QByteArray none;
        QTest::newRow("echo of a command byte") << plain << bytesOf("00 04 07") << bytesOf("07");
        QTest::newRow("host open, revision 30")
            << ChipOptions { .revision = 30, .replyPrefix = {} } << kHostOpen << bytesOf("1E");
        QTest::newRow("prefix before echo, none before pot")
            << ChipOptions { .replyPrefix = bytesOf("C0") } << bytesOf("00 04 55 07") << bytesOf("C0 55 8F");
        // The knob reports the speed above the minimum it keys at: within the
        // host's range, six bits, and 99 WPM at most; 05 sets minimum and range.
        const ChipOptions pot40 { .pot = 40, .replyPrefix = {} };
        QTest::newRow("pot 40 within the power-up range 25") << pot40 << bytesOf("07") << bytesOf("99");
        QTest::newRow("pot 40 within the block's range 30")
            << pot40 << block(0, 10, 30) + bytesOf("07") << bytesOf("9E");
        QTest::newRow("pot 63 from 50 WPM stops at 99")
            << ChipOptions { .pot = 63, .replyPrefix = {} } << bytesOf("05 32 3F 00 07") << bytesOf("B1");
        QTest::newRow("get values: power-up values as changed by 02, 05, 0E")
            << plain << bytesOf("02 1E 05 0C 14 00 0E 04 00 07")
            << bytesOf("04 1E 05 32 00 00 0C 14 00 00 00 32 32 05 FF");
        QTest::newRow("get values: sidetone, weight, PTT times and pins as set by 01, 03, 04, 09")
            << plain << bytesOf("01 86 03 5A 04 05 0A 09 07 00 07")
            << bytesOf("00 14 86 5A 05 0A 0A 19 00 00 00 32 32 07 FF");
        // A status request is answered even when the host was told the status
        // already, with the status as it is now: text keyed at once in the
        // same read has left the chip idle (C0 as it goes idle, then the answer).
        QTest::newRow("status request when idle: C0 again") << plain << kHostOpen + bytesOf("15")
                                                           << bytesOf("17 C0");
        QTest::newRow("status request right after text: the current status")
            << plain << kHostOpen + "E" + bytesOf("15") << bytesOf("17 C4 C0 C0");
        QTest::newRow("calibrate swallows its FF") << plain << bytesOf("00 00 FF 00 04 55") << bytesOf("55");
        QTest::newRow("stray high byte ignored") << plain << bytesOf("FF 90 00 04 55") << bytesOf("55");
        QTest::newRow("text before host open dropped") << plain << QByteArray("C") << none;
        QTest::newRow("silent: echo, host open, pot, clear")
            << ChipOptions { .silent = true, .replyPrefix = bytesOf("C0") } << bytesOf("00 04 55 00 02 07 0A")
            << none;
    }

    void answers()
    {
        QFETCH(ChipOptions, options);
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, expected);

        options.fast = true;
        ChipModel whole(options);
        whole.receive(input, 0);
        QCOMPARE(hexText(whole.takeOutput()), hexText(expected));
        // The same bytes one read at a time: a command split over reads
        // still finds its arguments.
        ChipModel split(options);
        QByteArray output;
        for (qsizetype i = 0; i < input.size(); ++i) {
            split.receive(input.mid(i, 1), double(i));
            output += split.takeOutput();
        }
        QCOMPARE(hexText(output), hexText(expected));
    }

    void keying_data()
    {
        QTest::addColumn<ChipOptions>("options");
        QTest::addColumn<QByteArray>("setup");
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("keyed");
        QTest::addColumn<QStringList>("sent");

        // A dit is 1200 ms / WPM: "E" is one dit and a 3-dit gap, PARIS plus its 7-dit word
        // gap is 50 dits. The knob is at 15 unless said otherwise (its range and 05 are
        // answers' rows: the report is the speed it gives); the chip starts at 20 WPM.
        // Busy (C4) when keying starts, idle (C0) when done.
        const ChipOptions plain;
        const QByteArray none;
        const auto at = [](double ms, double idleMs) {
            return QStringList { QStringLiteral("%1 C4").arg(ms), QStringLiteral("%1 C0").arg(idleMs) };
        };
        QTest::newRow("PARIS, no block yet: 20 WPM")
            << plain << none << QByteArray("PARIS ") << "PARIS " << at(0, 3000);
        QTest::newRow("fixed speed ignores the knob")
            << plain << block(30, 10, 25) << QByteArray("E") << "E" << at(0, 160);
        QTest::newRow("02 sets the speed over the knob")
            << plain << block(0, 10, 25) + bytesOf("02 28") << QByteArray("E") << "E" << at(0, 120);
        QTest::newRow("02 00 hands it back to the knob")
            << plain << block(30, 10, 25) + bytesOf("02 00") << QByteArray("E") << "E" << at(0, 192);
        QTest::newRow("02 below 5 WPM keys at 5")
            << plain << bytesOf("02 02") << QByteArray("E") << "E" << at(0, 960);
        QTest::newRow("clear: idle at once, the rest dropped, then keys again")
            << plain << none << QByteArray("TEST") + bytesOf("0A") + "E" << "TE"
            << QStringList { "0 C4", "0 C0", "0 C4", "240 C0" };
        QTest::newRow("status request while keying") << plain << none << QByteArray("E") + bytesOf("15") << "E"
                                                     << QStringList { "0 C4", "0 C4", "240 C0" };
        QTest::newRow("prosign AR") << plain << none << QByteArray("<") << "<" << at(0, 960);
        // 1B: both letters as one sign, S and N run on as "...-.": 14 dits.
        QTest::newRow("merge echoed whole once keyed")
            << plain << bytesOf("0E 04") << bytesOf("1B 53 4E") << "SN"
            << QStringList { "0 C4", "840 53", "840 4E", "840 C0" };
        // The weighting moves time from each space to the element before it.
        QTest::newRow("weight 90 keeps the character's length")
            << plain << bytesOf("03 5A") << QByteArray("E") << "E" << at(0, 240);
        QTest::newRow("char-ms") << ChipOptions { .charMs = 100, .replyPrefix = {} } << none
                                 << QByteArray("PARIS ") << "PARIS " << at(0, 600);
        QTest::newRow("fast") << ChipOptions { .fast = true, .replyPrefix = {} } << none << QByteArray("PARIS ")
                              << "PARIS " << at(0, 0);
        // Serial echo: each character once it has been keyed; one the chip has
        // no code for is skipped and echoed at once.
        QTest::newRow("echo from the mode command")
            << plain << bytesOf("0E 04") << QByteArray("#EE") << "EE"
            << QStringList { "0 23", "0 C4", "240 45", "480 45", "480 C0" };
        QTest::newRow("echo from the block")
            << plain << block(0, 10, 25, ChipModel::kModeSerialEcho) << QByteArray("E") << "E" << QStringList { "0 C4", "192 45", "192 C0" };

        // Flow control: XOFF (C5) past 2/3 of the buffer waiting, XON (C4)
        // back under 1/3; the first character leaves the buffer at once.
        const auto es = [](int n) { return QByteArray(n, 'E'); };
        const ChipOptions small { .bufferSize = 12, .charMs = 100, .replyPrefix = {} };
        QTest::newRow("12: 8 waiting is not") << small << none << es(9) << QString(es(9)) << at(0, 900);
        QTest::newRow("12: XOFF with 9 waiting, XON with 3; a full buffer drops the rest")
            << small << none << es(20) << QString(es(13)) << QStringList { "0 C4", "0 C5", "900 C4", "1300 C0" };
        const ChipOptions large { .bufferSize = 128, .charMs = 10, .replyPrefix = {} };
        QTest::newRow("128: XON when 42 wait")
            << large << none << es(100) << QString(es(100)) << QStringList { "0 C4", "0 C5", "570 C4", "1000 C0" };
        QTest::newRow("128: 85 waiting is not past 2/3") << large << none << es(86) << QString(es(86)) << at(0, 860);
    }

    void keying()
    {
        QFETCH(ChipOptions, options);
        QFETCH(QByteArray, setup);
        QFETCH(QByteArray, text);
        QFETCH(QString, keyed);
        QFETCH(QStringList, sent);

        ChipModel chip(options);
        chip.receive(kHostOpen + setup, 0);
        QCOMPARE(hexText(chip.takeOutput()), QStringLiteral("17"));
        chip.receive(text, 0);
        QCOMPARE(runToIdle(chip), sent);
        QCOMPARE(keyedText(chip.takeEvents()), keyed);
    }

    // What the log shows: the settings the chip only reports, the buffered
    // commands when the keying reaches them, and each character with its speed.
    void logged_data()
    {
        QTest::addColumn<QByteArray>("input"); // after host open, at 0
        QTest::addColumn<QByteArray>("later"); // at kLaterMs, while the first E (240 ms) is keyed
        QTest::addColumn<QStringList>("log");

        const QByteArray none;
        QTest::newRow("weight, kept within 10..90")
            << bytesOf("03 1E 03 05 03 FF") << none << QStringList { "0 weight 30", "0 weight 10", "0 weight 90" };
        QTest::newRow("sidetone: 4000 Hz over the code, paddle only, codes outside 1..10")
            << bytesOf("01 05 01 86 01 00 01 8B") << none
            << QStringList { "0 sidetone 800 Hz", "0 sidetone 667 Hz paddle only", "0 sidetone code 00",
                   "0 sidetone code 0B paddle only" };
        QTest::newRow("pins: sidetone on and off")
            << bytesOf("09 07 09 05") << none << QStringList { "0 pins 07 sidetone on", "0 pins 05 sidetone off" };
        QTest::newRow("PTT times in 10 ms") << bytesOf("04 05 0A") << none
                                            << QStringList { "0 ptt times lead 50 ms tail 100 ms" };
        QTest::newRow("buffered PTT reached in order")
            << bytesOf("18 01") + "E" + bytesOf("18 00") + "E" + bytesOf("18 01") << none
            << QStringList { "0 ptt on", "0 key E 20", "240 ptt off", "240 key E 20", "480 ptt on" };
        QTest::newRow("clear drops a buffered PTT")
            << "E" + bytesOf("18 01") + "E" << bytesOf("0A") << QStringList { "0 key E 20", "100 clear" };
        QTest::newRow("merge: one key line with both letters, 14 dits")
            << bytesOf("1C 1E 1B 53 4E") + "E" << none
            << QStringList { "0 buffered speed 30", "0 key SN 30", "560 key E 30" };
        QTest::newRow("merge: a letter without code is skipped")
            << bytesOf("1B 23 45") << none << QStringList { "0 skip 23", "0 key E 20" };
        QTest::newRow("1C from its place to its 1E, 02 after the character being keyed")
            << "E" + bytesOf("1C 1E") + "E" + bytesOf("1E") + "E" << bytesOf("02 28") + "E"
            << QStringList { "0 key E 20", "100 speed 40", "240 buffered speed 30", "240 key E 30",
                   "400 buffered speed off", "400 key E 40", "520 key E 40" };
        QTest::newRow("a blank keyed with its speed")
            << "E" + bytesOf("1C 1E") + " E" << none
            << QStringList { "0 key E 20", "240 buffered speed 30", "240 key   30", "400 key E 30" };
    }

    void logged()
    {
        QFETCH(QByteArray, input);
        QFETCH(QByteArray, later);
        QFETCH(QStringList, log);

        constexpr double kLaterMs = 100;
        ChipModel chip;
        chip.receive(kHostOpen, 0);
        chip.takeEvents();
        chip.receive(input, 0);
        chip.advance(kLaterMs);
        if (!later.isEmpty())
            chip.receive(later, kLaterMs);
        runToIdle(chip);
        QCOMPARE(logLines(chip.takeEvents()), log);
    }
};

QTEST_GUILESS_MAIN(TestChipModel)
#include "tst_chipmodel.moc"
