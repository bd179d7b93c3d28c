// Faults of the settings file: keys missing, texts that are no numbers or
// out of range, very long and non-ASCII texts, binary garbage, lines edited
// by hand, the file deleted or replaced while the program runs. The program
// starts (or says why it cannot), sends no wrong byte to the simulator, and
// writes nothing into the file but what it edited; a write that fails
// leaves the file as it was and is told once.
#include "faultsession.h"
#include "storefiles.h"

#include "dialogs/editmsg.h"
#include "dialogs/speed.h"
#include "settings/settingstable.h"

#include <QDir>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QSettings>

#include <cstdio>

using namespace Zavo;

namespace {

const QString kLinkMark = QStringLiteral("%LINK%");
const QString kOnline = QStringLiteral("Winkey Online - Firmware Rev.23");

QByteArray withLink(QByteArray bytes, const QString &link)
{
    return bytes.replace(kLinkMark.toUtf8(), link.toUtf8());
}

// The start-up bytes with the 16-byte parameter block given.
QByteArray startupWithBlock(const QByteArray &block)
{
    return QByteArray::fromHex("0000" "ff" "000455" "0002") + block + QByteArray::fromHex("07");
}

QByteArray seedBlock()
{
    return seedStartupBytes().mid(8, 16);
}

// What the start-up message boxes said about lines edited by hand.
QStringList handEditBoxes(const QStringList &messages)
{
    QStringList boxes;
    for (const QString &text : messages) {
        if (text.contains(QLatin1String("edited by hand")))
            boxes << text;
    }
    return boxes;
}

// Moves the window where a close stores FormTop 1200 and FormLeft 1800.
bool moveToKnownPlace(ZavoMain &window)
{
    window.move(120, 80);
    return QTest::qWaitFor([&window] { return window.pos() == QPoint(120, 80); }, 5000);
}

} // namespace

class StoreFaultsTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QCoreApplication::processEvents(); }

    void missingKeys_data();
    void missingKeys();
    void textsThatAreNoValidNumbers_data();
    void textsThatAreNoValidNumbers();
    void portTextsThatNameNoPort_data();
    void portTextsThatNameNoPort();
    void veryLongMessageTwoDoesNotFreeze();
    void messageOneIsCutAtTheSixteenBitPosition();
    void textsBeyondPrintableAscii_data();
    void textsBeyondPrintableAscii();
    void binaryGarbageIsLeftAlone();
    void linesEditedByHand_data();
    void linesEditedByHand();
    void closingWritesOnlyThePlace_data();
    void closingWritesOnlyThePlace();
    void fileDeletedWhileRunning();
    void fileReplacedWhileRunning();
    void failedWriteLosesNothing_data();
    void failedWriteLosesNothing();
};

void StoreFaultsTest::missingKeys_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<bool>("asksForThePort");
    QTest::addColumn<QStringList>("rejected"); // named in the start-up message box

    const QStringList allParameters = {"ToneFreq", "Weight", "PTT_Lead", "PTT_Tail", "MaxSpeed", "FirstExt",
                                       "KeyComp", "Farnsworth", "SetPoint", "DDRatio", "Pin5Mode", "PotRange"};
    QTest::newRow("only the port") << QByteArray("[Parameters]\nComPort=%LINK%\n") << false << allParameters;
    QTest::newRow("no port") << QByteArray("[Messages]\nMessage2=TU\n") << true << allParameters;
    QTest::newRow("empty file") << QByteArray() << true << allParameters;
    QByteArray noMessages;
    for (const SettingsTable::Entry &entry : SettingsTable::entries()) {
        if (!entry.seed.isEmpty()
            && (entry.section == QLatin1String("Parameters") || entry.section == QLatin1String("Speed Settings")))
            noMessages += QStringLiteral("[%1]\n%2=%3\n").arg(entry.section, entry.key, entry.seed).toUtf8();
    }
    noMessages += "[Parameters]\nComPort=%LINK%\n";
    QTest::newRow("parameters only") << noMessages << false << QStringList();
}

