// Fuzz target: the replies of the link's start-up. The chip may send status
// bytes and knob reports at any time, before and after the byte that
// answers the echo test or host open; only Winkey::isUnsolicited tells them
// apart from the answer.
//
// Picking the answer out of the received bytes happens inside the main
// window (ZavoMain::awaitReply and the drain after the echo in
// ZavoMain::Winkey_Init), on its serial port, so it cannot be called here.
// selectReply below takes the same steps over a byte queue, built on the
// program's pure functions, so that those are what is fuzzed.
//
// Input: byte 0 (modulo what follows) is how many of the remaining bytes
// answer the echo test; the rest answers host open.
//
// Rules checked: unsolicited bytes are exactly 0x80..0xFF (status
// 0xC0..0xFF and knob reports 0x80 | pot), so an answer is always below
// 0x80. The echo's answer is the first 0x55; other bytes below 0x80 before
// it are line noise, and every byte after it is either unsolicited or
// stale. The revision is the first byte below 0x80. Every unsolicited byte
// up to the answer (and after the echo's) goes to the receive path once and
// in order, the answer never does; a knob report shows a speed from
// MinSpeed to MinSpeed + 63; no byte is lost or counted twice.

#include "fuzzcheck.h"

#include "keyer/protocol.h"

#include <cstdint>
#include <optional>
#include <utility>

namespace {

constexpr qint32 kMinSpeed = 10;

struct Stage {
    std::optional<quint8> reply;
    QByteArray applied;   // handed to the receive path, in order
    QByteArray dropped;   // noise before the answer, stale bytes after the echo
};

// The window's steps: unsolicited bytes go to the receive path until a
// byte that answers turns up (the wanted one, when one is wanted); the
// rest stays queued.
Stage selectReply(QByteArray &queue, std::optional<quint8> wanted)
{
    Stage stage;
    while (!stage.reply && !queue.isEmpty()) {
        const auto byte = static_cast<quint8>(queue.front());
        queue.remove(0, 1);
        if (Winkey::isUnsolicited(byte))
            stage.applied += char(byte);
        else if (!wanted || byte == *wanted)
            stage.reply = byte;
        else
            stage.dropped += char(byte);
    }
    return stage;
}

// After the echo answer, unsolicited bytes still count; anything else is stale.
void drainAfterEcho(QByteArray &queue, Stage &stage)
{
    for (const char c : std::as_const(queue)) {
        if (Winkey::isUnsolicited(static_cast<quint8>(c)))
            stage.applied += c;
        else
            stage.dropped += c;
    }
    queue.clear();
}

// The bytes of `bytes` at or above 0x80, or below it.
QByteArray highBytes(const QByteArray &bytes, bool high)
{
    QByteArray out;
    for (const char c : bytes) {
        if ((static_cast<quint8>(c) >= 0x80) == high)
            out += c;
    }
    return out;
}

void checkApplied(const QByteArray &applied, bool &xoff)
{
    using FuzzCheck::require;
    for (const char c : applied) {
        const auto byte = static_cast<quint8>(c);
        require(byte >= 0x80, "only bytes 0x80..0xFF are unsolicited",
                QStringLiteral("0x%1 went to the receive path").arg(byte, 2, 16, QLatin1Char('0')));
        const Winkey::ReceiveEffect effect = Winkey::classifyByte(byte, kMinSpeed, xoff);
        xoff = effect.xoffActive;
        if (effect.panel3) {
            bool ok = false;
            const int wpm = effect.panel3->chopped(4).toInt(&ok);
            require(ok && effect.panel3->endsWith(QLatin1String(" WPM")) && wpm >= kMinSpeed
                        && wpm <= kMinSpeed + 63,
                    "a knob report shows MinSpeed to MinSpeed + 63 WPM", FuzzCheck::shown(*effect.panel3));
        }
        if (effect.panel1) {
            require(*effect.panel1 == QLatin1String(" ") || *effect.panel1 == QLatin1String("WinKey Buffer 2/3 Full"),
                    "a status byte shows only its own texts", FuzzCheck::shown(*effect.panel1));
        }
    }
}

// Checks a stage against the rule, read straight off the bytes sent.
// `drained`: the bytes after the answer were drained, as after the echo.
void checkStage(const QByteArray &sent, std::optional<quint8> wanted, bool drained, const Stage &stage,
                const QByteArray &left)
{
    using FuzzCheck::require;
    qsizetype answerAt = -1;
    for (qsizetype i = 0; i < sent.size(); ++i) {
        const auto byte = static_cast<quint8>(sent.at(i));
        if (byte < 0x80 && (!wanted || byte == *wanted)) {
            answerAt = i;
            break;
        }
    }
    if (answerAt < 0) {
        require(!stage.reply, "no answer without a byte that can answer");
        require(stage.applied == highBytes(sent, true), "every unsolicited byte goes to the receive path once, in order");
        require(stage.dropped == highBytes(sent, false), "every other byte is dropped as noise");
        return;
    }
    require(stage.reply && *stage.reply == static_cast<quint8>(sent.at(answerAt)),
            "the answer is the first byte below 0x80 (the first 0x55 for the echo)");
    const QByteArray before = sent.left(answerAt);
    const QByteArray after = sent.mid(answerAt + 1);
    if (drained) {
        require(stage.applied == highBytes(before, true) + highBytes(after, true),
                "unsolicited bytes around the echo's answer go to the receive path once, in order");
        require(stage.dropped == highBytes(before, false) + highBytes(after, false),
                "noise before the echo's answer and stale bytes after it are dropped");
        require(left.isEmpty(), "nothing stays queued after the echo");
    } else {
        require(stage.applied == highBytes(before, true),
                "unsolicited bytes before the answer go to the receive path once, in order");
        require(stage.dropped == highBytes(before, false), "noise before the answer is dropped");
        require(left == after, "the bytes after the answer stay queued, in order");
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    if (size == 0)
        return 0;
    const QByteArray rest(reinterpret_cast<const char *>(data + 1), static_cast<qsizetype>(size - 1));
    const qsizetype echoLength = rest.isEmpty() ? 0 : data[0] % (rest.size() + 1);
    const QByteArray echoBytes = rest.left(echoLength);
    const QByteArray openBytes = rest.mid(echoLength);

    bool xoff = false;

    const quint8 echoByte = static_cast<quint8>(Winkey::kEchoByte);
    QByteArray queue = echoBytes;
    Stage echo = selectReply(queue, echoByte);
    if (echo.reply)
        drainAfterEcho(queue, echo);
    checkStage(echoBytes, echoByte, echo.reply.has_value(), echo, queue);
    checkApplied(echo.applied, xoff);
    if (!echo.reply)
        return 0; // the program reports no response and ends

    // Whatever follows the revision stays queued for the receive path.
    queue = openBytes;
    const Stage open = selectReply(queue, std::nullopt);
    checkStage(openBytes, std::nullopt, false, open, queue);
    checkApplied(open.applied, xoff);
    return 0;
}
