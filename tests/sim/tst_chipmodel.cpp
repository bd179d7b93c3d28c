// The chip model on its own: answers, argument counts, the parameter block,
// speed, status, echo and flow control, all on a clock the test drives.
#include "chipmodel.h"
#include "hexbytes.h"
#include "morsecode.h"

#include <QTest>

namespace {

QByteArray bytesOf(const char *text)
{
    return QByteArray::fromHex(text);
}

QStringList textsOf(const QList<ChipEvent> &events, ChipEvent::Kind kind)
{
    QStringList texts;
    for (const ChipEvent &event : events) {
        if (event.kind == kind)
            texts << event.text;
    }
    return texts;
}

QString keyedText(const QList<ChipEvent> &events)
{
    return textsOf(events, ChipEvent::Kind::Keyed).join(QString());
}

// Lets the chip key everything it holds, jumping from deadline to deadline;
// every byte it sends is noted as "<ms> <byte>".
QStringList runToIdle(ChipModel &chip)
{
    QStringList seen;
    while (const auto deadline = chip.nextDeadline()) {
        chip.advance(*deadline);
        for (const char byte : chip.takeOutput())
            seen << QStringLiteral("%1 %2").arg(*deadline).arg(hexText(QByteArray(1, byte)));
    }
    return seen;
}

// A load-defaults block with the three bytes that set the speed.
QByteArray block(int fixedWpm, int minWpm, int range)
{
    QByteArray bytes = bytesOf("0F 00 00 05 32 00 00 0A 19 00 00 00 00 32 00 FF");
    bytes[2] = char(fixedWpm);
    bytes[7] = char(minWpm);
    bytes[8] = char(range);
    return bytes;
}

const QByteArray kHostOpen = QByteArray::fromHex("00 02");

} // namespace

// Rows name .replyPrefix even when it stays empty: GCC warns about a
// designated initializer that stops before the last field.
Q_DECLARE_METATYPE(ChipOptions)

class TestChipModel : public QObject
{
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void argumentsAreNeverTextOrCommands_data();
    void argumentsAreNeverTextOrCommands();
    void clearBufferStopsKeying();
    void silentChipStillListens();
    void flowControl_data();
    void flowControl();
    void fullBufferDropsText();
    void operatorHoldsTheFlow();
    void keying_data();
    void keying();
    void prosigns_data();
    void prosigns();
    void hexBytes_data();
    void hexBytes();
};