void StoreFaultsTest::missingKeys()
{
    QFETCH(QByteArray, file);
    QFETCH(bool, asksForThePort);
    QFETCH(QStringList, rejected);

    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.rig.start(false));
    const QString path = s.rig.store->location();
    const QByteArray before = withLink(file, s.rig.sim.linkPath());
    QVERIFY(writeBytes(path, before));
    s.rig.chooserAnswer = s.rig.sim.linkPath();

    QVERIFY(s.load());
    QCOMPARE(s.rig.chooserShown, asksForThePort ? 1 : 0);
    // A missing parameter goes as the chip's usual value: the seed block.
    QCOMPARE(s.rig.sim.received(), seedStartupBytes());
    const QStringList boxes = s.rig.messages.filter(QStringLiteral("cannot be sent to the keyer"));
    QCOMPARE(boxes.size(), rejected.isEmpty() ? 0 : 1);
    for (const QString &key : rejected)
        QVERIFY2(boxes.first().contains(key + QStringLiteral(" = \"\"")), qPrintable(key));
    QVERIFY(s.rig.terminations.isEmpty());

    // Missing messages send nothing at all.
    for (int key = Qt::Key_F1; key <= Qt::Key_F5; ++key) {
        if (Settings.message(key - Qt::Key_F1 + 1).isEmpty())
            s.key(key);
    }
    QCOMPARE(s.settle(), QByteArray());

    // Loading wrote nothing but the port the operator chose; closing adds
    // the place, nothing else.
    QString why;
    if (asksForThePort)
        QVERIFY2(changedOnly(before, readBytes(path), {"ComPort=", "[Parameters]"}, &why), qPrintable(why));
    else
        QCOMPARE(readBytes(path), before);
    QVERIFY(moveToKnownPlace(*s.rig.window));
    s.rig.window->close();
    QVERIFY2(changedOnly(before, readBytes(path),
                         {"FormTop=", "FormLeft=", "[Windows%20Settings]", "ComPort=", "[Parameters]"}, &why),
             qPrintable(why));
    QSettings written(path, QSettings::IniFormat);
    QCOMPARE(written.value(QStringLiteral("Windows Settings/FormTop")).toString(), QStringLiteral("1200"));
    QCOMPARE(written.value(QStringLiteral("Windows Settings/FormLeft")).toString(), QStringLiteral("1800"));
}

void StoreFaultsTest::textsThatAreNoValidNumbers_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("block");
    QTest::addColumn<bool>("reported");

    const QString p = QStringLiteral("Parameters");
    const QString sp = QStringLiteral("Speed Settings");
    const QString w = QStringLiteral("Windows Settings");
    const QByteArray seed = seedBlock();
    for (const char *text : {"heavy", "256", "99999999999999999999999999", "\u00bd"})
        QTest::newRow(qPrintable(QStringLiteral("Weight %1").arg(QString::fromUtf8(text))))
            << p << "Weight" << QString::fromUtf8(text) << seed << true;
    QTest::newRow("PotRange 255.5") << p << "PotRange" << "255.5" << seed << true;
    QTest::newRow("MaxSpeed fast") << sp << "MaxSpeed" << "fast" << seed << true;
    QTest::newRow("MinSpeed beyond 32 bits") << sp << "MinSpeed" << "99999999999" << seed << false;
    QByteArray minNegative = seed;
    minNegative[8] = char(40); // the range still counts from the text the operator typed
    QTest::newRow("MinSpeed -5") << sp << "MinSpeed" << "-5" << minNegative << true;
    QTest::newRow("IambicMode Z") << p << "IambicMode" << "Z" << seed << false;
    QTest::newRow("CTSpace yes") << p << "CTSpace" << "yes" << seed << false;
    QTest::newRow("FormTop 10^25") << w << "FormTop" << "10000000000000000000000000" << seed << false;
    QTest::newRow("FormLeft -10^300") << w << "FormLeft" << QString(QLatin1Char('-') + QString(300, QLatin1Char('9')))
                                      << seed << false;
    QTest::newRow("FormTop 1e400") << w << "FormTop" << "1e400" << seed << false;
    QTest::newRow("OnTop yes") << w << "OnTop" << "yes" << seed << false;
}

