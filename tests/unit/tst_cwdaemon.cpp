// The cwdaemon requests as a logger sends them, read without a socket.
#include "keyer/cwdaemon.h"
#include "suites.h"

#include <QTest>

using Cwdaemon::Kind;

class CwdaemonTest : public QObject
{
    Q_OBJECT

private slots:
    void requests_data()
    {
        QTest::addColumn<QByteArray>("datagram");
        QTest::addColumn<Kind>("kind");
        QTest::addColumn<int>("value");
        QTest::addColumn<QByteArray>("keys");
        QTest::addColumn<bool>("reply");
        const QByteArray esc("\x1B");
        auto row = [](const char *name, const QByteArray &datagram, Kind kind, int value = 0,
                      const QByteArray &keys = {}, bool reply = false) {
            QTest::newRow(name) << datagram << kind << value << keys << reply;
        };
        row("text: upper case, line end dropped", "cq de dl1zzz\r\n", Kind::Text, 0, "CQ DE DL1ZZZ");
        row("text: speed marks kept in place", "DL2XYZ ++5NN--14\n", Kind::Text, 0, "DL2XYZ ++5NN--14");
        row("text: a final caret asks for it back", "tu^\n", Kind::Text, 0, "TU", true);
        row("text: prosigns as the chip's own", "a*b<c!d>e(f&g=", Kind::Text, 0,
            "A<B>C\x1BSND\x1B" "BKE(F&G=");
        row("text: no half space, colon or binary", QByteArray("d~l:\x01\xFF\x80" "2\t3", 11), Kind::Text, 0,
            "DL2 3");
        // xlog pads every request to 80 bytes after a NUL.
        row("text: ends at a NUL", QByteArray("cq\0xyz", 6), Kind::Text, 0, "CQ");
        row("speed: ends at a NUL", esc + QByteArray("224\0\x7F" "9", 5), Kind::Speed, 24);
        row("only a NUL", QByteArray(1, '\0'), Kind::Invalid);
        row("text: the longest datagram", QByteArray(256, 'e'), Kind::Text, 0, QByteArray(256, 'E'));
        row("text: one byte too long", QByteArray(257, 'e'), Kind::Invalid);
        row("empty", "", Kind::Invalid);
        row("escape alone", esc, Kind::Invalid);
        row("unknown request", esc + "z1", Kind::Invalid);
        row("reset", esc + "0", Kind::Reset);
        row("speed", esc + "230", Kind::Speed, 30);
        row("speed below the chip's", esc + "24", Kind::Invalid);
        row("speed above cwdaemon's", esc + "261", Kind::Invalid);
        row("speed no number", esc + "2x5", Kind::Invalid);
        row("speed missing", esc + "2", Kind::Invalid);
        row("speed absurdly long", esc + "200000000030", Kind::Invalid);
        row("tone", esc + "3600", Kind::Tone, 600);
        row("tone off", esc + "30", Kind::Tone, 0);
        row("tone too high", esc + "34001", Kind::Invalid);
        row("abort", esc + "4", Kind::Abort);
        row("exit", esc + "5", Kind::Exit);
        row("weighting lowest", esc + "7-50", Kind::Weighting, -50);
        row("weighting too high", esc + "751", Kind::Invalid);
        row("device", esc + "8/dev/ttyS0", Kind::Device);
        row("ptt on", esc + "a1", Kind::Ptt, 1);
        row("ptt neither", esc + "a2", Kind::Invalid);
        row("tune", esc + "c3", Kind::Tune, 3);
        row("tune beyond ten seconds", esc + "c11", Kind::Invalid);
        row("ptt delay clipped", esc + "d70", Kind::PttDelay, 50);
        row("ptt delay negative", esc + "d-1", Kind::Invalid);
        row("reply request", esc + "hcat", Kind::ReplyRequest, 0, "cat");
    }

    void requests()
    {
        QFETCH(QByteArray, datagram);
        QFETCH(Kind, kind);
        const Cwdaemon::Request request = Cwdaemon::parse(datagram);
        QCOMPARE(request.kind, kind);
        QTEST(request.value, "value");
        QTEST(request.text, "keys");
        QTEST(request.replyWhenKeyed, "reply");
    }

    // What panel 1 shows and what a caret's reply says: as sent, marks and
    // the unkeyable left out of the panel only.
    void shownAndReplies()
    {
        const Cwdaemon::Request text = Cwdaemon::parse("dl2xyz ++5nn--~ 14^\r\n");
        QCOMPARE(text.shown, QStringLiteral("DL2XYZ 5NN 14"));
        QCOMPARE(Cwdaemon::echoReply(text.sent), QByteArray("dl2xyz ++5nn--~ 14\r\n"));
        QCOMPARE(Cwdaemon::requestedReply("cat"), QByteArray("hcat\r\n"));
    }

    void chipValues()
    {
        QCOMPARE(Cwdaemon::chipWeighting(-50), std::optional<quint8>(10));
        QCOMPARE(Cwdaemon::chipWeighting(0), std::optional<quint8>(50));
        QCOMPARE(Cwdaemon::chipWeighting(50), std::optional<quint8>(90));
        QCOMPARE(Cwdaemon::chipWeighting(51), std::nullopt);
        // The nearest of 4000 Hz over 1..10, the paddle-only bit kept.
        QCOMPARE(Cwdaemon::chipSidetone(600, 0x00), std::optional<quint8>(7));
        QCOMPARE(Cwdaemon::chipSidetone(800, 0x85), std::optional<quint8>(0x85));
        QCOMPARE(Cwdaemon::chipSidetone(4000, 0x00), std::optional<quint8>(1));
        QCOMPARE(Cwdaemon::chipSidetone(100, 0x00), std::optional<quint8>(10));
        QCOMPARE(Cwdaemon::chipSidetone(0, 0x00), std::nullopt);
        QCOMPARE(Cwdaemon::chipLeadIn(14), quint8(1));
        QCOMPARE(Cwdaemon::chipLeadIn(15), quint8(2));
        QCOMPARE(Cwdaemon::chipLeadIn(50), quint8(5));
    }
};

ZAVO_SUITE(CwdaemonTest)
#include "tst_cwdaemon.moc"
