// Seeded random interleavings of the operator's keys, a logger's requests,
// the chip's words and the adapter going, against the chip simulator; the
// simulator's log must show that the clear always came as a command, that
// the chip's buffer never overflowed, that nothing stayed keyed once the
// program closed, and that every logger's text ended once and was keyed in
// the order it came. A failing seed prints its sequence to replay
// (ZAVO_SEEDS=<seed> runs that one alone).
#include "keyer/protocol.h"
#include "linkrig.h"

#include <QRandomGenerator>
#include <QSignalSpy>

#include <array>

using namespace Zavo;

namespace {

const QStringList kTexts = {QStringLiteral("cq test"), QStringLiteral("5nn +tu-"), QStringLiteral("dl1zzz"),
                            QStringLiteral("ee"), QStringLiteral("tu ++73--")};

QList<quint32> seeds()
{
    QList<quint32> chosen;
    for (const QByteArray &seed : qgetenv("ZAVO_SEEDS").split(',')) {
        if (!seed.isEmpty())
            chosen << seed.toUInt();
    }
    return chosen.isEmpty() ? QList<quint32>{1, 2, 3, 4, 5, 6} : chosen;
}

// Where the letters of each text keyed whole appear in the chip's keying,
// in the order the texts came; false when one is missing or out of turn.
bool inOrder(const QString &keyed, const QStringList &texts)
{
    qsizetype from = 0;
    for (const QString &text : texts) {
        for (const QChar c : text) {
            if (c == QLatin1Char('+') || c == QLatin1Char('-') || c == QLatin1Char(' '))
                continue;
            from = keyed.indexOf(c.toUpper(), from);
            if (from < 0)
                return false;
            ++from;
        }
    }
    return true;
}

} // namespace

class InterleaveTest : public QObject
{
    Q_OBJECT

private slots:
    void invariantsHold_data();
    void invariantsHold();
};

void InterleaveTest::invariantsHold_data()
{
    QTest::addColumn<quint32>("seed");
    for (const quint32 seed : seeds())
        QTest::addRow("seed %u", seed) << seed;
}