void StoreFaultsTest::textsThatAreNoValidNumbers()
{
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, text);
    QFETCH(QByteArray, block);
    QFETCH(bool, reported);

    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.rig.start());
    QVERIFY(s.rig.store->SaveSetting(section, key, text));
    const QByteArray before = readBytes(s.rig.store->location());

    QVERIFY(s.load());
    QCOMPARE(s.rig.sim.received(), startupWithBlock(block));
    const QStringList boxes = s.rig.messages.filter(QStringLiteral("cannot be sent to the keyer"));
    QCOMPARE(boxes.size(), reported ? 1 : 0);
    if (reported)
        QVERIFY2(boxes.first().contains(QStringLiteral("%1 = \"%2\"").arg(key, text)), qPrintable(boxes.first()));
    // The window is somewhere the operator can see it.
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    QVERIFY(screen.intersects(s.rig.window->frameGeometry()));
    QCOMPARE(s.rig.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint), false);
    // The operator's text stays as typed.
    QCOMPARE(readBytes(s.rig.store->location()), before);
    QCOMPARE(s.rig.store->GetSetting(section, key), text);
}

void StoreFaultsTest::portTextsThatNameNoPort_data()
{
    QTest::addColumn<QString>("port");
    QTest::newRow("blanks") << "   ";
    QTest::newRow("a Windows name") << "COM3";
    QTest::newRow("not a device") << "/dev/null";
    QTest::newRow("very long") << QString(5000, QLatin1Char('x'));
    QTest::newRow("non-ASCII") << QStringLiteral("/dev/ttyUSB\u00e9\u65e5");
}

void StoreFaultsTest::portTextsThatNameNoPort()
{
    QFETCH(QString, port);
    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.rig.start());
    QVERIFY(s.rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"), port));
    s.rig.chooserAnswer = s.rig.sim.linkPath();
    QVERIFY(s.load());
    QCOMPARE(s.rig.chooserShown, 1);
    QCOMPARE(s.rig.messages.size(), 1);
    QVERIFY2(s.rig.messages.first().contains(QLatin1String("port")), qPrintable(s.rig.messages.first()));
    QCOMPARE(s.rig.sim.received(), seedStartupBytes());
    QCOMPARE(s.panel(1), kOnline);
}

void StoreFaultsTest::veryLongMessageTwoDoesNotFreeze()
{
    // The chip keys at its own pace and drops what overflows its buffer;
    // every byte still crosses the line and is logged.
    FaultSession s;
    QVERIFY(s.rig.start());
    QString text;
    while (text.size() < 100 * 1024)
        text += QStringLiteral("CQ TEST DE ZAVO %1 ").arg(text.size());
    QVERIFY(s.rig.store->SaveSetting(QStringLiteral("Messages"), QStringLiteral("Message2"), text));
    QVERIFY(s.load());
    QCOMPARE(Settings.Message2, text);

    // A timer that must keep ticking meanwhile.
    EventLoopPulse pulse;
    s.key(Qt::Key_F2);
    // The pointer over the button shows the message too.
    auto *button = s.rig.window->findChild<QPushButton *>(QStringLiteral("Msg2"));
    for (int i = 0; i < 10; ++i)
        QTest::mouseMove(button, QPoint(5 + i, 5));
    QTRY_COMPARE_WITH_TIMEOUT(s.since().size(), text.size(), 30000);
    pulse.stop();
    QCOMPARE(s.since(), text.toLatin1());
    QCOMPARE(s.panel(1), text);
    qInfo("longest pause of the event loop: %lld ms", pulse.longestGap());
    // Generous: a freeze is seconds; a busy machine is a few hundred ms.
    QVERIFY2(pulse.longestGap() < 3000, qPrintable(QString::number(pulse.longestGap())));
}