void TestChipModel::answers_data()
{
    QTest::addColumn<ChipOptions>("options");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    // Text is busy (C4) and idle (C0) at once: the chip here is a fast one.
    const ChipOptions plain;
    const QByteArray none;
    QTest::newRow("echo of a command byte") << plain << bytesOf("00 04 07") << bytesOf("07");
    QTest::newRow("host open") << plain << kHostOpen << bytesOf("17");
    QTest::newRow("host open, revision 30")
        << ChipOptions { .revision = 30, .replyPrefix = {} } << kHostOpen << bytesOf("1E");
    QTest::newRow("prefix before echo")
        << ChipOptions { .replyPrefix = bytesOf("C0") } << bytesOf("00 04 55") << bytesOf("C0 55");
    QTest::newRow("prefix before revision")
        << ChipOptions { .replyPrefix = bytesOf("C0 8F") } << kHostOpen << bytesOf("C0 8F 17");
    QTest::newRow("no prefix before pot")
        << ChipOptions { .replyPrefix = bytesOf("C0") } << bytesOf("07") << bytesOf("8F");
    QTest::newRow("pot 0") << ChipOptions { .pot = 0, .replyPrefix = {} } << bytesOf("07") << bytesOf("80");
    // The knob reports the speed above the minimum it keys at: within the
    // host's range, six bits, and 99 WPM at most.
    const ChipOptions pot40 { .pot = 40, .replyPrefix = {} };
    QTest::newRow("pot 40 within the power-up range 25") << pot40 << bytesOf("07") << bytesOf("99");
    QTest::newRow("pot 40 within the block's range 30")
        << pot40 << block(0, 10, 30) + bytesOf("07") << bytesOf("9E");
    QTest::newRow("05 sets minimum and range") << pot40 << bytesOf("05 0A 28 00 07") << bytesOf("A8");
    QTest::newRow("pot 63 over range 63")
        << ChipOptions { .pot = 63, .replyPrefix = {} } << bytesOf("05 05 3F 00 07") << bytesOf("BF");
    QTest::newRow("pot 63 from 50 WPM stops at 99")
        << ChipOptions { .pot = 63, .replyPrefix = {} } << bytesOf("05 32 3F 00 07") << bytesOf("B1");
    QTest::newRow("get values: power-up values as changed by 02, 05, 0E")
        << plain << bytesOf("02 1E 05 0C 14 00 0E 04 00 07")
        << bytesOf("04 1E 05 32 00 00 0C 14 00 00 00 32 32 05 FF");
    QTest::newRow("major revision") << plain << bytesOf("00 09") << bytesOf("17");
    QTest::newRow("readings without a value")
        << plain << bytesOf("00 05 00 06 00 15 00 17 00 18") << bytesOf("00 00 00 00 00");
    QByteArray eeprom(256, '\0');
    for (int i = 0; i < eeprom.size(); ++i)
        eeprom[i] = char(255 - i);
    QTest::newRow("EEPROM loaded, then dumped")
        << plain << bytesOf("00 0D") + eeprom + bytesOf("00 0C") << eeprom;
    QTest::newRow("status request, idle") << plain << bytesOf("15") << bytesOf("C0");
    QTest::newRow("calibrate swallows its FF") << plain << bytesOf("00 00 FF 00 04 55") << bytesOf("55");
    QTest::newRow("stray high byte ignored") << plain << bytesOf("FF 90 00 04 55") << bytesOf("55");
    QTest::newRow("host close, reset answer nothing") << plain << bytesOf("00 03 00 01") << none;
    QTest::newRow("clear buffer") << plain << bytesOf("0A") << bytesOf("C0");
    QTest::newRow("text before host open dropped") << plain << QByteArray("C") << none;
    QTest::newRow("text after host open keyed") << plain << kHostOpen + "C" << bytesOf("17 C4 C0");
    QTest::newRow("text after host close dropped")
        << plain << kHostOpen + bytesOf("00 03") + "C" << bytesOf("17");
    QTest::newRow("silent: echo, host open, pot, clear")
        << ChipOptions { .silent = true, .replyPrefix = bytesOf("C0") } << bytesOf("00 04 55 00 02 07 0A")
        << none;
}

void TestChipModel::answers()
{
    QFETCH(ChipOptions, options);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    options.fast = true;
    ChipModel whole(options);
    whole.receive(input, 0);
    QCOMPARE(hexText(whole.takeOutput()), hexText(expected));

    // The same bytes one read at a time: a command split over reads still
    // finds its arguments.
    ChipModel split(options);
    QByteArray output;
    for (qsizetype i = 0; i < input.size(); ++i) {
        split.receive(input.mid(i, 1), double(i));
        output += split.takeOutput();
    }
    QCOMPARE(hexText(output), hexText(expected));
}

void TestChipModel::argumentsAreNeverTextOrCommands_data()
{
    QTest::addColumn<QByteArray>("command");
    QTest::addColumn<int>("argumentCount");

    // Commands by how many argument bytes follow them; a wrong count throws
    // every later byte out of step.
    const QList<QPair<int, const char *>> byCount = {
        { 0, "08 13 1E 1F 0008 000A 000B 0010 0011 0012 0014 1600" },
        { 1, "01 02 03 06 09 0B 0C 0D 0E 10 11 12 14 17 18 19 1A 1C 1D 000E 000F 0016 0019 1601 1603" },
        { 2, "04 1B 0013" },
        { 3, "05" },
        { 15, "0F" },
        { 256, "000D" },
    };
    for (const auto &[count, commands] : byCount) {
        for (const QByteArray &hex : QByteArray(commands).split(' '))
            QTest::addRow("%s", hex.constData()) << QByteArray::fromHex(hex) << count;
    }
}