void InterleaveTest::invariantsHold()
{
    QFETCH(quint32, seed);
    QRandomGenerator random(seed);
    // At the line's own speed, so that what is written lingers in the line.
    LinkRig rig({QStringLiteral("--baud"), QStringLiteral("1200"), QStringLiteral("--char-ms"), QStringLiteral("15"),
                 QStringLiteral("--buffer"), QStringLiteral("24")});
    QVERIFY(rig.up());
    Settings.Message1 = QStringLiteral("CQ CQ DE ZAVO ZAVO K");
    Settings.Message2 = QStringLiteral("TU");
    KeyerLink &link = *rig.link;
    QSignalSpy ended(&link, &KeyerLink::networkTextEnded);
    QStringList steps;
    QHash<quint64, QString> texts; // taken by the link
    bool unplugged = false;
    int clears = 0; // written while the adapter was in
    QObject::connect(&link.port(), &SerialFacility::wrote, &link, [&](const QByteArray &bytes) {
        clears += bytes == QByteArray(1, Winkey::kClearBuffer);
    });
    const auto story = [&] { return QStringLiteral("seed %1: %2").arg(seed).arg(steps.join(QStringLiteral(", "))); };

    for (int n = 0; n < 30; ++n) {
        const int pick = int(random.bounded(100));
        QString step;
        if (pick < 34) {
            const int at = pick < 10 ? 0 : pick < 20 ? 1 : pick < 26 ? 2 : pick < 31 ? 3 : 4;
            step = QString::fromLatin1(std::array{"Escape", "F1", "F2", "F6", "F12"}[at]);
            link.press(std::array{Qt::Key_Escape, Qt::Key_F1, Qt::Key_F2, Qt::Key_F6, Qt::Key_F12}[at]);
        } else if (pick < 54) {
            const quint64 tag = quint64(n + 1);
            const QString text = kTexts.at(int(random.bounded(kTexts.size())));
            step = QStringLiteral("text '%1'").arg(text);
            if (link.networkRequest(Cwdaemon::parse(text.toLatin1() + "^"), tag))
                texts.insert(tag, text);
        } else if (pick < 68) {
            // PTT on, PTT off, reset, speed.
            const QByteArray setting = std::array{"a1", "a0", "0", "230"}[random.bounded(4)];
            step = QStringLiteral("ESC") + QString::fromLatin1(setting);
            link.networkRequest(Cwdaemon::parse("\x1b" + setting));
        } else if (pick < 72) {
            step = QStringLiteral("logger abort");
            link.networkRequest(Cwdaemon::parse("\x1b" "4"));
        } else if (pick < 80) {
            step = QStringLiteral("knob");
            rig.sim.command(QStringLiteral("pot %1").arg(random.bounded(30)));
        } else if (pick < 92) {
            // The chip holds its buffer for a while, as when it is full.
            const int heldMs = int(random.bounded(200));
            step = QStringLiteral("XOFF, XON after %1ms").arg(heldMs);
            rig.sim.command(QStringLiteral("xoff"));
            QTest::qWait(heldMs);
            rig.sim.command(QStringLiteral("xon"));
        } else if (!unplugged) {
            step = QStringLiteral("unplug, plug");
            unplugged = true;
            QVERIFY2(rig.unplug(), qPrintable(story()));
            QTest::qWait(int(random.bounded(300)));
            QVERIFY2(rig.plug(), qPrintable(story()));
        } else {
            step = QStringLiteral("nothing");
        }
        const int pauseMs = int(random.bounded(80));
        steps << QStringLiteral("%1 +%2ms").arg(step).arg(pauseMs);
        QTest::qWait(pauseMs);
    }

    // Quiet: everything taken has gone and every text has ended.
    const auto quiet = [&] { return link.isUp() && link.state() == KeyerLink::State::Idle && ended.size() >= texts.size(); };
    QVERIFY2(QTest::qWaitFor(quiet, 20000), qPrintable(story()));
    rig.settle(300);
    link.shutdown();
    rig.settle(300);

    QHash<quint64, int> endings;
    QStringList keyed;
    for (const QList<QVariant> &end : std::as_const(ended)) {
        const quint64 tag = end.at(0).toULongLong();
        ++endings[tag];
        if (end.at(1).value<KeyerLink::TextOutcome>() == KeyerLink::TextOutcome::Keyed)
            keyed << texts.value(tag);
    }
    for (auto it = texts.cbegin(); it != texts.cend(); ++it)
        QVERIFY2(endings.value(it.key()) == 1, qPrintable(QStringLiteral("text %1 ended %2 times; ").arg(it.key()).arg(endings.value(it.key())) + story()));
    QVERIFY2(endings.size() == texts.size(), qPrintable(story()));
    QVERIFY2(inOrder(rig.sim.keyed(), keyed), qPrintable(rig.sim.keyed() + QStringLiteral("; ") + story()));
    // Every clear the link wrote, the chip took as one; nothing fell out
    // of its buffer.
    const int chipClears = int(rig.sim.events(QStringLiteral("clear")).size());
    QVERIFY2(unplugged ? chipClears <= clears : chipClears == clears,
             qPrintable(QStringLiteral("%1 clears written, %2 taken; ").arg(clears).arg(chipClears) + story()));
    QVERIFY2(rig.sim.events(QStringLiteral("drop")).isEmpty(), qPrintable(story()));
    // Closed: neither tune nor a logger's PTT keyed.
    const QStringList tune = rig.sim.events(QStringLiteral("tune "));
    const QStringList ptt = rig.sim.events(QStringLiteral("ptt o"));
    QVERIFY2(tune.isEmpty() || tune.last() == QLatin1String("tune off"), qPrintable(story()));
    QVERIFY2(ptt.isEmpty() || ptt.last() == QLatin1String("ptt off"), qPrintable(ptt.join(u',') + QStringLiteral("; ") + story()));
}

QTEST_GUILESS_MAIN(InterleaveTest)
#include "tst_interleave.moc"
