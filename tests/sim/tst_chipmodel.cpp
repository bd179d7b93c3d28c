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

QString keyedText(const QList<ChipEvent> &events)
{
    QString text;
    for (const ChipEvent &event : events) {
        if (event.kind == ChipEvent::Kind::Keyed)
            text += event.text;
    }
    return text;
}

QStringList notes(const QList<ChipEvent> &events)
{
    QStringList texts;
    for (const ChipEvent &event : events) {
        if (event.kind == ChipEvent::Kind::Note)
            texts << event.text;
    }
    return texts;
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

class TestChipModel : public QObject
{
    Q_OBJECT
private slots:
    void answers_data();
    void answers();
    void argumentsAreNeverTextOrCommands_data();
    void argumentsAreNeverTextOrCommands();
    void loadDefaultsSetsTheSpeed_data();
    void loadDefaultsSetsTheSpeed();
    void calibrationTakesOneFf();
    void clearBufferStopsKeyingAndReportsIdle();
    void tuneIsRecorded();
    void silentChipStillListens();
    void textWaitsForHostOpen();
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
    QTest::addColumn<int>("revision");
    QTest::addColumn<int>("pot");
    QTest::addColumn<QByteArray>("prefix");
    QTest::addColumn<bool>("silent");
    QTest::addColumn<QByteArray>("input");
    QTest::addColumn<QByteArray>("expected");

    const int rev = ChipOptions::kDefaultRevision;
    const int pot = ChipOptions::kDefaultPot;
    const QByteArray none;
    QTest::newRow("echo") << rev << pot << none << false << bytesOf("00 04 55") << bytesOf("55");
    QTest::newRow("echo of a command byte")
        << rev << pot << none << false << bytesOf("00 04 07") << bytesOf("07");
    QTest::newRow("host open") << rev << pot << none << false << bytesOf("00 02") << bytesOf("17");
    QTest::newRow("host open, revision 30")
        << 30 << pot << none << false << bytesOf("00 02") << bytesOf("1E");
    QTest::newRow("prefix before echo")
        << rev << pot << bytesOf("C0") << false << bytesOf("00 04 55") << bytesOf("C0 55");
    QTest::newRow("prefix before revision")
        << rev << pot << bytesOf("C0 8F") << false << bytesOf("00 02") << bytesOf("C0 8F 17");
    QTest::newRow("no prefix before pot")
        << rev << pot << bytesOf("C0") << false << bytesOf("07") << bytesOf("8F");
    QTest::newRow("pot default") << rev << pot << none << false << bytesOf("07") << bytesOf("8F");
    QTest::newRow("pot 0") << rev << 0 << none << false << bytesOf("07") << bytesOf("80");
    QTest::newRow("pot 63") << rev << 63 << none << false << bytesOf("07") << bytesOf("BF");
    QTest::newRow("calibrate swallows its FF")
        << rev << pot << none << false << bytesOf("00 00 FF 00 04 55") << bytesOf("55");
    QTest::newRow("stray high byte ignored")
        << rev << pot << none << false << bytesOf("FF 90 00 04 55") << bytesOf("55");
    QTest::newRow("host close answers nothing") << rev << pot << none << false << bytesOf("00 03") << none;
    QTest::newRow("reset answers nothing") << rev << pot << none << false << bytesOf("00 01") << none;
    QTest::newRow("clear buffer") << rev << pot << none << false << bytesOf("0A") << bytesOf("C0");
    QTest::newRow("whole start-up") << rev << pot << none << false
                                    << bytesOf("00 00 FF 00 04 55 00 02") + block(0, 10, 25) + bytesOf("07")
                                    << bytesOf("55 17 8F");
    QTest::newRow("silent echo") << rev << pot << none << true << bytesOf("00 04 55") << none;
    QTest::newRow("silent host open") << rev << pot << bytesOf("C0") << true << bytesOf("00 02") << none;
    QTest::newRow("silent pot") << rev << pot << none << true << bytesOf("07") << none;
    QTest::newRow("silent clear") << rev << pot << none << true << bytesOf("0A") << none;
}

void TestChipModel::answers()
{
    QFETCH(int, revision);
    QFETCH(int, pot);
    QFETCH(QByteArray, prefix);
    QFETCH(bool, silent);
    QFETCH(QByteArray, input);
    QFETCH(QByteArray, expected);

    ChipOptions options;
    options.revision = revision;
    options.pot = pot;
    options.replyPrefix = prefix;
    options.silent = silent;

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

    const QList<QPair<int, int>> counts = {
        { 0x01, 1 },
        { 0x02, 1 },
        { 0x03, 1 },
        { 0x04, 2 },
        { 0x05, 3 },
        { 0x06, 1 },
        { 0x08, 0 },
        { 0x09, 1 },
        { 0x0B, 1 },
        { 0x0C, 1 },
        { 0x0D, 1 },
        { 0x0E, 1 },
        { 0x0F, 15 },
        { 0x10, 1 },
        { 0x11, 1 },
        { 0x12, 1 },
        { 0x13, 0 },
        { 0x14, 1 },
        { 0x15, 0 },
        { 0x16, 1 },
        { 0x17, 1 },
        { 0x18, 1 },
        { 0x19, 1 },
        { 0x1A, 1 },
        { 0x1B, 2 },
        { 0x1C, 1 },
        { 0x1D, 1 },
        { 0x1E, 0 },
        { 0x1F, 0 },
    };
    for (const auto &[code, count] : counts) {
        QTest::addRow("%02X", code) << QByteArray(1, char(code)) << count;
    }
    for (int sub = 0x05; sub <= 0x0B; ++sub)
        QTest::addRow("00 %02X", sub)
            << QByteArray::fromHex(QByteArray::number(sub, 16).rightJustified(4, '0')) << 0;
    QTest::newRow("00 0E") << bytesOf("00 0E") << 1;
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

void TestChipModel::loadDefaultsSetsTheSpeed_data()
{
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<int>("pot");
    QTest::addColumn<int>("wpm");

    QTest::newRow("no block yet") << QByteArray() << 15 << 20;
    QTest::newRow("knob above the minimum") << block(0, 10, 25) << 15 << 25;
    QTest::newRow("knob at its lowest") << block(0, 10, 25) << 0 << 10;
    QTest::newRow("fixed speed ignores the knob") << block(30, 10, 25) << 15 << 30;
    QTest::newRow("knob limited to the range") << block(0, 10, 5) << 15 << 15;
}

void TestChipModel::loadDefaultsSetsTheSpeed()
{
    QFETCH(QByteArray, parameters);
    QFETCH(int, pot);
    QFETCH(int, wpm);

    ChipOptions options;
    options.pot = pot;
    ChipModel chip(options);
    chip.receive(kHostOpen + parameters, 0);
    QCOMPARE(chip.parameterBlock(), parameters);
    if (!parameters.isEmpty())
        QVERIFY(notes(chip.takeEvents()).contains(QStringLiteral("block ") + hexText(parameters)));
    QCOMPARE(chip.speedWpm(), wpm);

    // "E" is one dit and a 3-dit gap.
    chip.takeOutput();
    chip.receive("E", 1000);
    QCOMPARE(runToIdle(chip), QStringList { QStringLiteral("%1 C0").arg(1000 + 4 * 1200 / wpm) });
}

void TestChipModel::calibrationTakesOneFf()
{
    ChipModel chip;
    chip.receive(bytesOf("00 00"), 0);
    chip.receive(bytesOf("FF"), 50);
    QCOMPARE(notes(chip.takeEvents()), QStringList { QStringLiteral("calibrate") });
    // A second FF is no longer part of the calibration.
    chip.receive(bytesOf("FF"), 100);
    QCOMPARE(notes(chip.takeEvents()), QStringList { QStringLiteral("ignore FF") });
}

void TestChipModel::clearBufferStopsKeyingAndReportsIdle()
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

void TestChipModel::tuneIsRecorded()
{
    ChipModel chip;
    QStringList seen;
    for (const char *command : { "0B 01", "0B 00" }) {
        chip.receive(bytesOf(command), 0);
        QCOMPARE(chip.isTuneOn(), QByteArray(command) == "0B 01");
        for (const ChipEvent &event : chip.takeEvents()) {
            if (event.kind == ChipEvent::Kind::Tune)
                seen << event.text;
        }
    }
    QCOMPARE(seen, QStringList({ QStringLiteral("on"), QStringLiteral("off") }));
    QCOMPARE(chip.takeOutput(), QByteArray());
}

void TestChipModel::silentChipStillListens()
{
    ChipOptions options;
    options.silent = true;
    options.fast = true;
    ChipModel chip(options);
    chip.receive(kHostOpen + block(0, 10, 25) + bytesOf("0B 01") + "CQ", 0);
    QCOMPARE(chip.takeOutput(), QByteArray());
    QVERIFY(chip.isHostOpen());
    QVERIFY(chip.isTuneOn());
    QCOMPARE(chip.parameterBlock(), block(0, 10, 25));
    QCOMPARE(keyedText(chip.takeEvents()), QStringLiteral("CQ"));
}

void TestChipModel::textWaitsForHostOpen()
{
    ChipOptions options;
    options.fast = true;
    ChipModel chip(options);
    chip.receive("CQ", 0);
    QList<ChipEvent> events = chip.takeEvents();
    QCOMPARE(keyedText(events), QString());
    QCOMPARE(notes(events), QStringList { QStringLiteral("drop 43 51 before host open") });
    QCOMPARE(chip.takeOutput(), QByteArray());

    chip.receive(kHostOpen + "CQ", 10);
    QCOMPARE(keyedText(chip.takeEvents()), QStringLiteral("CQ"));
    QCOMPARE(hexText(chip.takeOutput()), QStringLiteral("17 C0"));

    chip.receive(bytesOf("00 03") + "CQ", 20);
    QCOMPARE(keyedText(chip.takeEvents()), QString());
    QCOMPARE(chip.takeOutput(), QByteArray());
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
    QVERIFY(notes(events).contains(QStringLiteral("drop 4E 4F 50 51 52 53 54")));
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
    QTest::addColumn<QByteArray>("parameters");
    QTest::addColumn<int>("charMs");
    QTest::addColumn<bool>("fast");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<QString>("keyed");
    QTest::addColumn<double>("ms");

    // PARIS plus its word gap is 50 dits; a dit is 1200 ms / WPM.
    QTest::newRow("PARIS at 20 WPM") << QByteArray() << 0 << false << QByteArray("PARIS ") << "PARIS "
                                     << 3000.0;
    QTest::newRow("PARIS at fixed 12 WPM")
        << block(12, 10, 25) << 0 << false << QByteArray("PARIS ") << "PARIS " << 5000.0;
    QTest::newRow("PARIS at 10 + knob 15")
        << block(0, 10, 25) << 0 << false << QByteArray("PARIS ") << "PARIS " << 2400.0;
    QTest::newRow("word gap is 7 dits") << QByteArray() << 0 << false << QByteArray("E E") << "E E" << 720.0;
    QTest::newRow("prosign AR") << QByteArray() << 0 << false << QByteArray("<") << "<" << 960.0;
    QTest::newRow("unknown character skipped")
        << QByteArray() << 0 << false << QByteArray("E#E") << "EE" << 480.0;
    QTest::newRow("lower case keyed")
        << QByteArray() << 0 << false << QByteArray("paris ") << "paris " << 3000.0;
    QTest::newRow("char-ms") << QByteArray() << 100 << false << QByteArray("PARIS ") << "PARIS " << 600.0;
    QTest::newRow("fast") << QByteArray() << 0 << true << QByteArray("PARIS ") << "PARIS " << 0.0;
}

void TestChipModel::keyingTime()
{
    QFETCH(QByteArray, parameters);
    QFETCH(int, charMs);
    QFETCH(bool, fast);
    QFETCH(QByteArray, text);
    QFETCH(QString, keyed);
    QFETCH(double, ms);

    ChipOptions options;
    options.charMs = charMs;
    options.fast = fast;
    ChipModel chip(options);
    chip.receive(kHostOpen + parameters, 0);
    chip.takeOutput();

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
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QByteArray>("bytes");

    QTest::newRow("one byte") << "C5" << true << bytesOf("C5");
    QTest::newRow("commas") << "C0,8F" << true << bytesOf("C0 8F");
    QTest::newRow("blanks, lower case") << "c5 8f  c4" << true << bytesOf("C5 8F C4");
    QTest::newRow("single digit") << "5" << true << bytesOf("05");
    QTest::newRow("too long") << "C5F" << false << QByteArray();
    QTest::newRow("not hex") << "G1" << false << QByteArray();
    QTest::newRow("prefixed") << "0x5" << false << QByteArray();
    QTest::newRow("nothing") << " , " << false << QByteArray();
}

void TestChipModel::hexBytes()
{
    QFETCH(QString, text);
    QFETCH(bool, valid);
    QFETCH(QByteArray, bytes);

    const auto parsed = parseHexBytes(text);
    QCOMPARE(parsed.has_value(), valid);
    if (valid)
        QCOMPARE(*parsed, bytes);
}

QTEST_GUILESS_MAIN(TestChipModel)
#include "tst_chipmodel.moc"
