// The WinKey host protocol as pure functions: number texts, the mode
// register, the load-defaults block, midnight-safe deadlines, the receive
// path, the bytes of a message and port naming. No port, window or clock is involved.
#include "keyer/protocol.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingstable.h"

#include "suites.h"

#include <QTest>

#include <limits>
#include <optional>

using namespace Winkey;

namespace {

// 1-based byte positions in the load-defaults block.
constexpr int kMinSpeedByte = 8;
constexpr int kSpeedRangeByte = 9;
constexpr int kSeedRange = 25; // the seed's MaxSpeed 35 less its MinSpeed
constexpr qint64 kNoWhole = std::numeric_limits<qint64>::min();

// A record the chip takes unchanged, every byte different.
KeyerSettings validSettings()
{
    KeyerSettings s;
    s.ToneFreq = QStringLiteral("4");
    s.Weight = QStringLiteral("51");
    s.PTT_Lead = QStringLiteral("3");
    s.PTT_Tail = QStringLiteral("6");
    s.FirstExt = QStringLiteral("7");
    s.KeyComp = QStringLiteral("8");
    s.Farnsworth = QStringLiteral("20");
    s.SetPoint = QStringLiteral("52");
    s.DDRatio = QStringLiteral("53");
    s.Pin5Mode = QStringLiteral("2");
    s.PotRange = QStringLiteral("30");
    s.MinSpeed = 11;
    s.MaxSpeed = QStringLiteral("40");
    return s;
}

ParameterBlock blockOf(const KeyerSettings &s, quint8 mode)
{
    return parameterBlock(mode, SettingsTable::blockParameters(s, speedRange(s.MaxSpeed, s.MinSpeed)));
}

int byteAt(const QByteArray &bytes, int position)
{
    return static_cast<quint8>(bytes.at(position - 1));
}

QStringList named(const QList<RejectedParameter> &rejected)
{
    QStringList parts;
    for (const RejectedParameter &r : rejected)
        parts << QStringLiteral("%1=%2 (%3)").arg(r.key, r.text, r.reason);
    parts.sort();
    return parts;
}

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private slots:
    void numberTexts_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("isNumber");
        QTest::addColumn<double>("value");
        QTest::addColumn<qint64>("whole"); // kNoWhole: beyond 64 bits