void TestChipModel::argumentsAreNeverTextOrCommands()
{
    QFETCH(QByteArray, command);
    QFETCH(int, argumentCount);

    // 07 taken as a command would answer the pot; 41 taken as text would be
    // keyed (and end with C0). Either would show in the output.
    for (const char filler : { '\x07', 'A' }) {
        ChipOptions options;
        options.fast = true;
        ChipModel chip(options);
        chip.receive(kHostOpen + command + QByteArray(argumentCount, filler) + bytesOf("00 04 55"), 0);
        QCOMPARE(hexText(chip.takeOutput()), QStringLiteral("17 55"));
        QCOMPARE(keyedText(chip.takeEvents()), QString());
    }
}

void TestChipModel::clearBufferStopsKeying()
{
    ChipModel chip;
    chip.receive(kHostOpen + "TEST", 0);
    chip.takeOutput();
    chip.advance(100);
    QVERIFY(chip.isKeying());

    chip.receive(bytesOf("0A"), 100);
    QCOMPARE(hexText(chip.takeOutput()), QStringLiteral("C0"));
    QCOMPARE(chip.buffered(), 0);
    QVERIFY(!chip.isKeying());
    QCOMPARE(runToIdle(chip), QStringList());
    QCOMPARE(keyedText(chip.takeEvents()), QStringLiteral("T"));

    // The chip keys again after a clear.
    chip.receive("E", 200);
    QCOMPARE(hexText(chip.takeOutput()), QStringLiteral("C4"));
    QCOMPARE(runToIdle(chip), QStringList { QStringLiteral("440 C0") });
    QCOMPARE(keyedText(chip.takeEvents()), QStringLiteral("E"));
}

void TestChipModel::silentChipStillListens()
{
    ChipOptions options;
    options.silent = true;
    options.fast = true;
    ChipModel chip(options);
    chip.receive(kHostOpen + block(0, 10, 25) + bytesOf("0B 01") + "CQ", 0);
    QVERIFY(chip.isTuneOn());
    chip.receive(bytesOf("0B 00"), 1);
    QVERIFY(!chip.isTuneOn());
    QCOMPARE(chip.takeOutput(), QByteArray());
    QCOMPARE(chip.parameterBlock(), block(0, 10, 25));
    const QList<ChipEvent> events = chip.takeEvents();
    QCOMPARE(keyedText(events), QStringLiteral("CQ"));
    QCOMPARE(textsOf(events, ChipEvent::Kind::Tune), QStringList({ "on", "off" }));
}

void TestChipModel::flowControl_data()
{
    QTest::addColumn<int>("bufferSize");
    QTest::addColumn<int>("characters");
    QTest::addColumn<int>("charMs");
    QTest::addColumn<QStringList>("expected");

    // The first character leaves the buffer at once to be keyed.
    QTest::newRow("12: 9 waiting is past 2/3")
        << 12 << 10 << 100 << QStringList { "0 C4", "0 C5", "600 C4", "1000 C0" };
    QTest::newRow("12: 8 waiting is not") << 12 << 9 << 100 << QStringList { "0 C4", "900 C0" };
    QTest::newRow("128: XON when 42 wait")
        << 128 << 100 << 10 << QStringList { "0 C4", "0 C5", "570 C4", "1000 C0" };
    QTest::newRow("128: 85 waiting is not past 2/3") << 128 << 86 << 10 << QStringList { "0 C4", "860 C0" };
}

void TestChipModel::flowControl()
{
    QFETCH(int, bufferSize);
    QFETCH(int, characters);
    QFETCH(int, charMs);
    QFETCH(QStringList, expected);

    ChipOptions options;
    options.bufferSize = bufferSize;
    options.charMs = charMs;
    ChipModel chip(options);
    chip.receive(kHostOpen, 0);
    chip.takeOutput();

    chip.receive(QByteArray(characters, 'E'), 0);
    QStringList seen;
    for (const char byte : chip.takeOutput())
        seen << QStringLiteral("0 %1").arg(hexText(QByteArray(1, byte)));
    seen += runToIdle(chip);
    QCOMPARE(seen, expected);
    QCOMPARE(keyedText(chip.takeEvents()), QString(characters, QLatin1Char('E')));
}

