// The WinKey host protocol as pure functions: number texts, the mode
// register, the load-defaults block, midnight-safe deadlines, the receive
// path and port naming. No port, window or clock is involved.
#include "keyer/protocol.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"

#include <QTest>

#include <optional>

using namespace Winkey;

namespace {

// 1-based byte positions in the load-defaults block.
constexpr int kModeByte = 2;
constexpr int kMinSpeedByte = 8;
constexpr int kSpeedRangeByte = 9;

// A record that the chip would accept unchanged.
KeyerSettings validSettings()
{
    KeyerSettings s;
    s.ToneFreq = QStringLiteral("4");
    s.Weight = QStringLiteral("51");
    s.PTT_Lead = QStringLiteral("3");
    s.PTT_Tail = QStringLiteral("6");
    s.MinSpeed = 11;
    s.MaxSpeed = QStringLiteral("40");
    s.FirstExt = QStringLiteral("7");
    s.KeyComp = QStringLiteral("8");
    s.Farnsworth = QStringLiteral("20");
    s.SetPoint = QStringLiteral("52");
    s.DDRatio = QStringLiteral("53");
    s.Pin5Mode = QStringLiteral("2");
    s.PotRange = QStringLiteral("30");
    return s;
}

// Where each text parameter sits in the block and which seed entry replaces it.
struct TextParameter {
    const char *key;
    const char *seedSection;
    int position;
    QString KeyerSettings::*field;
};

const TextParameter kTextParameters[] = {
    {"ToneFreq", "Parameters", 4, &KeyerSettings::ToneFreq},
    {"Weight", "Parameters", 5, &KeyerSettings::Weight},
    {"PTT_Lead", "Parameters", 6, &KeyerSettings::PTT_Lead},
    {"PTT_Tail", "Parameters", 7, &KeyerSettings::PTT_Tail},
    {"FirstExt", "Parameters", 10, &KeyerSettings::FirstExt},
    {"KeyComp", "Parameters", 11, &KeyerSettings::KeyComp},
    {"Farnsworth", "Speed Settings", 12, &KeyerSettings::Farnsworth},
    {"SetPoint", "Parameters", 13, &KeyerSettings::SetPoint},
    {"DDRatio", "Parameters", 14, &KeyerSettings::DDRatio},
    {"Pin5Mode", "Parameters", 15, &KeyerSettings::Pin5Mode},
    {"PotRange", "Parameters", 16, &KeyerSettings::PotRange},
};

const TextParameter &textParameter(const QString &key)
{
    for (const TextParameter &p : kTextParameters) {
        if (key == QLatin1String(p.key))
            return p;
    }
    qFatal("no parameter %s", qPrintable(key));
}

int seedByte(const char *section, const char *key)
{
    bool ok = false;
    const int value = Seed::value(QString::fromLatin1(section), QString::fromLatin1(key)).toInt(&ok);
    Q_ASSERT(ok);
    return value;
}

quint8 byteAt(const QByteArray &bytes, int position)
{
    return static_cast<quint8>(bytes.at(position - 1));
}

QString describe(const QList<RejectedParameter> &rejected)
{
    QStringList parts;
    for (const RejectedParameter &r : rejected)
        parts << QStringLiteral("%1=\"%2\" (%3)").arg(r.key, r.text, r.reason);
    return parts.join(QStringLiteral(", "));
}

// The panel texts as the status bar would show them after a run of bytes.
struct Panels {
    bool xoff = false;
    QString panel1 = QStringLiteral("<untouched>");
    QString panel3 = QStringLiteral("<untouched>");
};

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void parseNumber_data();
    void parseNumber();
    void wholeNumber_data();
    void wholeNumber();
    void numericValueIsZeroWithoutANumber_data();
    void numericValueIsZeroWithoutANumber();

    void modeRegister_data();
    void modeRegister();
    void modeRegisterNeverSetsReservedBits();
    void speedRange_data();
    void speedRange();

    void blockCarriesEveryParameterInOrder();
    void blockRoundsOrReplacesATextParameter_data();
    void blockRoundsOrReplacesATextParameter();
    void blockSpeedBytes_data();
    void blockSpeedBytes();
    void blockOfNothingButRejectsIsTheSeedBlock();

    void commandBytes_data();
    void commandBytes();

    void timeoutAt_data();
    void timeoutAt();
    void deadlineClock_data();
    void deadlineClock();

