// Turning network keying on: the program's refusals of a bad command line
// (run as a process, since they end it before any window), where the
// running program listens (Qt's own options passing through), and what the
// operator is told when it cannot listen. What the server does with a
// logger's requests is tests/link's.
#include "app/networkkeying.h"
#include "keyer/cwdaemonserver.h"
#include "rig.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

using namespace Zavo;

namespace {

QProcessEnvironment programEnvironment(const QTemporaryDir &home, bool display)
{
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.remove(QStringLiteral("DISPLAY"));
    env.remove(QStringLiteral("WAYLAND_DISPLAY"));
    env.remove(QStringLiteral("QT_QPA_PLATFORM"));
    if (display)
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path());
    return env;
}

bool heldByOther(quint16 port)
{
    QUdpSocket probe;
    return !probe.bind(QHostAddress::LocalHost, port, QAbstractSocket::DontShareAddress)
        && probe.error() == QAbstractSocket::AddressInUseError;
}

} // namespace

class NetworkKeyingTest : public QObject
{
    Q_OBJECT

private slots:
    void commandLine_data()
    {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("display"); // false: no display at all
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("says"); // on stdout for 0, stderr otherwise
        QTest::addColumn<bool>("usage");   // the usage text on stderr too

        QTest::newRow("misspelt option") << QStringList{"--cwdeamon"} << true << 2
                                         << "zavokeyer: unknown option '--cwdeamon'\n" << true;
        QTest::newRow("bad port") << QStringList{"--cwdaemon=65536"} << false << 2
                                  << "zavokeyer: --cwdaemon=65536: port 65536 is out of range (1 to 65535)\n" << false;
        QTest::newRow("port option without its value") << QStringList{"--first-run-port"} << false << 2
                                                       << "--first-run-port needs a port" << false;
        QTest::newRow("help without a display") << QStringList{"--help"} << false << 0 << "--cwdaemon" << false;
    }