void TestChipModel::fullBufferDropsText()
{
    ChipOptions options;
    options.bufferSize = 12;
    options.charMs = 100;
    ChipModel chip(options);
    chip.receive(kHostOpen, 0);
    chip.receive("ABCDEFGHIJKLMNOPQRST", 0);
    QCOMPARE(chip.buffered(), 12);
    runToIdle(chip);
    const QList<ChipEvent> events = chip.takeEvents();
    QVERIFY(textsOf(events, ChipEvent::Kind::Note).contains(QStringLiteral("drop 4E 4F 50 51 52 53 54")));
    QCOMPARE(keyedText(events), QStringLiteral("ABCDEFGHIJKLM"));
}

void TestChipModel::operatorHoldsTheFlow()
{
    ChipOptions options;
    options.charMs = 100;
    ChipModel chip(options);
    chip.receive(kHostOpen + "EE", 0);
    chip.takeOutput();

    chip.pauseKeying(50);
    QCOMPARE(hexText(chip.takeOutput()), QStringLiteral("C5"));
    chip.advance(1000);
    QVERIFY(!chip.isKeying());
    QCOMPARE(chip.buffered(), 1);
    QCOMPARE(chip.takeOutput(), QByteArray());

    chip.resumeKeying(1000);
    QCOMPARE(hexText(chip.takeOutput()), QStringLiteral("C4"));
    QCOMPARE(runToIdle(chip), QStringList { QStringLiteral("1100 C0") });
    QCOMPARE(keyedText(chip.takeEvents()), QStringLiteral("EE"));

    chip.turnPot(20, 1200);
    QCOMPARE(hexText(chip.takeOutput()), QStringLiteral("94"));
    QCOMPARE(chip.pot(), 20);
}

void TestChipModel::keying_data()
{
    QTest::addColumn<ChipOptions>("options");
    QTest::addColumn<QByteArray>("setup");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("keyed");
    QTest::addColumn<QStringList>("sent");

    // A dit is 1200 ms / WPM: "E" is one dit and a 3-dit gap, PARIS plus its
    // word gap is 50 dits. The knob is at 15 unless said otherwise; the chip
    // starts at 20 WPM. Busy (C4) when keying starts, idle (C0) when done.
    const ChipOptions plain;
    const QByteArray none;
    const auto at = [](double ms, double idleMs) {
        return QStringList { QStringLiteral("%1 C4").arg(ms), QStringLiteral("%1 C0").arg(idleMs) };
    };
    QTest::newRow("PARIS, no block yet: 20 WPM")
        << plain << none << QByteArray("PARIS ") << "PARIS " << at(0, 3000);
    QTest::newRow("knob above the minimum")
        << plain << block(0, 10, 25) << QByteArray("E") << "E" << at(0, 192);
    QTest::newRow("knob at its lowest") << ChipOptions { .pot = 0, .replyPrefix = {} } << block(0, 10, 25)
                                        << QByteArray("E") << "E" << at(0, 480);
    QTest::newRow("fixed speed ignores the knob")
        << plain << block(30, 10, 25) << QByteArray("E") << "E" << at(0, 160);
    QTest::newRow("knob limited to the range")
        << plain << block(0, 10, 5) << QByteArray("E") << "E" << at(0, 320);
    QTest::newRow("02 sets the speed over the knob")
        << plain << block(0, 10, 25) + bytesOf("02 28") << QByteArray("E") << "E" << at(0, 120);
    QTest::newRow("02 00 hands it back to the knob")
        << plain << block(30, 10, 25) + bytesOf("02 00") << QByteArray("E") << "E" << at(0, 192);
    QTest::newRow("02 below 5 WPM keys at 5")
        << plain << bytesOf("02 02") << QByteArray("E") << "E" << at(0, 960);
    QTest::newRow("05 sets the knob's range")
        << plain << bytesOf("02 00 05 0A 05 00") << QByteArray("E") << "E" << at(0, 320);
    QTest::newRow("02 waits for the character being keyed")
        << plain << none << QByteArray("E") + bytesOf("02 28") + "E"
        << "EE" << at(0, 360);
    QTest::newRow("buffered speed from its place to its cancel")
        << plain << none << QByteArray("E") + bytesOf("1C 28") + "E" + bytesOf("1E") + "E"
        << "EEE" << at(0, 600);
    QTest::newRow("status request while keying") << plain << none << QByteArray("E") + bytesOf("15") << "E"
                                                 << QStringList { "0 C4", "0 C4", "240 C0" };
    QTest::newRow("word gap is 7 dits") << plain << none << QByteArray("E E") << "E E" << at(0, 720);
    QTest::newRow("prosign AR") << plain << none << QByteArray("<") << "<" << at(0, 960);
    QTest::newRow("unknown character skipped") << plain << none << QByteArray("E#E") << "EE" << at(0, 480);
    QTest::newRow("char-ms") << ChipOptions { .charMs = 100, .replyPrefix = {} } << none
                             << QByteArray("PARIS ") << "PARIS " << at(0, 600);
    QTest::newRow("fast") << ChipOptions { .fast = true, .replyPrefix = {} } << none << QByteArray("PARIS ")
                          << "PARIS " << at(0, 0);
    // Serial echo: each character once it has been keyed, a skipped one at once.
    QTest::newRow("echo from the mode command")
        << plain << bytesOf("0E 04") << QByteArray("#EE") << "EE"
        << QStringList { "0 23", "0 C4", "240 45", "480 45", "480 C0" };
    QByteArray echoBlock = block(0, 10, 25);
    echoBlock[1] = char(ChipModel::kModeSerialEcho);
    QTest::newRow("echo from the block")
        << plain << echoBlock << QByteArray("E") << "E" << QStringList { "0 C4", "192 45", "192 C0" };
}