    void classifyByte_data();
    void classifyByte();
    void classifyEveryByte();
    void receiveSequences_data();
    void receiveSequences();

    void portNaming_data();
    void portNaming();
};

void ProtocolTest::parseNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<double>("value");

    QTest::newRow("whole") << "20" << true << 20.0;
    QTest::newRow("blanks around") << " 20 " << true << 20.0;
    QTest::newRow("many blanks around") << "   7   " << true << 7.0;
    QTest::newRow("fraction") << "12.5" << true << 12.5;
    QTest::newRow("negative fraction") << "-0.5" << true << -0.5;
    QTest::newRow("plus sign") << "+7" << true << 7.0;
    QTest::newRow("leading point") << ".5" << true << 0.5;
    QTest::newRow("trailing point") << "5." << true << 5.0;
    QTest::newRow("leading zeros") << "050" << true << 50.0;
    QTest::newRow("letters") << "abc" << false << 0.0;
    QTest::newRow("empty") << "" << false << 0.0;
    QTest::newRow("blanks only") << "   " << false << 0.0;
    QTest::newRow("exponent") << "1e3" << false << 0.0;
    QTest::newRow("hex") << "0x10" << false << 0.0;
    QTest::newRow("inner blank") << "1 2" << false << 0.0;
    QTest::newRow("blank after sign") << "- 1" << false << 0.0;
    QTest::newRow("two signs") << "+-1" << false << 0.0;
    QTest::newRow("point only") << "." << false << 0.0;
    QTest::newRow("sign only") << "-" << false << 0.0;
    QTest::newRow("decimal comma") << "1,5" << false << 0.0;
    QTest::newRow("trailing letter") << "12a" << false << 0.0;
    QTest::newRow("two points") << "1.2.3" << false << 0.0;
    QTest::newRow("infinity") << "inf" << false << 0.0;
    QTest::newRow("not a number") << "nan" << false << 0.0;
    QTest::newRow("non-ASCII digit") << QString(QChar(0x0663)) << false << 0.0;
}

void ProtocolTest::parseNumber()
{
    QFETCH(QString, text);
    QFETCH(bool, isNumber);
    QFETCH(double, value);

    const std::optional<double> parsed = Winkey::parseNumber(text);
    QCOMPARE(parsed.has_value(), isNumber);
    if (isNumber)
        QCOMPARE(*parsed, value);
}

void ProtocolTest::wholeNumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("isNumber");
    QTest::addColumn<qint64>("value");

    QTest::newRow("12.5 down to even") << "12.5" << true << qint64(12);
    QTest::newRow("13.5 up to even") << "13.5" << true << qint64(14);
    QTest::newRow("2.5 down to even") << "2.5" << true << qint64(2);
    QTest::newRow("0.5 down to zero") << "0.5" << true << qint64(0);
    QTest::newRow("1.5 up to even") << "1.5" << true << qint64(2);
    QTest::newRow("-0.5 to zero") << "-0.5" << true << qint64(0);
    QTest::newRow("-1.5 to -2") << "-1.5" << true << qint64(-2);
    QTest::newRow("-2.5 to -2") << "-2.5" << true << qint64(-2);
    QTest::newRow("just below half") << "2.4999" << true << qint64(2);
    QTest::newRow("just above half") << "2.5001" << true << qint64(3);
    QTest::newRow("blanks around") << " 20 " << true << qint64(20);
    QTest::newRow("blanks around a fraction") << " 12.5 " << true << qint64(12);
    QTest::newRow("255.5 to 256") << "255.5" << true << qint64(256);
    QTest::newRow("large but exact") << "9007199254740992" << true << qint64(9007199254740992);
    QTest::newRow("letters") << "abc" << false << qint64(0);
    QTest::newRow("empty") << "" << false << qint64(0);
    QTest::newRow("exponent") << "1e3" << false << qint64(0);
    QTest::newRow("hex") << "0x10" << false << qint64(0);
    QTest::newRow("inner blank") << "1 2" << false << qint64(0);
    QTest::newRow("beyond 64 bits") << "99999999999999999999" << false << qint64(0);
    QTest::newRow("below 64 bits") << "-99999999999999999999" << false << qint64(0);
}

