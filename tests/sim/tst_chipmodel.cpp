// The chip model on its own: answers, argument counts, the parameter block,
// flow control and keying times, all on a clock the test drives.
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
    void keyingTime_data();
    void keyingTime();
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

    // Text ends in C0 when it has been keyed: the chip here is a fast one.
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
    QTest::newRow("pot 63") << ChipOptions { .pot = 63, .replyPrefix = {} } << bytesOf("07") << bytesOf("BF");
    QTest::newRow("calibrate swallows its FF") << plain << bytesOf("00 00 FF 00 04 55") << bytesOf("55");
    QTest::newRow("stray high byte ignored") << plain << bytesOf("FF 90 00 04 55") << bytesOf("55");
    QTest::newRow("host close, reset answer nothing") << plain << bytesOf("00 03 00 01") << none;
    QTest::newRow("clear buffer") << plain << bytesOf("0A") << bytesOf("C0");
    QTest::newRow("text before host open dropped") << plain << QByteArray("C") << none;
    QTest::newRow("text after host open keyed") << plain << kHostOpen + "C" << bytesOf("17 C0");
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
        { 0, "08 13 15 1E 1F 0005 0006 0007 0008 0009 000A 000B" },
        { 1, "01 02 03 06 09 0B 0C 0D 0E 10 11 12 14 16 17 18 19 1A 1C 1D 000E" },
        { 2, "04 1B" },
        { 3, "05" },
        { 15, "0F" },
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
        << 12 << 10 << 100 << QStringList { "0 C5", "600 C4", "1000 C0" };
    QTest::newRow("12: 8 waiting is not") << 12 << 9 << 100 << QStringList { "900 C0" };
    QTest::newRow("128: XON when 42 wait") << 128 << 100 << 10 << QStringList { "0 C5", "570 C4", "1000 C0" };
    QTest::newRow("128: 85 waiting is not past 2/3") << 128 << 86 << 10 << QStringList { "860 C0" };
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

void TestChipModel::keyingTime_data()
{
    QTest::addColumn<ChipOptions>("options");
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("keyed");
    QTest::addColumn<double>("ms");

    // A dit is 1200 ms / WPM: "E" is one dit and a 3-dit gap, PARIS plus its
    // word gap is 50 dits. The knob is at 15 unless said otherwise.
    const ChipOptions plain;
    const QByteArray none;
    QTest::newRow("PARIS, no block yet: 20 WPM")
        << plain << none << QByteArray("PARIS ") << "PARIS " << 3000.0;
    QTest::newRow("knob above the minimum") << plain << block(0, 10, 25) << QByteArray("E") << "E" << 192.0;
    QTest::newRow("knob at its lowest")
        << ChipOptions { .pot = 0, .replyPrefix = {} } << block(0, 10, 25) << QByteArray("E") << "E" << 480.0;
    QTest::newRow("fixed speed ignores the knob")
        << plain << block(30, 10, 25) << QByteArray("E") << "E" << 160.0;
    QTest::newRow("knob limited to the range") << plain << block(0, 10, 5) << QByteArray("E") << "E" << 320.0;
    QTest::newRow("word gap is 7 dits") << plain << none << QByteArray("E E") << "E E" << 720.0;
    QTest::newRow("prosign AR") << plain << none << QByteArray("<") << "<" << 960.0;
    QTest::newRow("unknown character skipped") << plain << none << QByteArray("E#E") << "EE" << 480.0;
    QTest::newRow("lower case keyed") << plain << none << QByteArray("paris ") << "paris " << 3000.0;
    QTest::newRow("char-ms") << ChipOptions { .charMs = 100, .replyPrefix = {} } << none
                             << QByteArray("PARIS ") << "PARIS " << 600.0;
    QTest::newRow("fast") << ChipOptions { .fast = true, .replyPrefix = {} } << none << QByteArray("PARIS ")
                          << "PARIS " << 0.0;
}

void TestChipModel::keyingTime()
{
    QFETCH(ChipOptions, options);
    QFETCH(QByteArray, parameters);
    QFETCH(QByteArray, text);
    QFETCH(QString, keyed);
    QFETCH(double, ms);

    ChipModel chip(options);
    chip.receive(kHostOpen + parameters, 0);
    chip.takeOutput();
    QCOMPARE(chip.parameterBlock(), parameters);
    if (!parameters.isEmpty())
        QVERIFY(textsOf(chip.takeEvents(), ChipEvent::Kind::Note).contains("block " + hexText(parameters)));

    const double start = 1000;
    chip.receive(text, start);
    QStringList seen;
    if (ms > 0) {
        chip.advance(start + ms - 0.001);
        QCOMPARE(chip.takeOutput(), QByteArray());
        seen = runToIdle(chip);
    } else {
        seen << QStringLiteral("%1 %2").arg(start).arg(hexText(chip.takeOutput()));
    }
    QCOMPARE(seen, QStringList { QStringLiteral("%1 C0").arg(start + ms) });
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