void StoreFaultsTest::messageOneIsCutAtTheSixteenBitPosition()
{
    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.rig.start());
    // A line of its own for every position: any wrap or repeat shows.
    QString text;
    for (int i = 0; text.size() < 40000; ++i)
        text += QStringLiteral("%1 ").arg(i, 5, 10, QLatin1Char('0'));
    QVERIFY(s.rig.store->SaveSetting(QStringLiteral("Messages"), QStringLiteral("Message1"), text));
    // The pty has no wire to wait for; 32767 waits of 9 ms would take five minutes.
    ZavoMain::Hooks hooks;
    hooks.message = [&s](const QString &m) { s.rig.messages << m; };
    hooks.choosePort = [](const QString &) { return std::optional<QString>(); };
    hooks.terminate = [&s](int code) { s.rig.terminations << code; };
    hooks.characterMs = 0;
    s.rig.window = std::make_unique<ZavoMain>(*s.rig.store, hooks);
    QVERIFY(s.load());

    bool rescued = false;
    QTimer::singleShot(120000, s.rig.window.get(), [&] { rescued = true; s.key(Qt::Key_Escape); });
    s.key(Qt::Key_F1);
    QVERIFY(!rescued);
    QCOMPARE(CharIndex, qint16(32767));
    QCOMPARE(s.panel(1), text);
    QTRY_COMPARE_WITH_TIMEOUT(s.since().size(), qsizetype(32767), 30000);
    QCOMPARE(s.settle(), text.left(32767).toLatin1());
}

void StoreFaultsTest::textsBeyondPrintableAscii_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<QByteArray>("sent");

    QTest::newRow("umlauts, CJK, dash") << QStringLiteral("Gr\u00fc\u00dfe \u65e5\u672c \u2014 \u00e9\tx")
                                        << QByteArray("GR\xDCSSE   \xC9 X");
    QTest::newRow("chip commands") << QStringLiteral("5nn\x0f\x01\x0b" "tu\x1b") << QByteArray("5NNTU");
    QTest::newRow("NUL") << QString(QChar(0)) + QStringLiteral("k") << QByteArray("K");
    QTest::newRow("line breaks") << QStringLiteral("cq\r\nde\nme\r") << QByteArray("CQ DE ME ");
    // ÿ upper-cases to Ÿ, which is beyond Latin-1; the no-break space is Latin-1.
    QTest::newRow("DEL and Latin-1") << QStringLiteral("a\x7f" "b\u00ff\u00a0c") << QByteArray("AB\xA0" "C");
    QTest::newRow("beyond the BMP") << QStringLiteral("\U0001F4FB 73") << QByteArray(" 73");
    QTest::newRow("nothing sendable") << QStringLiteral("\u65e5\u672c") << QByteArray();
}

void StoreFaultsTest::textsBeyondPrintableAscii()
{
    QFETCH(QString, text);
    QFETCH(QByteArray, sent);

    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.rig.start());
    QVERIFY(s.rig.store->SaveSetting(QStringLiteral("Messages"), QStringLiteral("Message1"), text));
    QVERIFY(s.rig.store->SaveSetting(QStringLiteral("Messages"), QStringLiteral("Message3"), text));
    QVERIFY(s.load());
    QCOMPARE(Settings.Message3, text.toUpper());

    // The panel shows the text as stored (until the chip's idle status follows).
    s.key(Qt::Key_F3);
    QCOMPARE(s.panel(1), text.toUpper());
    QCOMPARE(s.settle(), sent);
    s.mark();
    s.key(Qt::Key_F1);
    QCOMPARE(s.panel(1), text.toUpper());
    QCOMPARE(s.settle(), sent);
    QVERIFY(s.rig.window->port().isOpen());
}

void StoreFaultsTest::binaryGarbageIsLeftAlone()
{
    FaultSession s;
    QVERIFY(s.rig.start(false));
    QByteArray garbage(3000, '\0');
    quint32 x = 2024;
    for (char &c : garbage) {
        x = x * 1664525u + 1013904223u;
        c = char(x >> 24);
    }
    const QString path = s.rig.store->location();
    QVERIFY(writeBytes(path, garbage));

    QVERIFY(!s.rig.window->load());
    QCOMPARE(s.rig.terminations, QList<int>{EXIT_FAILURE});
    QCOMPARE(s.rig.messages.size(), 1);
    QVERIFY2(s.rig.messages.first().contains(path), qPrintable(s.rig.messages.first()));
    QVERIFY2(s.rig.messages.first().contains(QLatin1String("binary")), qPrintable(s.rig.messages.first()));
    // Not a byte to the chip: the port was never opened.
    QTest::qWait(300);
    QCOMPARE(s.rig.sim.received(), QByteArray());
    QVERIFY(!s.rig.window->port().isOpen());

    // Whatever else tries to write keeps its hands off the file.
    s.rig.window->close();
    QVERIFY(!s.rig.store->SaveSetting(QStringLiteral("Messages"), QStringLiteral("Message1"), QStringLiteral("CQ")));
    QCOMPARE(readBytes(path), garbage);
}