    void commandLine()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, display);
        QFETCH(int, code);
        QFETCH(QString, says);
        QFETCH(bool, usage);
        QTemporaryDir home;
        QProcess program;
        program.setProcessEnvironment(programEnvironment(home, display));
        program.start(QStringLiteral(ZAVO_APP_PATH), arguments);
        QVERIFY(program.waitForFinished(20000));
        const QString out = QString::fromLocal8Bit(program.readAllStandardOutput());
        const QString err = QString::fromLocal8Bit(program.readAllStandardError());
        QCOMPARE(program.exitCode(), code);
        QVERIFY2((code == 0 ? out : err).contains(says), qPrintable(out + err));
        QCOMPARE(err.contains(QLatin1String("Usage: zavokeyer")), usage);
        QVERIFY(QDir(home.path()).isEmpty()); // refused or answered before any store
    }

    void listens_data()
    {
        QTest::addColumn<QStringList>("arguments"); // %1: a free port
        QTest::addColumn<bool>("storeOn");          // [Network] Cwdaemon=on

        QTest::newRow("port given, among Qt's options")
            << QStringList{"-platform", "offscreen", "-style", "fusion", "--cwdaemon=%1"} << false;
        QTest::newRow("--cwdaemon") << QStringList{"--cwdaemon"} << false;
        QTest::newRow("store on") << QStringList{} << true;
    }

    // The program listens on 127.0.0.1 alone (port 6789 unless told) once
    // the link is up, and SIGTERM lets go of a logger's PTT before the port
    // closes.
    void listens()
    {
        QFETCH(QStringList, arguments);
        QFETCH(bool, storeOn);
        quint16 port = Cwdaemon::kDefaultPort;
        if (!arguments.filter(QStringLiteral("%1")).isEmpty()) {
            QUdpSocket free;
            QVERIFY(free.bind(QHostAddress::LocalHost, 0));
            port = free.localPort();
            arguments.replaceInStrings(QStringLiteral("%1"), QString::number(port));
        } else {
            // Another run of this test may hold it for a few seconds.
            QTRY_VERIFY2_WITH_TIMEOUT(!heldByOther(port), "UDP port 6789 is held by another program "
                                      "(a cwdaemon?): the default address cannot be tested here", 20000);
        }
        SimHarness sim;
        QVERIFY(sim.start());
        QTemporaryDir home;
        {
            SettingsStore store(home.filePath(QStringLiteral("Vardel Zavo Keyer.conf")));
            Seed::seedStore(store, sim.linkPath());
            if (storeOn)
                QVERIFY(store.SaveSetting(QStringLiteral("Network"), QStringLiteral("Cwdaemon"), "on"));
        }
        QProcess program;
        program.setProcessEnvironment(programEnvironment(home, true));
        program.setProcessChannelMode(QProcess::ForwardedChannels);
        program.start(QStringLiteral(ZAVO_APP_PATH), arguments);
        QVERIFY(sim.waitForReceived(int(seedStartupBytes().size()), 20000));
        QTRY_VERIFY_WITH_TIMEOUT(heldByOther(port), 10000);

        // A server bound to every address would key the first text and
        // answer it first.
        QUdpSocket logger;
        QVERIFY(logger.bind(QHostAddress::LocalHost, 0));
        logger.writeDatagram("E^", QHostAddress(QStringLiteral("127.0.0.2")), port);
        logger.writeDatagram("T^", QHostAddress::LocalHost, port);
        QTRY_VERIFY_WITH_TIMEOUT(logger.hasPendingDatagrams(), 10000);
        QCOMPARE(logger.receiveDatagram().data(), QByteArray("T\r\n"));
        QCOMPARE(sim.keyed(), QStringLiteral("T"));

        const qsizetype before = sim.received().size();
        logger.writeDatagram("\x1b" "a1", QHostAddress::LocalHost, port);
        QVERIFY(sim.waitForReceived(int(before) + 2, 5000));
        QCOMPARE(program.state(), QProcess::Running);
        program.terminate();
        QVERIFY(program.waitForFinished(10000));
        QCOMPARE(program.exitCode(), 0);
        QCOMPARE(sim.received().mid(before), QByteArray("\x18\x01\x18\x00", 4));
        QVERIFY(sim.waitForEvent(QStringLiteral("port close")));
    }

    void cannotListen_data()
    {
        QTest::addColumn<QString>("setting"); // "taken": the port of a socket of ours
        QTest::addColumn<QStringList>("told"); // empty: nothing

        QTest::newRow("off") << "" << QStringList{};
        QTest::newRow("store names no address") << "The line Cwdaemon=x names none."
                                                << QStringList{"Cwdaemon=x", "runs on without keying for loggers"};
        QTest::newRow("port taken") << "taken"
                                    << QStringList{"UDP port %1", "perhaps cwdaemon",
                                                   "runs on without keying for loggers"};
    }

    // Told once at most, and the operator's keys go out as before.
    void cannotListen()
    {
        QFETCH(QString, setting);
        QFETCH(QStringList, told);
        Rig rig;
        QVERIFY(rig.up());
        QUdpSocket holder;
        QVERIFY(holder.bind(QHostAddress::LocalHost, 0, QAbstractSocket::DontShareAddress));
        ListenChoice choice;
        if (setting == QLatin1String("taken"))
            choice.address = ListenAddress{QHostAddress(QHostAddress::LocalHost), holder.localPort()};
        else
            choice.problem = setting;
        QVERIFY(!NetworkKeying::start(rig.window->link(), rig.window.get(), choice,
                                      [&rig](const QString &message) { rig.messages << message; }));
        QCOMPARE(rig.messages.size(), told.isEmpty() ? 0 : 1);
        for (QString words : told) {
            words.replace(QLatin1String("%1"), QString::number(holder.localPort()));
            QVERIFY2(rig.messages.first().contains(words), qPrintable(rig.messages.first()));
        }
        QVERIFY(!rig.window->findChild<CwdaemonServer *>());
        Settings.Message2 = QStringLiteral("TEST");
        rig.mark();
        rig.key(Qt::Key_F2);
        QCOMPARE(rig.settle(), QByteArray("TEST"));
    }
};

QTEST_MAIN(NetworkKeyingTest)
#include "tst_networkkeying.moc"