void ProtocolTest::wholeNumber()
{
    QFETCH(QString, text);
    QFETCH(bool, isNumber);
    QFETCH(qint64, value);

    const std::optional<qint64> whole = toWholeNumber(text);
    QCOMPARE(whole.has_value(), isNumber);
    if (isNumber) {
        QCOMPARE(*whole, value);
        // The same rounding is offered on its own for values already parsed.
        QCOMPARE(roundHalfEven(*Winkey::parseNumber(text)), double(value));
    }
}

void ProtocolTest::numericValueIsZeroWithoutANumber_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<double>("value");

    QTest::newRow("one") << "1" << 1.0;
    QTest::newRow("one with blanks") << " 1 " << 1.0;
    QTest::newRow("fraction kept") << "1.25" << 1.25;
    QTest::newRow("letters") << "abc" << 0.0;
    QTest::newRow("empty") << "" << 0.0;
    QTest::newRow("exponent") << "1e0" << 0.0;
}

void ProtocolTest::numericValueIsZeroWithoutANumber()
{
    QFETCH(QString, text);
    QFETCH(double, value);
    QCOMPARE(numericValue(text), value);
}

void ProtocolTest::modeRegister_data()
{
    QTest::addColumn<QString>("iambic");
    QTest::addColumn<QString>("ctSpace");
    QTest::addColumn<QString>("autoSpace");
    QTest::addColumn<QString>("paddleSwap");
    QTest::addColumn<int>("mode");

    QTest::newRow("A, CT") << "A" << "1" << "0" << "0" << 0x11;
    QTest::newRow("U, auto, swap") << "U" << "0" << "1" << "1" << 0x2A;
    QTest::newRow("B, nothing") << "B" << "0" << "0" << "0" << 0x00;
    QTest::newRow("A, everything") << "A" << "1" << "1" << "1" << 0x1B;
    QTest::newRow("B, everything") << "B" << "1" << "1" << "1" << 0x0B;
    QTest::newRow("lower-case a") << "a" << "0" << "0" << "0" << 0x00;
    QTest::newRow("lower-case u") << "u" << "0" << "0" << "0" << 0x00;
    QTest::newRow("empty letter") << "" << "0" << "0" << "0" << 0x00;
    QTest::newRow("other letter") << "X" << "0" << "0" << "0" << 0x00;
    QTest::newRow("A with a blank") << "A " << "0" << "0" << "0" << 0x00;
    QTest::newRow("switches as 1.0") << "B" << "1.0" << "1.0" << "1.0" << 0x0B;
    QTest::newRow("switches with blanks") << "B" << " 1 " << " 1" << "1 " << 0x0B;
    QTest::newRow("switch 2 is off") << "B" << "2" << "2" << "2" << 0x00;
    QTest::newRow("switch -1 is off") << "B" << "-1" << "-1" << "-1" << 0x00;
    QTest::newRow("switch text is off") << "B" << "yes" << "on" << "true" << 0x00;
    QTest::newRow("switches empty") << "U" << "" << "" << "" << 0x20;
    QTest::newRow("CT alone") << "B" << "1" << "0" << "0" << 0x01;
    QTest::newRow("auto alone") << "B" << "0" << "1" << "0" << 0x02;
    QTest::newRow("swap alone") << "B" << "0" << "0" << "1" << 0x08;
}

void ProtocolTest::modeRegister()
{
    QFETCH(QString, iambic);
    QFETCH(QString, ctSpace);
    QFETCH(QString, autoSpace);
    QFETCH(QString, paddleSwap);
    QFETCH(int, mode);
    QCOMPARE(int(Winkey::modeRegister(iambic, ctSpace, autoSpace, paddleSwap)), mode);
}

void ProtocolTest::modeRegisterNeverSetsReservedBits()
{
    // 0x04, 0x40 and 0x80 select chip features this program never uses.
    const QStringList letters = {"A", "U", "B", "a", "", "AU", "0x40"};
    const QStringList switches = {"0", "1", "2", "4", "64", "-1", "255", "abc", ""};
    for (const QString &letter : letters) {
        for (const QString &ct : switches) {
            for (const QString &space : switches) {
                for (const QString &swap : switches) {
                    const quint8 mode = Winkey::modeRegister(letter, ct, space, swap);
                    QVERIFY2((mode & 0xC4) == 0, qPrintable(QStringLiteral("%1 %2 %3 %4 -> %5")
                                                                .arg(letter, ct, space, swap)
                                                                .arg(mode, 2, 16, QLatin1Char('0'))));
                }
            }
        }
    }
}