void StoreFaultsTest::linesEditedByHand_data()
{
    QTest::addColumn<QByteArray>("line");    // Message2's line, as typed
    QTest::addColumn<QString>("message2");   // what the program reads
    QTest::addColumn<QByteArray>("sent");    // what F2 sends
    QTest::addColumn<bool>("reported");      // named in the start-up message box

    QTest::newRow("unquoted comma") << QByteArray("Message2=CQ, CQ DE") << "CQ, CQ DE" << QByteArray("CQ, CQ DE") << false;
    QTest::newRow("comma without a blank") << QByteArray("Message2=cq,cq de") << "CQ,CQ DE" << QByteArray("CQ,CQ DE") << false;
    QTest::newRow("trailing comma") << QByteArray("Message2=TU,") << "TU," << QByteArray("TU,") << false;
    QTest::newRow("blanks around") << QByteArray("Message2 =   5nn tu   ") << "5NN TU" << QByteArray("5NN TU") << false;
    QTest::newRow("comment") << QByteArray("Message2=CQ ; DE X") << "CQ" << QByteArray("CQ") << true;
    QTest::newRow("quoted semicolon") << QByteArray("Message2=\"CQ ; DE X\"") << "CQ ; DE X" << QByteArray("CQ ; DE X") << false;
    QTest::newRow("escaped quotes") << QByteArray("Message2=say \\\"hi\\\"") << "SAY \"HI\"" << QByteArray("SAY \"HI\"") << false;
    QTest::newRow("backslash") << QByteArray("Message2=TU\\73") << "TU;" << QByteArray("TU;") << true;
    QTest::newRow("quotes inside") << QByteArray("Message2=5NN \"TU\"") << "5NN TU" << QByteArray("5NN TU") << true;
    QTest::newRow("escaped control") << QByteArray("Message2=A\\x0f-B") << QStringLiteral("A\x0f-B") << QByteArray("A-B") << true;
}

void StoreFaultsTest::linesEditedByHand()
{
    QFETCH(QByteArray, line);
    QFETCH(QString, message2);
    QFETCH(QByteArray, sent);
    QFETCH(bool, reported);

    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.rig.start(false));
    QByteArray file = seededFile(s.rig.sim.linkPath());
    QVERIFY(file.contains("Message2=5NN TU\n"));
    file.replace("Message2=5NN TU\n", line + '\n');
    const QString path = s.rig.store->location();
    QVERIFY(writeBytes(path, file));

    QVERIFY(s.load());
    QCOMPARE(Settings.Message2, message2);
    QCOMPARE(s.rig.sim.received(), seedStartupBytes());
    const QStringList boxes = handEditBoxes(s.rig.messages);
    QCOMPARE(boxes.size(), reported ? 1 : 0);
    if (reported)
        QVERIFY2(boxes.first().contains(QLatin1String("[Messages] Message2")), qPrintable(boxes.first()));

    s.key(Qt::Key_F2);
    QCOMPARE(s.settle(), sent);
    // Once at start-up: F12 reads nothing anew and says nothing again.
    s.key(Qt::Key_F12);
    QCOMPARE(s.panel(1), kOnline);
    QCOMPARE(handEditBoxes(s.rig.messages).size(), reported ? 1 : 0);

    // The operator's line is never rewritten; closing stores the place only.
    QCOMPARE(readBytes(path), file);
    QVERIFY(moveToKnownPlace(*s.rig.window));
    s.rig.window->close();
    QCOMPARE(readBytes(path), QByteArray(file).replace("FormTop=6825", "FormTop=1200").replace("FormLeft=7920", "FormLeft=1800"));
}