void TestChipModel::keying()
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
    QStringList seen;
    for (const char byte : chip.takeOutput())
        seen << QStringLiteral("0 %1").arg(hexText(QByteArray(1, byte)));
    seen += runToIdle(chip);
    QCOMPARE(seen, sent);
    QCOMPARE(keyedText(chip.takeEvents()), keyed);
}

void TestChipModel::prosigns_data()
{
    QTest::addColumn<char>("character");
    QTest::addColumn<QByteArray>("elements");

    QTest::newRow("< AR") << '<' << QByteArray(".-.-.");
    QTest::newRow("> SK") << '>' << QByteArray("...-.-");
    QTest::newRow(": KN") << ':' << QByteArray("-.--.");
    QTest::newRow("@ AC") << '@' << QByteArray(".--.-.");
    QTest::newRow("= BT") << '=' << QByteArray("-...-");
    QTest::newRow("/ DN") << '/' << QByteArray("-..-.");
    QTest::newRow("? stays a question mark") << '?' << QByteArray("..--..");
    QTest::newRow("lower case letter") << 'q' << QByteArray("--.-");
    QTest::newRow("unknown") << '#' << QByteArray();
}

void TestChipModel::prosigns()
{
    QFETCH(char, character);
    QFETCH(QByteArray, elements);
    QCOMPARE(MorseCode::elements(character), elements);
}

void TestChipModel::hexBytes_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("bytes");

    // An empty result means the text is refused.
    QTest::newRow("commas") << "C0,8F" << bytesOf("C0 8F");
    QTest::newRow("blanks, lower case") << "c5 8f  c4" << bytesOf("C5 8F C4");
    QTest::newRow("single digit") << "5" << bytesOf("05");
    QTest::newRow("too long") << "C5F" << QByteArray();
    QTest::newRow("not hex") << "G1" << QByteArray();
    QTest::newRow("prefixed") << "0x5" << QByteArray();
    QTest::newRow("nothing") << " , " << QByteArray();
}

void TestChipModel::hexBytes()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, bytes);

    const auto parsed = parseHexBytes(text);
    QCOMPARE(parsed.has_value(), !bytes.isEmpty());
    if (parsed)
        QCOMPARE(*parsed, bytes);
}

QTEST_GUILESS_MAIN(TestChipModel)
#include "tst_chipmodel.moc"
