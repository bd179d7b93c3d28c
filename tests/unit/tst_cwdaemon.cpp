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
        row("text: a caret asks for it back and ends it", "tu^ 73^\n", Kind::Text, 0, "TU", true);
        row("text: prosigns as the chip's own", "a*b<c!d>e(f&g=", Kind::Text, 0,
            "A<B>C\x1BSND\x1B" "BKE(F&G=");
        row("text: no half space, colon or binary", QByteArray("d~l:\x01\xFF\x80" "2\t3", 11), Kind::Text, 0,
            "DL2 3");
        row("speed no number", esc + "2x5", Kind::Invalid);
        row("speed missing", esc + "2", Kind::Invalid);
        row("speed absurdly long", esc + "200000000030", Kind::Invalid);
        row("ptt delay negative", esc + "d-1", Kind::Invalid);
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

    // What panel 1 shows and what a caret's reply says: as sent up to the
    // caret, marks and the unkeyable left out of the panel only.
    void shownAndReplies()
    {
        const Cwdaemon::Request text = Cwdaemon::parse("dl2xyz ++5nn--~ 14^\r\n");
        QCOMPARE(text.shown, QStringLiteral("DL2XYZ 5NN 14"));
        QCOMPARE(Cwdaemon::echoReply(text.sent), QByteArray("dl2xyz ++5nn--~ 14\r\n"));
        QCOMPARE(Cwdaemon::parse("ab\r\n^cd").sent, QByteArray("ab\r\n"));
    }
};

ZAVO_SUITE(CwdaemonTest)
#include "tst_cwdaemon.moc"