void StoreFaultsTest::closingWritesOnlyThePlace_data()
{
    QTest::addColumn<QByteArray>("file");
    QTest::addColumn<QByteArray>("expected"); // empty: only place lines may differ

    QTest::newRow("seeded by a first run") << QByteArray() << QByteArray();
    const QByteArray handWritten =
        "; My keyer -- do not lose my notes\n"
        "[Parameters]\n"
        "ComPort = %LINK%\n"
        "Weight=50   ; a little heavier some day\n"
        "Unknown Key=kept as it is\n"
        "\n"
        "[Windows Settings]\n"
        "  FormTop = 6825 ; from the top of the screen\n"
        "FormLeft=\"7920\"\n"
        "OnTop=0\n"
        "\n"
        "[Messages]\n"
        "Message1=CQ, CQ DE ME\n"
        "Message2=5NN\n";
    QTest::newRow("written by hand") << handWritten
        << QByteArray(handWritten).replace("6825 ;", "1200 ;").replace("\"7920\"", "1800");
    QByteArray crlf = handWritten;
    crlf.replace("\n", "\r\n");
    QTest::newRow("CRLF line ends") << crlf
        << QByteArray(crlf).replace("6825 ;", "1200 ;").replace("\"7920\"", "1800");
    QTest::newRow("no place stored yet") << QByteArray("[Parameters]\nComPort=%LINK%\n[Windows Settings]\nOnTop=0\n")
        << QByteArray("[Parameters]\nComPort=%LINK%\n[Windows Settings]\nOnTop=0\nFormTop=1200\nFormLeft=1800\n");
}

void StoreFaultsTest::closingWritesOnlyThePlace()
{
    QFETCH(QByteArray, file);
    QFETCH(QByteArray, expected);

    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.rig.start(file.isEmpty()));
    const QString path = s.rig.store->location();
    if (!file.isEmpty())
        QVERIFY(writeBytes(path, withLink(file, s.rig.sim.linkPath())));
    const QByteArray before = readBytes(path);

    QVERIFY(s.load());
    QVERIFY(moveToKnownPlace(*s.rig.window));
    s.rig.window->close();
    const QByteArray after = readBytes(path);
    if (expected.isEmpty()) {
        QString why;
        QVERIFY2(changedOnly(before, after, {"FormTop=", "FormLeft="}, &why), qPrintable(why));
    } else {
        QCOMPARE(after, withLink(expected, s.rig.sim.linkPath()));
    }
    QSettings written(path, QSettings::IniFormat);
    QCOMPARE(written.value(QStringLiteral("Windows Settings/FormTop")).toString(), QStringLiteral("1200"));
    QCOMPARE(written.value(QStringLiteral("Windows Settings/FormLeft")).toString(), QStringLiteral("1800"));
    // A second run finds the window where the first one left it.
    s.rig.makeWindow();
    QVERIFY(s.rig.window->load());
    QCOMPARE(s.rig.window->pos(), QPoint(120, 80));
}

void StoreFaultsTest::fileDeletedWhileRunning()
{
    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.up());
    const QString path = s.rig.store->location();
    const QByteArray before = readBytes(path);
    QVERIFY(QFile::remove(path));

    // Nothing the program holds is lost: reads still answer, keys still send.
    QCOMPARE(s.rig.store->GetSetting(QStringLiteral("Messages"), QStringLiteral("Message3")),
             QStringLiteral("TU 73 DE MYCALL >"));
    s.key(Qt::Key_F4);
    QCOMPARE(s.settle(), QByteArray("QRZ?"));
    s.mark();
    s.key(Qt::Key_F12);
    QCOMPARE(s.panel(1), kOnline);
    QCOMPARE(s.settle(300), seedStartupBytes());

    // Closing puts the whole store back, with the new place.
    QVERIFY(moveToKnownPlace(*s.rig.window));
    s.rig.window->close();
    QCOMPARE(readBytes(path), QByteArray(before).replace("FormTop=6825", "FormTop=1200").replace("FormLeft=7920", "FormLeft=1800"));
}

void StoreFaultsTest::fileReplacedWhileRunning()
{
    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.up());
    const QString path = s.rig.store->location();
    // The operator edits the file in an editor while the program runs.
    QByteArray edited = readBytes(path);
    edited.replace("Message3=TU 73 DE MYCALL >", "; changed by hand\nMessage3=TU 73 GL");
    QVERIFY(writeBytes(path + QStringLiteral(".new"), edited));
    QVERIFY(std::rename(QFile::encodeName(path + QStringLiteral(".new")).constData(),
                        QFile::encodeName(path).constData()) == 0);

    QCOMPARE(s.rig.store->GetSetting(QStringLiteral("Messages"), QStringLiteral("Message3")), QStringLiteral("TU 73 GL"));
    QVERIFY(moveToKnownPlace(*s.rig.window));
    s.rig.window->close();
    // The operator's edit stays; the program's place goes into it.
    QCOMPARE(readBytes(path), QByteArray(edited).replace("FormTop=6825", "FormTop=1200").replace("FormLeft=7920", "FormLeft=1800"));
}

