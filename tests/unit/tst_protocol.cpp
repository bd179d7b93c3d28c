// The WinKey host protocol as pure functions: no port, window or clock.
#include "keyer/protocol.h"
#include "settings/keyersettings.h"
#include "settings/settingstable.h"

#include "suites.h"

#include <limits>
#include <optional>
#include <tuple>

using namespace Winkey;

namespace {

constexpr qint64 kNoWhole = std::numeric_limits<qint64>::min();
const QString kUnchanged = QStringLiteral("(unchanged)");

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

        // Halves round to the even neighbour, also below zero.
        const std::tuple<const char *, double, qint64> numbers[] = {{" 20 ", 20, 20}, {"\t+7", 7, 7}, {".5", 0.5, 0}, {"5.", 5, 5}, {"12.5", 12.5, 12},
                                  {"13.5", 13.5, 14}, {"-2.5", -2.5, -2}, {"2.5001", 2.5001, 3},
                                  {"99999999999999999999", 1e20, kNoWhole}};
        for (const auto &[text, value, whole] : numbers)
            QTest::addRow("'%s'", text) << QString::fromLatin1(text) << true << value << whole;
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
        QTest::addColumn<QStringList>("switches"); // CT space, auto space, paddle swap
        QTest::addColumn<int>("mode");

