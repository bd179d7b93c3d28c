// The WinKey host protocol as pure functions: no port, window or clock. The
// block, the mode register and message bytes are fuzz_numbers' rules.
#include "keyer/protocol.h"

#include "suites.h"

using namespace Winkey;

namespace {

// A deadline 2 s after start, and whether it has passed at each reading.
struct Deadline { double start; int deadline; QList<double> readings; QList<bool> passed; };

} // namespace

class ProtocolTest : public QObject
{
    Q_OBJECT

private slots:
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

    void portNaming_data()
    {
        QTest::addColumn<QString>("comPort");
        QTest::addColumn<QString>("device");
        QTest::addColumn<QString>("panel");

        QTest::newRow("number 1, blanks around") << " 1 " << "/dev/ttyS0" << "COM1";
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
