// A soak of 10,000 key presses through the chip simulator in --fast mode:
// messages 2 to 5 with random short texts, some message 1, tune on/off
// pairs and a few aborts. Every byte must arrive once and in order (the
// simulator's received bytes are the concatenation of what was asked), and
// the resident memory must stay flat.
#include "faultsession.h"

#include <random>

using namespace Zavo;

namespace {

constexpr int kWarmUp = 1000;
constexpr int kMessages = 10000;
// Resident memory may grow this much over the 10,000 (allocator pages,
// caches settling); a leak of 8 bytes a message would be 80 kB.
constexpr qint64 kAllowedGrowth = 64 * 1024;
// Escape sleeps 1.2 s: a few of them only.
constexpr int kEscapeEvery = 3001;
// The most one press sends: a message of 8 characters.
constexpr int kMostBytesAPress = 8;

} // namespace

class SoakTest : public QObject
{
    Q_OBJECT

private slots:
    void tenThousandMixedKeys();

private:
    // One key as the operator would press it; returns the bytes it must send.
    QByteArray press(FaultSession &s, int index);

    std::mt19937 m_random{20261206};
};

QByteArray SoakTest::press(FaultSession &s, int index)
{
    static const QString kAlphabet = QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 /?=.,");
    auto randomText = [this](int longest) {
        const int length = std::uniform_int_distribution<int>(1, longest)(m_random);
        QString text;
        for (int i = 0; i < length; ++i)
            text += kAlphabet.at(std::uniform_int_distribution<int>(0, int(kAlphabet.size()) - 1)(m_random));
        return text;
    };
    QByteArray expected;
    if (index % kEscapeEvery == kEscapeEvery - 1) {
        s.key(Qt::Key_Escape);
        expected = QByteArray::fromHex("0a");
    } else {
        const int dice = std::uniform_int_distribution<int>(0, 99)(m_random);
        if (dice < 2) {
            Settings.Message1 = randomText(4);
            s.key(Qt::Key_F1);
            expected = Settings.Message1.toLatin1();
        } else if (dice < 6) {
            s.key(Qt::Key_F6);
            s.key(Qt::Key_F6);
            expected = QByteArray::fromHex("0b01 0b00");
        } else {
            const int n = std::uniform_int_distribution<int>(2, 5)(m_random);
            Settings.message(n) = randomText(8);
            s.key(Qt::Key_F1 + n - 1);
            expected = Settings.message(n).toLatin1();
        }
    }
    // The chip's idle statuses are read as they come, as in a real session.
    QCoreApplication::processEvents();
    return expected;
}

void SoakTest::tenThousandMixedKeys()
{
    FaultSession s({QStringLiteral("--fast")});
    QVERIFY(s.up());
    // The rig's write record would grow by design; this run counts on the simulator.
    s.rig.recording = false;
    s.rig.takeWrites();

    // The test's own record of what was asked must not grow the process
    // while it is measured: its memory is taken and touched up front.
    QByteArray expected((kWarmUp + kMessages) * kMostBytesAPress, '\0');
    qsizetype length = 0;
    auto record = [&](const QByteArray &bytes) {
        QVERIFY(bytes.size() <= kMostBytesAPress);
        std::copy(bytes.cbegin(), bytes.cend(), expected.begin() + length);
        length += bytes.size();
    };
    for (int i = 0; i < kWarmUp; ++i)
        record(press(s, i));
    QTest::qWait(500);
    const qint64 before = residentBytes();
    QVERIFY(before > 0);

    for (int i = kWarmUp; i < kWarmUp + kMessages; ++i)
        record(press(s, i));
    QTest::qWait(500);
    const qint64 after = residentBytes();
    expected.truncate(length);
    qInfo("resident memory: %lld kB before, %lld kB after %d messages", before / 1024, after / 1024, kMessages);
#ifdef __SANITIZE_ADDRESS__
    // AddressSanitizer holds freed memory back in its quarantine, so the
    // resident set grows whatever the program does; LeakSanitizer checks
    // for leaks in that build instead.
#else
    QVERIFY2(after - before <= kAllowedGrowth, qPrintable(QString::number(after - before)));
#endif

    QTRY_VERIFY_WITH_TIMEOUT(s.since().size() >= expected.size(), 30000);
    const QByteArray received = s.settle(300);
    // Where the two part, if they do, is what the failure shows.
    qsizetype same = 0;
    while (same < std::min(received.size(), expected.size()) && received.at(same) == expected.at(same))
        ++same;
    QVERIFY2(received == expected, qPrintable(QStringLiteral("%1 bytes received, %2 expected, first difference at %3")
                                                  .arg(received.size()).arg(expected.size()).arg(same)));
    QVERIFY(s.rig.messages.isEmpty());
    QVERIFY(s.rig.window->port().isOpen());
}

QTEST_MAIN(SoakTest)
#include "tst_soak.moc"