        struct Number {
            const char *text;
            double value;
            qint64 whole;
        };
        // Halves round to the even neighbour, also below zero.
        const Number numbers[] = {
            {" 20 ", 20, 20}, {"\t+7", 7, 7}, {"050", 50, 50}, {".5", 0.5, 0}, {"5.", 5, 5},
            {"12.5", 12.5, 12}, {"13.5", 13.5, 14}, {"-0.5", -0.5, 0}, {"-2.5", -2.5, -2}, {"2.5001", 2.5001, 3},
            {"255.5", 255.5, 256}, {"99999999999999999999", 1e20, kNoWhole}, {"-99999999999999999999", -1e20, kNoWhole}};
        for (const Number &n : numbers)
            QTest::addRow("'%s'", n.text) << QString::fromLatin1(n.text) << true << n.value << n.whole;
        // strtod or QString::toDouble would take several of these; a store text must not.
        for (const char *text : {"abc", "", "   ", "1e3", "0x10", "1 2", "- 1", ".", "1,5", "inf", "12\n"})
            QTest::addRow("'%s'", text) << QString::fromLatin1(text) << false << 0.0 << kNoWhole;
        QTest::newRow("non-ASCII digit") << QString(QChar(0x0663)) << false << 0.0 << kNoWhole;
    }

    void numberTexts()
    {
        QFETCH(QString, text);
        QFETCH(bool, isNumber);
        QFETCH(double, value);
        QFETCH(qint64, whole);

        const std::optional<double> parsed = Winkey::parseNumber(text);
        QCOMPARE(parsed.has_value(), isNumber);
        if (isNumber) {
            QCOMPARE(*parsed, value);
            QCOMPARE(roundHalfEven(value), whole == kNoWhole ? value : double(whole));
        }
        // The switches read a text that is no number as 0.
        QCOMPARE(numericValue(text), value);
        QCOMPARE(toWholeNumber(text).value_or(kNoWhole), whole);
    }

    void modeRegister_data()
    {
        QTest::addColumn<QString>("iambic");
        QTest::addColumn<QString>("ctSpace");
        QTest::addColumn<QString>("autoSpace");
        QTest::addColumn<QString>("paddleSwap");
        QTest::addColumn<int>("mode");

        QTest::newRow("U, auto, swap") << "U" << "0" << "1" << "1" << 0x2A;
        QTest::newRow("A, everything") << "A" << "1" << "1" << "1" << 0x1B;
        QTest::newRow("swap alone") << "B" << "0" << "0" << "1" << 0x08;
        QTest::newRow("lower-case a") << "a" << "0" << "0" << "0" << 0x00;
        QTest::newRow("A with a blank") << "A " << "0" << "0" << "0" << 0x00;
        QTest::newRow("switches as 1.0, with blanks") << "B" << "1.0" << " 1" << "1 " << 0x0B;
        QTest::newRow("switch text is off") << "B" << "yes" << "on" << "" << 0x00;
        // 0x04, 0x40 and 0x80 select chip features this program never uses.
        QTest::newRow("reserved bits as switches") << "U" << "4" << "64" << "128" << 0x20;
    }

    void modeRegister()
    {
        QFETCH(QString, iambic);
        QFETCH(QString, ctSpace);
        QFETCH(QString, autoSpace);
        QFETCH(QString, paddleSwap);
        QFETCH(int, mode);
        QCOMPARE(int(Winkey::modeRegister(iambic, ctSpace, autoSpace, paddleSwap)), mode);
    }

    void blockCarriesEveryParameterInOrder()
    {
        const ParameterBlock block = blockOf(validSettings(), 0x2A);
        QCOMPARE(named(block.rejected), QStringList());
        // 0F, mode, speed 0, tone, weight, lead, tail, min speed, range (40 - 11),
        // first extension, compensation, Farnsworth, set point, ratio, pin 5, pot range.
        QCOMPARE(block.bytes.toHex(' '), QByteArray("0f 2a 00 04 33 03 06 0b 1d 07 08 14 34 35 02 1e"));
    }

    void parameterByte_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<int>("byte"); // -1: the fallback (9), the text named as rejected
        QTest::addColumn<QString>("reason");

        QTest::newRow("half down to even") << "12.5" << 12 << "";
        QTest::newRow("255") << "255" << 255 << "";
        QTest::newRow("255.5 to 256") << "255.5" << -1 << "outside 0 to 255";
        QTest::newRow("256") << "256" << -1 << "outside 0 to 255";
        QTest::newRow("negative") << "-1" << -1 << "outside 0 to 255";
        QTest::newRow("letters") << "heavy" << -1 << "not a number";
        QTest::newRow("beyond 64 bits") << "99999999999999999999" << -1 << "outside 0 to 255";
    }

    // Every parameter byte follows one rule; the one under test comes last
    // and each of the others is a fallback that must not be taken.
    void parameterByte()
    {
        QFETCH(QString, text);
        QFETCH(int, byte);
        QFETCH(QString, reason);

        QList<SettingsTable::BlockParameter> parameters;
        for (int i = 1; i < kParameterBlockSize - 3; ++i)
            parameters.append({QStringLiteral("P%1").arg(i), QString::number(i), QStringLiteral("200")});
        parameters.append({QStringLiteral("Tested"), text, QStringLiteral("9")});
        const ParameterBlock block = parameterBlock(0x11, parameters);

        QCOMPARE(block.bytes.toHex(' '), QByteArray("0f 11 00 01 02 03 04 05 06 07 08 09 0a 0b 0c ")
                                             + QByteArray::number(byte >= 0 ? byte : 9, 16).rightJustified(2, '0'));
        QCOMPARE(named(block.rejected),
                 byte >= 0 ? QStringList() : QStringList{QStringLiteral("Tested=%1 (%2)").arg(text, reason)});
    }

    void blockSpeedBytes_data()
    {
        QTest::addColumn<QString>("maxSpeed");
        QTest::addColumn<int>("minSpeed");
        QTest::addColumn<int>("minByte");   // -1: replaced by the seed
        QTest::addColumn<int>("rangeByte"); // -1: replaced by the seed
        QTest::addColumn<QStringList>("rejected"); // sorted

        QTest::newRow("max with blanks") << " 40 " << 12 << 12 << 28 << QStringList{};
        QTest::newRow("range 25.5 to 26") << "35.5" << 10 << 10 << 26 << QStringList{};
        QTest::newRow("range 255") << "265" << 10 << 10 << 255 << QStringList{};
        QTest::newRow("max below min") << "5" << 10 << 10 << -1 << QStringList{"SpeedRange=-5 (outside 0 to 255)"};
        QTest::newRow("range 255.5 to 256")
            << "265.5" << 10 << 10 << -1 << QStringList{"SpeedRange=255.5 (outside 0 to 255)"};
        QTest::newRow("max not a number") << "fast" << 10 << 10 << -1 << QStringList{"MaxSpeed=fast (not a number)"};
        QTest::newRow("min 256") << "300" << 256 << -1 << 44 << QStringList{"MinSpeed=256 (outside 0 to 255)"};
        QTest::newRow("min above max, both out") << "35" << 300 << -1 << -1
            << QStringList{"MinSpeed=300 (outside 0 to 255)", "SpeedRange=-265 (outside 0 to 255)"};
    }

    void blockSpeedBytes()
    {
        QFETCH(QString, maxSpeed);
        QFETCH(int, minSpeed);
        QFETCH(int, minByte);
        QFETCH(int, rangeByte);
        QFETCH(QStringList, rejected);

        KeyerSettings s = validSettings();
        s.MaxSpeed = maxSpeed;
        s.MinSpeed = minSpeed;
        const ParameterBlock block = blockOf(s, 0);

        QCOMPARE(block.bytes.size(), kParameterBlockSize);
        QCOMPARE(byteAt(block.bytes, kMinSpeedByte), minByte >= 0 ? minByte : Seed::kMinSpeed);
        QCOMPARE(byteAt(block.bytes, kSpeedRangeByte), rangeByte >= 0 ? rangeByte : kSeedRange);
        QCOMPARE(named(block.rejected), rejected);
    }

    void timeoutAt_data()
    {
        QTest::addColumn<double>("clock");
        QTest::addColumn<int>("deadline");

        // Halves round to even; a deadline on or past midnight wraps to the new day.
        const std::pair<double, int> cases[] = {{100.0, 102}, {100.5, 102}, {101.5, 104}, {86396.5, 86398},
                                                {86397.4, 86399}, {86397.5, 0}, {86398.0, 0}, {86398.6, 1},
                                                {86399.5, 2}};
        for (const auto &[clock, deadline] : cases)
            QTest::addRow("%.1f", clock) << clock << deadline;
    }

    void timeoutAt()
    {
        QFETCH(double, clock);
        QFETCH(int, deadline);
        QCOMPARE(Winkey::timeoutAt(2, clock), deadline);
    }

    void deadlineClock_data()
    {
        QTest::addColumn<double>("start");
        QTest::addColumn<QList<double>>("readings");
        QTest::addColumn<QList<bool>>("passed");

        QTest::newRow("same day") << 100.0 << QList<double>{100.5, 101.9, 102.0, 102.1}
                                  << QList<bool>{false, false, false, true};
        QTest::newRow("after midnight, clock not yet wrapped")
            << 86399.0 << QList<double>{86399.5, 86399.99, 0.2, 0.9, 1.0, 1.1}
            << QList<bool>{false, false, false, false, false, true};
        QTest::newRow("midnight itself") << 86397.5 << QList<double>{86399.9, 0.0, 0.01}
                                         << QList<bool>{false, false, true};
        QTest::newRow("before midnight, clock wraps early")
            << 86397.4 << QList<double>{86398.0, 0.1} << QList<bool>{false, true};
        QTest::newRow("after midnight, clock jumps well past")
            << 86399.9 << QList<double>{86399.95, 5.0} << QList<bool>{false, true};
    }

    void deadlineClock()
    {
        QFETCH(double, start);
        QFETCH(QList<double>, readings);
        QFETCH(QList<bool>, passed);
        QCOMPARE(readings.size(), passed.size());

        DeadlineClock clock(Winkey::timeoutAt(2, start), start);
        for (qsizetype i = 0; i < readings.size(); ++i)
            QVERIFY2(clock.passed(readings.at(i)) == passed.at(i), qPrintable(QString::number(readings.at(i))));
    }

    void classifyByte_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("minSpeed");
        QTest::addColumn<bool>("xoffBefore");
        QTest::addColumn<bool>("xoffAfter");
        QTest::addColumn<QString>("panel1"); // null: unchanged
        QTest::addColumn<QString>("panel3"); // null: unchanged

        const QString same;
        QTest::newRow("80 is the minimum") << 0x80 << 10 << false << false << same << "10 WPM";
        QTest::newRow("BF unclamped") << 0xBF << 10 << false << false << same << "73 WPM";
        QTest::newRow("00 unclamped") << 0x00 << 10 << false << false << same << "-118 WPM";
        QTest::newRow("other minimum") << 0x85 << 15 << false << false << same << "20 WPM";
        QTest::newRow("speed keeps xoff") << 0x8F << 10 << true << true << same << "25 WPM";
        QTest::newRow("C5 sets xoff") << 0xC5 << 10 << false << true << same << same;
        QTest::newRow("C4 clears xoff") << 0xC4 << 10 << true << false << "WinKey Buffer 2/3 Full" << same;
        QTest::newRow("C0 clears xoff") << 0xC0 << 10 << true << false << " " << same;
        // Every other status byte changes nothing, whatever its bits say.
        for (int other = 0xC1; other <= 0xFF; ++other) {
            for (const bool xoff : {false, true}) {
                if (other != 0xC4 && other != 0xC5)
                    QTest::addRow("%02X with xoff %d", other, int(xoff)) << other << 10 << xoff << xoff << same << same;
            }
        }
    }

    void classifyByte()
    {
        QFETCH(int, byte);
        QFETCH(int, minSpeed);
        QFETCH(bool, xoffBefore);
        QFETCH(bool, xoffAfter);
        QFETCH(QString, panel1);
        QFETCH(QString, panel3);

        const ReceiveEffect effect = Winkey::classifyByte(quint8(byte), minSpeed, xoffBefore);
        QCOMPARE(effect.xoffActive, xoffAfter);
        QCOMPARE(effect.panel1.value_or(QString()), panel1);
        QCOMPARE(effect.panel1.has_value(), !panel1.isNull());
        QCOMPARE(effect.panel3.value_or(QString()), panel3);
        QCOMPARE(effect.panel3.has_value(), !panel3.isNull());
    }

    void textBytes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("printable") << "CQ de <AR> 5nn" << QByteArray("CQ de <AR> 5nn");
        QTest::newRow("Latin-1 kept, beyond dropped")
            << QStringLiteral("Gr\u00fc\u00dfe \u65e5\u672c \u2014 \u00e9") << QByteArray("Gr\xfc\xdf" "e   \xe9");
        QTest::newRow("chip commands") << QStringLiteral("5nn\x0f\x01\x0b" "tu\x1b") << QByteArray("5nntu");
        QTest::newRow("NUL and DEL") << QString(QChar(0)) + QStringLiteral("k\x7f") << QByteArray("k");
        QTest::newRow("line breaks and tab") << QStringLiteral("cq\r\nde\nme\r\tk") << QByteArray("cq de me  k");
        QTest::newRow("no-break space, y umlaut") << QStringLiteral("\u00a0\u00ff") << QByteArray("\xa0\xff");
        QTest::newRow("beyond the BMP") << QStringLiteral("\U0001F4FB 73") << QByteArray(" 73");
    }

    // What of a message the chip can key; a line break is a word gap.
    void textBytes()
    {
        QFETCH(QString, text);
        QFETCH(QByteArray, bytes);
        QCOMPARE(Winkey::textBytes(text), bytes);
    }

    void portNaming_data()
    {
        QTest::addColumn<QString>("comPort");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("panel");

        QTest::newRow("number 1") << "1" << "/dev/ttyS0" << "COM1";
        QTest::newRow("number with blanks") << " 3 " << "/dev/ttyS2" << "COM3";
        QTest::newRow("short name") << "ttyUSB0" << "ttyUSB0" << "ttyUSB0";
        QTest::newRow("path") << "/dev/ttyUSB0" << "/dev/ttyUSB0" << "ttyUSB0";
        QTest::newRow("pseudo-terminal") << "/dev/pts/7" << "/dev/pts/7" << "7";
        QTest::newRow("0 is a name") << "0" << "0" << "0";
        QTest::newRow("fraction is a name") << "3.0" << "3.0" << "3.0";
    }

    void portNaming()
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
};

ZAVO_SUITE(ProtocolTest)
#include "tst_protocol.moc"