void ProtocolTest::speedRange_data()
{
    QTest::addColumn<QString>("maxSpeed");
    QTest::addColumn<int>("minSpeed");
    QTest::addColumn<QString>("range");

    QTest::newRow("35 over 10") << "35" << 10 << "25";
    QTest::newRow("blanks around") << " 40 " << 12 << "28";
    QTest::newRow("fraction kept") << "35.5" << 10 << "25.5";
    QTest::newRow("max below min") << "5" << 10 << "-5";
    QTest::newRow("equal") << "10" << 10 << "0";
    QTest::newRow("not a number") << "abc" << 10 << "";
}

void ProtocolTest::speedRange()
{
    QFETCH(QString, maxSpeed);
    QFETCH(int, minSpeed);
    QFETCH(QString, range);
    QCOMPARE(Winkey::speedRange(maxSpeed, minSpeed), range);
}

void ProtocolTest::blockCarriesEveryParameterInOrder()
{
    const KeyerSettings s = validSettings();
    const ParameterBlock block = parameterBlock(s, 0x2A, Winkey::speedRange(s.MaxSpeed, s.MinSpeed));
    QVERIFY2(block.rejected.isEmpty(), qPrintable(describe(block.rejected)));
    // 0F, mode, speed 0, tone, weight, lead, tail, min speed, range (40 - 11),
    // first extension, compensation, Farnsworth, set point, ratio, pin 5, pot range.
    QCOMPARE(block.bytes.toHex(' '),
             QByteArray("0f 2a 00 04 33 03 06 0b 1d 07 08 14 34 35 02 1e"));
    QCOMPARE(block.bytes.size(), kParameterBlockSize);
}

void ProtocolTest::blockRoundsOrReplacesATextParameter_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("byte"); // -1: the seed value, the text named as rejected
    QTest::addColumn<QString>("reason");

    QTest::newRow("half down to even") << "ToneFreq" << "12.5" << 12 << "";
    QTest::newRow("half up to even") << "PTT_Lead" << "13.5" << 14 << "";
    QTest::newRow("blanks around") << "Weight" << " 20 " << 20 << "";
    QTest::newRow("leading zeros") << "SetPoint" << "050" << 50 << "";
    QTest::newRow("minus half to zero") << "PTT_Tail" << "-0.5" << 0 << "";
    QTest::newRow("zero") << "KeyComp" << "0" << 0 << "";
    QTest::newRow("255") << "DDRatio" << "255" << 255 << "";
    QTest::newRow("255.4 to 255") << "Farnsworth" << "255.4" << 255 << "";
    QTest::newRow("255.5 to 256") << "Weight" << "255.5" << -1 << "outside 0 to 255";
    QTest::newRow("256") << "FirstExt" << "256" << -1 << "outside 0 to 255";
    QTest::newRow("300") << "PTT_Tail" << "300" << -1 << "outside 0 to 255";
    QTest::newRow("negative") << "Pin5Mode" << "-1" << -1 << "outside 0 to 255";
    QTest::newRow("-0.6 to -1") << "KeyComp" << "-0.6" << -1 << "outside 0 to 255";
    QTest::newRow("letters") << "Weight" << "heavy" << -1 << "not a number";
    QTest::newRow("empty") << "ToneFreq" << "" << -1 << "not a number";
    QTest::newRow("exponent") << "PotRange" << "1e2" << -1 << "not a number";
    QTest::newRow("hex") << "SetPoint" << "0x10" << -1 << "not a number";
    QTest::newRow("inner blank") << "DDRatio" << "5 0" << -1 << "not a number";
    QTest::newRow("beyond 64 bits") << "Farnsworth" << "99999999999999999999" << -1 << "not a number";
}