        QTest::newRow("U, auto, swap") << "U" << QStringList{"0", "1", "1"} << 0x2A;
        QTest::newRow("A, everything") << "A" << QStringList{"1", "1", "1"} << 0x1B;
        QTest::newRow("lower-case a, switches off") << "a" << QStringList{"yes", "on", ""} << 0x00;
        QTest::newRow("A with a blank, switches as 1.0") << "A " << QStringList{"1.0", " 1", "1 "} << 0x0B;
        // 0x04, 0x40 and 0x80 select chip features this program never uses.
        QTest::newRow("reserved bits as switches") << "U" << QStringList{"4", "64", "128"} << 0x20;
    }

    void modeRegister()
    {
        QFETCH(QString, iambic);
        QFETCH(QStringList, switches);
        QFETCH(int, mode);
        QCOMPARE(int(Winkey::modeRegister(iambic, switches.at(0), switches.at(1), switches.at(2))), mode);
    }

    void blockCarriesEveryParameterInOrder()
    {
        const ParameterBlock block = blockOf(validSettings(), 0x2A);
        QCOMPARE(named(block.rejected), QStringList());
        // 0F, mode, speed 0, tone, weight, lead, tail, min speed, range (40 - 11),
        // first extension, compensation, Farnsworth, set point, ratio, pin 5, pot range.
        QCOMPARE(block.bytes.toHex(' '), QByteArray("0f 2a 00 04 33 03 06 0b 1d 07 08 14 34 35 02 1e"));
    }

    // A parameter byte is its text rounded half to even; a text that is no
    // number or outside 0 to 255 is named and its seed sent instead. Byte 9
    // is the speed pot's range, MaxSpeed less MinSpeed.
    void blockBytes_data()
    {
        QTest::addColumn<QString>("weight");
        QTest::addColumn<QString>("maxSpeed");
        QTest::addColumn<int>("minSpeed");
        QTest::addColumn<QByteArray>("bytes5To9"); // weight, lead, tail, min speed, range
        QTest::addColumn<QStringList>("rejected"); // sorted

        QTest::newRow("weight 12.5") << "12.5" << "40" << 11 << QByteArray("0c 03 06 0b 1d") << QStringList{};
        QTest::newRow("weight 255") << "255" << "40" << 11 << QByteArray("ff 03 06 0b 1d") << QStringList{};
        QTest::newRow("weight 255.5") << "255.5" << "40" << 11 << QByteArray("32 03 06 0b 1d")
                                      << QStringList{"Weight=255.5 (outside 0 to 255)"};
        QTest::newRow("weight -1") << "-1" << "40" << 11 << QByteArray("32 03 06 0b 1d")
                                   << QStringList{"Weight=-1 (outside 0 to 255)"};
        QTest::newRow("weight no number") << "heavy" << "40" << 11 << QByteArray("32 03 06 0b 1d")
                                          << QStringList{"Weight=heavy (not a number)"};
        QTest::newRow("max with blanks") << "51" << " 40 " << 12 << QByteArray("33 03 06 0c 1c") << QStringList{};
        QTest::newRow("range 25.5 to 26") << "51" << "35.5" << 10 << QByteArray("33 03 06 0a 1a") << QStringList{};
        QTest::newRow("max below min") << "51" << "5" << 10 << QByteArray("33 03 06 0a 19")
                                       << QStringList{"SpeedRange=-5 (outside 0 to 255)"};
        QTest::newRow("max no number") << "51" << "fast" << 10 << QByteArray("33 03 06 0a 19")
                                       << QStringList{"MaxSpeed=fast (not a number)"};
        QTest::newRow("min 256") << "51" << "300" << 256 << QByteArray("33 03 06 0a 2c")
                                 << QStringList{"MinSpeed=256 (outside 0 to 255)"};
    }

    void blockBytes()
    {
        QFETCH(QString, weight);
        QFETCH(QString, maxSpeed);
        QFETCH(int, minSpeed);
        QFETCH(QByteArray, bytes5To9);
        QFETCH(QStringList, rejected);

        KeyerSettings s = validSettings();
        s.Weight = weight;
        s.MaxSpeed = maxSpeed;
        s.MinSpeed = minSpeed;
        const ParameterBlock block = blockOf(s, 0);
        QCOMPARE(block.bytes.mid(4, 5).toHex(' '), bytes5To9);
        QCOMPARE(named(block.rejected), rejected);
    }

    // A deadline N seconds ahead, in seconds since midnight with halves
    // rounded to even (86397.5 is 86398), wraps at midnight; the clock that
    // watches it too.
    void deadlines_data()
    {
        QTest::addColumn<double>("start");
        QTest::addColumn<int>("deadline");
        QTest::addColumn<QList<double>>("readings");
        QTest::addColumn<QList<bool>>("passed");

        QTest::newRow("same day") << 100.0 << 102 << QList<double>{102.0, 102.1} << QList<bool>{false, true};
        QTest::newRow("before midnight, clock wraps early")
            << 86397.4 << 86399 << QList<double>{86398.0, 0.1} << QList<bool>{false, true};
        QTest::newRow("midnight itself")
            << 86397.5 << 0 << QList<double>{86399.9, 0.0, 0.01} << QList<bool>{false, false, true};
        QTest::newRow("after midnight, clock not yet wrapped")
            << 86399.5 << 2 << QList<double>{86399.99, 0.2, 2.0, 2.1} << QList<bool>{false, false, false, true};
    }

    void deadlines()
    {
        QFETCH(double, start);
        QFETCH(int, deadline);
        QFETCH(QList<double>, readings);
        QFETCH(QList<bool>, passed);

        QCOMPARE(Winkey::timeoutAt(2, start), deadline);
        DeadlineClock clock(deadline, start);
        for (qsizetype i = 0; i < readings.size(); ++i)
            QVERIFY2(clock.passed(readings.at(i)) == passed.at(i), qPrintable(QString::number(readings.at(i))));
    }

    void classifyByte_data()
    {
        QTest::addColumn<int>("byte");
        QTest::addColumn<int>("minSpeed");
        QTest::addColumn<bool>("xoffBefore");
        QTest::addColumn<bool>("xoffAfter");
        QTest::addColumn<QString>("panel1");
        QTest::addColumn<QString>("panel3");

        const QString same = kUnchanged;
        QTest::newRow("80 is the minimum") << 0x80 << 10 << false << false << same << "10 WPM";
        QTest::newRow("BF unclamped") << 0xBF << 10 << false << false << same << "73 WPM";
        QTest::newRow("00 unclamped") << 0x00 << 15 << false << false << same << "-113 WPM";
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
        QCOMPARE(effect.panel1.value_or(kUnchanged), panel1);
        QCOMPARE(effect.panel3.value_or(kUnchanged), panel3);
    }

    void textBytes_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("bytes");

        QTest::newRow("printable") << "CQ de <AR> 5nn" << QByteArray("CQ de <AR> 5nn");
        QTest::newRow("Latin-1 kept, beyond dropped")
            << QStringLiteral("Gr\u00fc\u00dfe \u65e5\u672c \u2014 \u00e9") << QByteArray("Gr\xfc\xdf" "e   \xe9");
        QTest::newRow("NUL, chip commands, DEL") << QString(QChar(0)) + QStringLiteral("5nn\x0f\x01\x0b" "tu\x1b\x7f")
                                                 << QByteArray("5nntu");
        QTest::newRow("line breaks and tab") << QStringLiteral("cq\r\nde\nme\r\tk") << QByteArray("cq de me  k");
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
        QTest::newRow("path") << "/dev/ttyUSB0" << "/dev/ttyUSB0" << "ttyUSB0";
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