void StoreFaultsTest::failedWriteLosesNothing_data()
{
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("told"); // what the one message names
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key"); // the key the action changes; the close only moves
    QTest::addColumn<QString>("value");

    QTest::newRow("close") << "close" << "the window position" << "" << "" << "";
    QTest::newRow("message editor Update") << "editor" << "message 3" << "Messages" << "Message3" << "TU 73 GL";
    QTest::newRow("settings Update") << "settings" << "the keyer settings" << "Parameters" << "Weight" << "060";
}

// The file grows past a file size limit halfway through the new copy: it
// stays as it was, the operator hears it once, from the action that failed,
// and what an Update set stays in force until the close saves it.
void StoreFaultsTest::failedWriteLosesNothing()
{
    QFETCH(QString, action);
    QFETCH(QString, told);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);

    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.up());
    QStringList reports;
    s.rig.store->setErrorReporter([&reports](const QString &text) { reports << text; });
    const QString path = s.rig.store->location();
    const QByteArray before = readBytes(path);
    const QStringList files = QFileInfo(path).dir().entryList(QDir::Files | QDir::Hidden);
    QVERIFY(moveToKnownPlace(*s.rig.window));
    // As the program ends once its window has closed.
    const auto close = [&s] {
        s.rig.window->close();
        s.rig.store->reportUnsaved(SettingsStore::Moment::Exiting);
    };

    {
        FileSizeLimit limit(before.size() / 2);
        QVERIFY(limit.isActive());
        if (action == QLatin1String("close")) {
            close();
        } else if (action == QLatin1String("editor")) {
            QTest::mousePress(s.rig.window->findChild<QPushButton *>(QStringLiteral("Msg3")), Qt::RightButton);
            auto *editor = s.rig.window->findChild<EditMsg *>();
            QVERIFY(editor);
            editor->findChild<QLineEdit *>(QStringLiteral("Text1"))->setText(value.toLower());
            QTest::mouseClick(editor->findChild<QPushButton *>(QStringLiteral("Command1")), Qt::LeftButton);
        } else {
            QTest::mouseClick(s.rig.window->statusBar().panel(3), Qt::LeftButton);
            auto *speed = s.rig.window->findChild<Speed *>();
            QVERIFY(speed);
            speed->findChild<QLineEdit *>(QStringLiteral("WgtText"))->setText(value);
            QTest::mouseClick(speed->findChild<QPushButton *>(QStringLiteral("UpdateCmd")), Qt::LeftButton);
            QTRY_VERIFY(!s.rig.window->findChild<Speed *>());
        }
    }
    QCOMPARE(readBytes(path), before);
    QCOMPARE(QFileInfo(path).dir().entryList(QDir::Files | QDir::Hidden), files);
    QCOMPARE(reports.size(), 1);
    for (const QString &part : {told, path, QStringLiteral("file size limit")})
        QVERIFY2(reports.first().contains(part), qPrintable(reports.first()));
    if (key.isEmpty()) {
        QVERIFY2(reports.first().contains(QLatin1String("lost")), qPrintable(reports.first()));
        return;
    }

    // Held for the run; the close saves it along with the place, silently.
    QCOMPARE(s.rig.store->GetSetting(section, key), value);
    close();
    QCOMPARE(reports.size(), 1);
    const auto line = [&key](const QString &text) { return (key + QLatin1Char('=') + text).toLatin1(); };
    QCOMPARE(readBytes(path), QByteArray(before)
                                  .replace("FormTop=6825", "FormTop=1200")
                                  .replace("FormLeft=7920", "FormLeft=1800")
                                  .replace(line(Seed::value(section, key)), line(value)));
}

QTEST_MAIN(StoreFaultsTest)
#include "tst_storefaults.moc"