void ProtocolTest::blockRoundsOrReplacesATextParameter()
{
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(int, byte);
    QFETCH(QString, reason);

    const TextParameter &p = textParameter(key);
    KeyerSettings s = validSettings();
    s.*p.field = text;
    const KeyerSettings before = s;
    const ParameterBlock block = parameterBlock(s, 0x11, Winkey::speedRange(s.MaxSpeed, s.MinSpeed));

    QCOMPARE(block.bytes.size(), kParameterBlockSize);
    QCOMPARE(byteAt(block.bytes, 1), quint8(0x0F));
    QCOMPARE(byteAt(block.bytes, kModeByte), quint8(0x11));
    QCOMPARE(byteAt(block.bytes, 3), quint8(0));
    if (byte >= 0) {
        QVERIFY2(block.rejected.isEmpty(), qPrintable(describe(block.rejected)));
        QCOMPARE(int(byteAt(block.bytes, p.position)), byte);
    } else {
        QCOMPARE(block.rejected.size(), 1);
        QCOMPARE(block.rejected.first().key, key);
        QCOMPARE(block.rejected.first().text, text);
        QCOMPARE(block.rejected.first().reason, reason);
        QCOMPARE(int(byteAt(block.bytes, p.position)), seedByte(p.seedSection, p.key));
    }
    QCOMPARE(s.*p.field, before.*p.field);

    // Every other byte is the one the valid record gives.
    const QByteArray valid = parameterBlock(validSettings(), 0x11, QStringLiteral("29")).bytes;
    for (int position = 1; position <= kParameterBlockSize; ++position) {
        if (position != p.position)
            QCOMPARE(byteAt(block.bytes, position), byteAt(valid, position));
    }
}

void ProtocolTest::blockSpeedBytes_data()
{
    QTest::addColumn<QString>("maxSpeed");
    QTest::addColumn<int>("minSpeed");
    QTest::addColumn<int>("minByte");   // -1: replaced by the seed
    QTest::addColumn<int>("rangeByte"); // -1: replaced by the seed
    QTest::addColumn<QStringList>("rejected"); // key=text of each rejected parameter

    QTest::newRow("35 over 10") << "35" << 10 << 10 << 0x19 << QStringList{};
    QTest::newRow("max with blanks") << " 40 " << 12 << 12 << 28 << QStringList{};
    QTest::newRow("range 25.5 to 26") << "35.5" << 10 << 10 << 26 << QStringList{};
    QTest::newRow("range 24.5 to 24") << "34.5" << 10 << 10 << 24 << QStringList{};
    QTest::newRow("max equals min") << "10" << 10 << 10 << 0 << QStringList{};
    QTest::newRow("range 255") << "265" << 10 << 10 << 255 << QStringList{};
    QTest::newRow("max below min") << "5" << 10 << 10 << -1 << QStringList{"SpeedRange=-5"};
    QTest::newRow("range 255.5 to 256") << "265.5" << 10 << 10 << -1 << QStringList{"SpeedRange=255.5"};
    QTest::newRow("max not a number") << "fast" << 10 << 10 << -1 << QStringList{"MaxSpeed=fast"};
    QTest::newRow("max empty") << "" << 10 << 10 << -1 << QStringList{"MaxSpeed="};
    QTest::newRow("max exponent") << "3e1" << 10 << 10 << -1 << QStringList{"MaxSpeed=3e1"};
    QTest::newRow("min 0") << "35" << 0 << 0 << 35 << QStringList{};
    QTest::newRow("min 255") << "300" << 255 << 255 << 45 << QStringList{};
    QTest::newRow("min 256") << "300" << 256 << -1 << 44 << QStringList{"MinSpeed=256"};
    QTest::newRow("min negative") << "35" << -1 << -1 << 36 << QStringList{"MinSpeed=-1"};
    QTest::newRow("min above max, both out")
        << "35" << 300 << -1 << -1 << QStringList{"MinSpeed=300", "SpeedRange=-265"};
}

void ProtocolTest::blockSpeedBytes()
{
    QFETCH(QString, maxSpeed);
    QFETCH(int, minSpeed);
    QFETCH(int, minByte);
    QFETCH(int, rangeByte);
    QFETCH(QStringList, rejected);

    KeyerSettings s = validSettings();
    s.MaxSpeed = maxSpeed;
    s.MinSpeed = minSpeed;
    const ParameterBlock block = parameterBlock(s, 0, Winkey::speedRange(maxSpeed, minSpeed));

    QCOMPARE(block.bytes.size(), kParameterBlockSize);
    QCOMPARE(int(byteAt(block.bytes, kMinSpeedByte)), minByte >= 0 ? minByte : Seed::kMinSpeed);
    QCOMPARE(int(byteAt(block.bytes, kSpeedRangeByte)),
             rangeByte >= 0 ? rangeByte : seedByte("Speed Settings", "MaxSpeed") - Seed::kMinSpeed);
    QStringList named;
    for (const RejectedParameter &r : block.rejected)
        named << r.key + QLatin1Char('=') + r.text;
    named.sort();
    rejected.sort();
    QCOMPARE(named, rejected);
    QCOMPARE(s.MaxSpeed, maxSpeed);
    QCOMPARE(s.MinSpeed, minSpeed);
}

