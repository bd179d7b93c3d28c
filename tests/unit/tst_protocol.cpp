// The WinKey host protocol as pure functions: no port, window or clock.
#include "keyer/protocol.h"
#include "settings/keyersettings.h"
#include "settings/settingstable.h"

#include "suites.h"

using namespace Winkey;

namespace {

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

// A deadline 2 s after start, and whether it has passed at each reading.
struct Deadline { double start; int deadline; QList<double> readings; QList<bool> passed; };

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private slots:
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
        QVERIFY(block.rejected.isEmpty());
        // 0F, mode, speed 0, tone, weight, lead, tail, min speed, range (40 - 11),
        // first extension, compensation, Farnsworth, set point, ratio, pin 5, pot range.
        QCOMPARE(block.bytes.toHex(' '), QByteArray("0f 2a 00 04 33 03 06 0b 1d 07 08 14 34 35 02 1e"));
    }

    // A deadline N seconds ahead, in seconds since midnight with halves
    // rounded to even (86397.5 is 86398), wraps at midnight; the clock that
    // watches it too.
    void deadlines_data()
    {
        QTest::addColumn<Deadline>("d");
        QTest::newRow("same day") << Deadline{100.0, 102, {102.0, 102.1}, {false, true}};
        QTest::newRow("before midnight, clock wraps early") << Deadline{86397.4, 86399, {86398.0, 0.1}, {false, true}};
        QTest::newRow("midnight itself") << Deadline{86397.5, 0, {86399.9, 0.0, 0.01}, {false, false, true}};
        QTest::newRow("after midnight, clock not yet wrapped")
            << Deadline{86399.5, 2, {86399.99, 0.2, 2.0, 2.1}, {false, false, false, true}};
    }

    void deadlines()
    {
        QFETCH(Deadline, d);
        const auto &[start, deadline, readings, passed] = d;

        QCOMPARE(Winkey::timeoutAt(2, start), deadline);
        DeadlineClock clock(deadline, start);
        for (qsizetype i = 0; i < readings.size(); ++i)
            QVERIFY2(clock.passed(readings.at(i)) == passed.at(i), qPrintable(QString::number(readings.at(i))));
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
