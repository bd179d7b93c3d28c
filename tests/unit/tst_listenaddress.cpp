// Where network keying listens: the address forms of --cwdaemon=... and of
// the store's [Network] Cwdaemon, and which of the two counts.
#include "keyer/listenaddress.h"
#include "settings/settingsstore.h"

#include "../faults/storefiles.h"
#include "suites.h"

class ListenAddressTest : public QObject
{
    Q_OBJECT

private slots:
    void parse_data()
    {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("address"); // empty: refused

        QTest::newRow("port alone, on loopback") << "6790" << "127.0.0.1:6790";
        QTest::newRow("IPv4 and port 1") << "192.168.1.20:1" << "192.168.1.20:1";
        QTest::newRow("localhost, port 65535") << "localhost:65535" << "127.0.0.1:65535";
        QTest::newRow("IPv6 in brackets") << "[::1]:6789" << "[::1]:6789";
        QTest::newRow("IPv4 in IPv6 form, as IPv4") << "[::FFFF:127.0.0.1]:6789" << "127.0.0.1:6789";
        QTest::newRow("port 0") << "0" << "";
        QTest::newRow("port 65536") << "65536" << "";
        QTest::newRow("letters in the port") << "67a9" << "";
        QTest::newRow("empty host") << ":6789" << "";
        QTest::newRow("bracket not closed") << "[::1:6789" << "";
        QTest::newRow("IPv4 of three parts") << "1.2.3:6789" << "";
        QTest::newRow("IPv6 without brackets") << "::1:6789" << "";
        QTest::newRow("a host name") << "example.org:6789" << "";
    }

    void parse()
    {
        QFETCH(QString, text);
        QFETCH(QString, address);
        QString why;
        const auto parsed = parseListenAddress(text, &why);
        QCOMPARE(parsed ? parsed->text() : QString(), address);
        QCOMPARE(why.isEmpty(), parsed.has_value());
    }

    void choose_data()
    {
        QTest::addColumn<QString>("commandLine"); // empty: not given
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QString>("address");     // empty: off
        QTest::addColumn<bool>("problem");

        const QByteArray other = "[Parameters]\nComPort=/dev/ttyUSB0\n";
        const auto network = [](const char *value) { return QByteArray("[Network]\nCwdaemon=") + value + "\n"; };
        QTest::newRow("neither") << "" << other << "" << false;
        QTest::newRow("off") << "" << other + network("off") << "" << false;
        QTest::newRow("on") << "" << other + network("on") << "127.0.0.1:6789" << false;
        QTest::newRow("1 is on, not port 1") << "" << network("1") << "127.0.0.1:6789" << false;
        QTest::newRow("TRUE is on") << "" << network(" TRUE") << "127.0.0.1:6789" << false;
        QTest::newRow("0 is off") << "" << network("0") << "" << false;
        QTest::newRow("a port alone") << "" << network("7000") << "127.0.0.1:7000" << false;
        QTest::newRow("an address") << "" << network("[::1]:7000") << "[::1]:7000" << false;
        QTest::newRow("no address") << "" << network("6789x") << "" << true;
        QTest::newRow("command line over the store") << "7001" << network("6789x") << "127.0.0.1:7001" << false;
    }

    void choose()
    {
        QFETCH(QString, commandLine);
        QFETCH(QByteArray, file);
        QFETCH(QString, address);
        QFETCH(bool, problem);
        QTemporaryDir dir;
        const QString path = dir.filePath(QStringLiteral("store.conf"));
        QVERIFY(writeBytes(path, file));
        const SettingsStore store(path);
        const auto given = commandLine.isEmpty() ? std::nullopt : parseListenAddress(commandLine, nullptr);
        const ListenChoice choice = chooseListenAddress(given, store);
        QCOMPARE(choice.address ? choice.address->text() : QString(), address);
        QCOMPARE(choice.problem.contains(QLatin1String("Cwdaemon=")), problem);
    }
};

ZAVO_SUITE(ListenAddressTest)

ZAVO_SUITES_MAIN(QCoreApplication)
#include "tst_listenaddress.moc"