void ProtocolTest::blockOfNothingButRejectsIsTheSeedBlock()
{
    KeyerSettings s;
    for (const TextParameter &p : kTextParameters)
        s.*p.field = QStringLiteral("x");
    s.MaxSpeed = QStringLiteral("x");
    s.MinSpeed = -5;
    const ParameterBlock block = parameterBlock(s, 0, Winkey::speedRange(s.MaxSpeed, s.MinSpeed));

    QCOMPARE(block.rejected.size(), int(std::size(kTextParameters)) + 2);
    QCOMPARE(block.bytes.size(), kParameterBlockSize);
    for (const TextParameter &p : kTextParameters)
        QCOMPARE(int(byteAt(block.bytes, p.position)), seedByte(p.seedSection, p.key));
    QCOMPARE(int(byteAt(block.bytes, kMinSpeedByte)), Seed::kMinSpeed);
    QCOMPARE(int(byteAt(block.bytes, kSpeedRangeByte)),
             seedByte("Speed Settings", "MaxSpeed") - Seed::kMinSpeed);
}

void ProtocolTest::commandBytes_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QByteArray>("expected");

    QTest::newRow("calibrate head") << calibrateHead() << QByteArray::fromHex("0000");
    QTest::newRow("calibrate tail") << calibrateTail() << QByteArray::fromHex("ff");
    QTest::newRow("echo test") << echoTest() << QByteArray::fromHex("000455");
    QTest::newRow("host open") << hostOpen() << QByteArray::fromHex("0002");
    QTest::newRow("speed pot") << getSpeedPot() << QByteArray::fromHex("07");
    QTest::newRow("abort") << abortCommand() << QByteArray::fromHex("0a");
    QTest::newRow("key down") << tuneCommand(true) << QByteArray::fromHex("0b01");
    QTest::newRow("key up") << tuneCommand(false) << QByteArray::fromHex("0b00");
}

void ProtocolTest::commandBytes()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QByteArray, expected);
    QCOMPARE(bytes.toHex(' '), expected.toHex(' '));
}

void ProtocolTest::timeoutAt_data()
{
    QTest::addColumn<double>("clock");
    QTest::addColumn<int>("deadline");

    QTest::newRow("morning") << 100.0 << 102;
    QTest::newRow("half down to even") << 100.5 << 102;
    QTest::newRow("half up to even") << 101.5 << 104;
    QTest::newRow("just after midnight") << 0.0 << 2;
    QTest::newRow("86396.5 stays before midnight") << 86396.5 << 86398;
    QTest::newRow("86397.4 to the last second") << 86397.4 << 86399;
    QTest::newRow("86397.5 rounds to 86398, lands on midnight") << 86397.5 << 0;
    QTest::newRow("86397.6 lands on midnight") << 86397.6 << 0;
    QTest::newRow("86398 lands on midnight") << 86398.0 << 0;
    QTest::newRow("86398.6 wraps to 1") << 86398.6 << 1;
    QTest::newRow("86399.5 rounds to 86400, wraps to 2") << 86399.5 << 2;
    QTest::newRow("86399.9 wraps to 2") << 86399.9 << 2;
}

void ProtocolTest::timeoutAt()
{
    QFETCH(double, clock);
    QFETCH(int, deadline);
    QCOMPARE(Winkey::timeoutAt(2, clock), deadline);
}

void ProtocolTest::deadlineClock_data()
{
    QTest::addColumn<double>("start");
    QTest::addColumn<QList<double>>("readings");
    QTest::addColumn<QList<bool>>("passed");

    QTest::newRow("same day") << 100.0 << QList<double>{100.5, 101.9, 102.0, 102.1}
                              << QList<bool>{false, false, false, true};
    QTest::newRow("after midnight, clock not yet wrapped")
        << 86399.0 << QList<double>{86399.5, 86399.99, 0.2, 0.9, 1.0, 1.1}
        << QList<bool>{false, false, false, false, false, true};
    QTest::newRow("after midnight, late start")
        << 86398.6 << QList<double>{86399.9, 0.5, 1.5, 2.0} << QList<bool>{false, false, true, true};
    QTest::newRow("midnight itself") << 86397.5 << QList<double>{86399.9, 0.0, 0.01}
                                     << QList<bool>{false, false, true};
    QTest::newRow("before midnight, clock wraps early")
        << 86397.4 << QList<double>{86398.0, 0.1} << QList<bool>{false, true};
    QTest::newRow("before midnight, passed normally")
        << 86397.4 << QList<double>{86398.9, 86399.2} << QList<bool>{false, true};
    QTest::newRow("after midnight, clock jumps well past")
        << 86399.9 << QList<double>{86399.95, 5.0} << QList<bool>{false, true};
}

void ProtocolTest::deadlineClock()
{
    QFETCH(double, start);
    QFETCH(QList<double>, readings);
    QFETCH(QList<bool>, passed);
    QCOMPARE(readings.size(), passed.size());

    DeadlineClock clock(Winkey::timeoutAt(2, start), start);
    for (qsizetype i = 0; i < readings.size(); ++i) {
        QVERIFY2(clock.passed(readings.at(i)) == passed.at(i),
                 qPrintable(QStringLiteral("reading %1 (%2) should %3 the deadline %4")
                                .arg(i)
                                .arg(readings.at(i), 0, 'f', 2)
                                .arg(passed.at(i) ? QStringLiteral("pass") : QStringLiteral("not pass"))
                                .arg(Winkey::timeoutAt(2, start))));
    }
}

void ProtocolTest::classifyByte_data()
{
    QTest::addColumn<int>("byte");
    QTest::addColumn<int>("minSpeed");
    QTest::addColumn<bool>("xoffBefore");
    QTest::addColumn<bool>("xoffAfter");
    QTest::addColumn<QString>("panel1"); // null: unchanged
    QTest::addColumn<QString>("panel3"); // null: unchanged

    const QString same;
    QTest::newRow("80 is the minimum") << 0x80 << 10 << false << false << same << "10 WPM";
    QTest::newRow("8F") << 0x8F << 10 << false << false << same << "25 WPM";
    QTest::newRow("BF unclamped") << 0xBF << 10 << false << false << same << "73 WPM";
    QTest::newRow("00 unclamped") << 0x00 << 10 << false << false << same << "-118 WPM";
    QTest::newRow("7F") << 0x7F << 10 << false << false << same << "9 WPM";
    QTest::newRow("other minimum") << 0x85 << 15 << false << false << same << "20 WPM";
    QTest::newRow("speed keeps xoff") << 0x8F << 10 << true << true << same << "25 WPM";
    QTest::newRow("C5 sets xoff") << 0xC5 << 10 << false << true << same << same;
    QTest::newRow("C5 again") << 0xC5 << 10 << true << true << same << same;
    QTest::newRow("C4 clears xoff") << 0xC4 << 10 << true << false << "WinKey Buffer 2/3 Full" << same;
    QTest::newRow("C4 without xoff") << 0xC4 << 10 << false << false << "WinKey Buffer 2/3 Full" << same;
    QTest::newRow("C0 clears xoff") << 0xC0 << 10 << true << false << " " << same;
    QTest::newRow("C0 without xoff") << 0xC0 << 10 << false << false << " " << same;
    for (const int other : {0xC1, 0xC6, 0xCC, 0xFF}) {
        for (const bool xoff : {false, true}) {
            QTest::addRow("%02X with xoff %d", other, int(xoff))
                << other << 10 << xoff << xoff << same << same;
        }
    }
}

void ProtocolTest::classifyByte()
{
    QFETCH(int, byte);
    QFETCH(int, minSpeed);
    QFETCH(bool, xoffBefore);
    QFETCH(bool, xoffAfter);
    QFETCH(QString, panel1);
    QFETCH(QString, panel3);

    const ReceiveEffect effect = Winkey::classifyByte(quint8(byte), minSpeed, xoffBefore);
    QCOMPARE(effect.xoffActive, xoffAfter);
    QCOMPARE(effect.panel1.has_value(), !panel1.isNull());
    if (effect.panel1)
        QCOMPARE(*effect.panel1, panel1);
    QCOMPARE(effect.panel3.has_value(), !panel3.isNull());
    if (effect.panel3)
        QCOMPARE(*effect.panel3, panel3);
}

void ProtocolTest::classifyEveryByte()
{
    const QString full = QStringLiteral("WinKey Buffer 2/3 Full");
    for (int byte = 0; byte <= 0xFF; ++byte) {
        for (const bool xoff : {false, true}) {
            const QString where = QStringLiteral("byte %1, xoff %2").arg(byte, 2, 16, QLatin1Char('0')).arg(xoff);
            const ReceiveEffect effect = Winkey::classifyByte(quint8(byte), 10, xoff);
            if (byte <= 191) {
                QVERIFY2(effect.xoffActive == xoff, qPrintable(where));
                QVERIFY2(!effect.panel1, qPrintable(where));
                QVERIFY2(effect.panel3 == QStringLiteral("%1 WPM").arg(byte - 118), qPrintable(where));
            } else if (byte == 0xC0 || byte == 0xC4) {
                QVERIFY2(!effect.xoffActive, qPrintable(where));
                QVERIFY2(effect.panel1 == (byte == 0xC0 ? QStringLiteral(" ") : full), qPrintable(where));
                QVERIFY2(!effect.panel3, qPrintable(where));
            } else if (byte == 0xC5) {
                QVERIFY2(effect.xoffActive, qPrintable(where));
                QVERIFY2(!effect.panel1 && !effect.panel3, qPrintable(where));
            } else {
                QVERIFY2(effect.xoffActive == xoff, qPrintable(where));
                QVERIFY2(!effect.panel1 && !effect.panel3, qPrintable(where));
            }
        }
    }
}

void ProtocolTest::receiveSequences_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<bool>("xoff");
    QTest::addColumn<QString>("panel1");
    QTest::addColumn<QString>("panel3");

    const QString untouched = Panels{}.panel1;
    QTest::newRow("C5 C4") << QByteArray::fromHex("c5c4") << false << "WinKey Buffer 2/3 Full" << untouched;
    QTest::newRow("C5 speed") << QByteArray::fromHex("c58f") << true << untouched << "25 WPM";
    QTest::newRow("C5 C6") << QByteArray::fromHex("c5c6") << true << untouched << untouched;
    QTest::newRow("C5 C4 C0") << QByteArray::fromHex("c5c4c0") << false << " " << untouched;
    QTest::newRow("C4 C5") << QByteArray::fromHex("c4c5") << true << "WinKey Buffer 2/3 Full" << untouched;
    QTest::newRow("speeds, last wins") << QByteArray::fromHex("8090a0") << false << untouched << "42 WPM";
}

void ProtocolTest::receiveSequences()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, xoff);
    QFETCH(QString, panel1);
    QFETCH(QString, panel3);

    Panels panels;
    for (const char byte : bytes) {
        const ReceiveEffect effect = Winkey::classifyByte(quint8(byte), 10, panels.xoff);
        panels.xoff = effect.xoffActive;
        if (effect.panel1)
            panels.panel1 = *effect.panel1;
        if (effect.panel3)
            panels.panel3 = *effect.panel3;
    }
    QCOMPARE(panels.xoff, xoff);
    QCOMPARE(panels.panel1, panel1);
    QCOMPARE(panels.panel3, panel3);
}

void ProtocolTest::portNaming_data()
{
    QTest::addColumn<QString>("comPort");
    QTest::addColumn<QString>("device");
    QTest::addColumn<QString>("panel");

    QTest::newRow("number 3") << "3" << "/dev/ttyS2" << "COM3";
    QTest::newRow("number 1") << "1" << "/dev/ttyS0" << "COM1";
    QTest::newRow("number 10") << "10" << "/dev/ttyS9" << "COM10";
    QTest::newRow("number with blanks") << " 3 " << "/dev/ttyS2" << "COM3";
    QTest::newRow("short name") << "ttyUSB0" << "ttyUSB0" << "ttyUSB0";
    QTest::newRow("path") << "/dev/ttyUSB0" << "/dev/ttyUSB0" << "ttyUSB0";
    QTest::newRow("pseudo-terminal") << "/dev/pts/7" << "/dev/pts/7" << "7";
    QTest::newRow("0 is a name") << "0" << "0" << "0";
    QTest::newRow("negative is a name") << "-3" << "-3" << "-3";
    QTest::newRow("fraction is a name") << "3.0" << "3.0" << "3.0";
}

void ProtocolTest::portNaming()
{
#ifndef Q_OS_LINUX
    QSKIP("Port names are checked for Linux");
#endif
    QFETCH(QString, comPort);
    QFETCH(QString, device);
    QFETCH(QString, panel);
    QCOMPARE(portDeviceName(comPort), device);
    QCOMPARE(portPanelText(comPort), panel);
}

QTEST_APPLESS_MAIN(ProtocolTest)
#include "tst_protocol.moc"
