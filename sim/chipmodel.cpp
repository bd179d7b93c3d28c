// The chip's host-mode parser, text buffer and keying clock.
#include "chipmodel.h"

#include "hexbytes.h"
#include "morsecode.h"

#include <algorithm>
#include <array>
#include <utility>

namespace {

constexpr quint8 kAdmin = 0x00;
constexpr quint8 kAdminCalibrate = 0x00;
constexpr quint8 kAdminReset = 0x01;
constexpr quint8 kAdminHostOpen = 0x02;
constexpr quint8 kAdminHostClose = 0x03;
constexpr quint8 kAdminEcho = 0x04;
constexpr quint8 kAdminStandaloneMessage = 0x0E;
constexpr quint8 kGetPot = 0x07;
constexpr quint8 kClearBuffer = 0x0A;
constexpr quint8 kKeyImmediate = 0x0B;
constexpr quint8 kLoadDefaults = 0x0F;
constexpr quint8 kCalibrationFf = 0xFF;
constexpr quint8 kFirstText = 0x20;
constexpr quint8 kLastText = 0x7F;
constexpr int kMaxPot = 63;
constexpr double kParisMs = 1200.0; // one dit at 1 WPM

// Argument bytes that follow each host command 0x01..0x1F; a command's
// arguments are never text, whatever their values.
constexpr std::array<int, 0x20> kArgumentCount = {
    0, // 00: admin, handled apart
    1, 1, 1, 2, 3, 1, 0, 0, 1, 0, 1, 1, 1, 1, // 01..0E
    ChipModel::kBlockSize - 1, // 0F: load defaults
    1, 1, 1, 0, 1, 0, 1, 1, 1, 1, 1, 2, 1, 1, 0, 0, // 10..1F
};

// Full length of the command whose first bytes are in command.
int commandLength(const QByteArray &command)
{
    const quint8 code = quint8(command.at(0));
    if (code != kAdmin)
        return 1 + kArgumentCount[code];
    if (command.size() < 2)
        return 2;
    const quint8 sub = quint8(command.at(1));
    return (sub == kAdminEcho || sub == kAdminStandaloneMessage) ? 3 : 2;
}

} // namespace

ChipModel::ChipModel(const ChipOptions &options)
    : m_options(options)
    , m_pot(std::clamp(options.pot, 0, kMaxPot))
{
    m_options.bufferSize = std::max(m_options.bufferSize, 1);
}

void ChipModel::receive(const QByteArray &bytes, double nowMs)
{
    advance(nowMs);
    for (const char byte : bytes)
        handleByte(quint8(byte), nowMs);
    flushDrops();
    finishIfIdle();
}

void ChipModel::advance(double nowMs)
{
    while (m_charEnd && *m_charEnd <= nowMs) {
        const double end = *m_charEnd;
        m_charEnd.reset();
        startNext(end);
    }
    finishIfIdle();
}

std::optional<double> ChipModel::nextDeadline() const
{
    return m_charEnd;
}

void ChipModel::turnPot(int pot, double nowMs)
{
    advance(nowMs);
    m_pot = std::clamp(pot, 0, kMaxPot);
    note(QStringLiteral("pot %1").arg(m_pot), nowMs);
    send(kPotFlag | quint8(m_pot));
}

void ChipModel::pauseKeying(double nowMs)
{
    advance(nowMs);
    m_paused = true;
    note(QStringLiteral("xoff"), nowMs);
    send(kStatusXoff);
}

void ChipModel::resumeKeying(double nowMs)
{
    advance(nowMs);
    m_paused = false;
    note(QStringLiteral("xon"), nowMs);
    send(kStatusXon);
    startNext(nowMs);
    finishIfIdle();
}

void ChipModel::reset()
{
    flushDrops();
    clearText();
    m_hostOpen = false;
    m_tuneOn = false;
    m_paused = false;
    m_expectCalibrationFf = false;
    m_block.clear();
    m_command.clear();
}

QByteArray ChipModel::takeOutput()
{
    return std::exchange(m_output, {});
}

QList<ChipEvent> ChipModel::takeEvents()
{
    flushDrops();
    return std::exchange(m_events, {});
}

int ChipModel::speedWpm() const
{
    if (m_block.size() < kBlockSize)
        return kDefaultWpm;
    const int fixed = quint8(m_block.at(2));
    const int minimum = quint8(m_block.at(7));
    const int range = quint8(m_block.at(8));
    // The chip spreads its knob over the block's range, so the knob can
    // never add more than the range above the minimum.
    const int wpm = fixed != 0 ? fixed : minimum + std::min(m_pot, range);
    return std::clamp(wpm, kMinWpm, kMaxWpm);
}

double ChipModel::characterMs(char c) const
{
    const int dits = MorseCode::dits(c);
    if (dits < 0)
        return -1;
    if (m_options.fast)
        return 0;
    if (m_options.charMs > 0)
        return m_options.charMs;
    return dits * kParisMs / speedWpm();
}

void ChipModel::handleByte(quint8 byte, double now)
{
    // Outside a command: a byte may end a calibration, be text, or be junk.
    if (m_command.isEmpty()) {
        if (std::exchange(m_expectCalibrationFf, false) && byte == kCalibrationFf)
            return;
        if (byte > kLastText) {
            note(QStringLiteral("ignore %1").arg(hexText(QByteArray(1, char(byte)))), now);
            return;
        }
        if (byte >= kFirstText) {
            acceptText(char(byte), now);
            return;
        }
    }
    m_command.append(char(byte));
    if (m_command.size() >= commandLength(m_command))
        execute(std::exchange(m_command, {}), now);
}

void ChipModel::execute(const QByteArray &command, double now)
{
    switch (quint8(command.at(0))) {
    case kAdmin:
        executeAdmin(command, now);
        break;
    case kGetPot:
        send(kPotFlag | quint8(m_pot));
        break;
    case kClearBuffer:
        note(QStringLiteral("clear"), now);
        clearText();
        send(kStatusIdle);
        break;
    case kKeyImmediate:
        m_tuneOn = command.at(1) != 0;
        record(ChipEvent::Kind::Tune, m_tuneOn ? QStringLiteral("on") : QStringLiteral("off"), now);
        break;
    case kLoadDefaults:
        m_block = command;
        note(QStringLiteral("block %1").arg(hexText(command)), now);
        break;
    default:
        // Settings the simulator does not act on; the log shows them as received.
        break;
    }
}

void ChipModel::executeAdmin(const QByteArray &command, double now)
{
    switch (quint8(command.at(1))) {
    case kAdminCalibrate:
        note(QStringLiteral("calibrate"), now);
        m_expectCalibrationFf = true;
        break;
    case kAdminReset:
        note(QStringLiteral("reset"), now);
        reset();
        break;
    case kAdminHostOpen:
        note(QStringLiteral("host open"), now);
        m_hostOpen = true;
        reply(quint8(m_options.revision));
        break;
    case kAdminHostClose:
        note(QStringLiteral("host close"), now);
        // Leaving host mode abandons the host's text; no status follows.
        clearText();
        m_hostOpen = false;
        break;
    case kAdminEcho:
        reply(quint8(command.at(2)));
        break;
    default:
        break;
    }
}

void ChipModel::acceptText(char c, double now)
{
    if (!m_hostOpen) {
        drop(c, DropReason::Closed, now);
        return;
    }
    if (m_buffer.size() >= m_options.bufferSize) {
        drop(c, DropReason::Full, now);
        return;
    }
    m_buffer.append(c);
    if (!m_xoff && m_buffer.size() * 3 > 2 * m_options.bufferSize) {
        m_xoff = true;
        send(kStatusXoff);
    }
    startNext(now);
}

void ChipModel::startNext(double now)
{
    while (!m_paused && !m_charEnd && !m_buffer.isEmpty()) {
        const char c = m_buffer.front();
        m_buffer.remove(0, 1);
        if (m_xoff && m_buffer.size() * 3 < m_options.bufferSize) {
            m_xoff = false;
            send(kStatusXon);
        }
        const double ms = characterMs(c);
        if (ms < 0) {
            note(QStringLiteral("skip %1").arg(hexText(QByteArray(1, c))), now);
            continue;
        }
        record(ChipEvent::Kind::Keyed, QString(QChar::fromLatin1(c)), now);
        m_busy = true;
        if (ms > 0)
            m_charEnd = now + ms;
    }
}

void ChipModel::finishIfIdle()
{
    if (m_busy && !m_charEnd && m_buffer.isEmpty()) {
        m_busy = false;
        send(kStatusIdle);
    }
}

void ChipModel::clearText()
{
    m_buffer.clear();
    m_charEnd.reset();
    m_xoff = false;
    m_busy = false;
}

void ChipModel::reply(quint8 byte)
{
    if (m_options.silent)
        return;
    m_output.append(m_options.replyPrefix);
    m_output.append(char(byte));
}

void ChipModel::send(quint8 byte)
{
    if (!m_options.silent)
        m_output.append(char(byte));
}

void ChipModel::note(const QString &text, double now)
{
    record(ChipEvent::Kind::Note, text, now);
}

void ChipModel::record(ChipEvent::Kind kind, const QString &text, double now)
{
    // Drops are gathered into one line per run; they still come before
    // whatever happened after them.
    flushDrops();
    m_events.append({ now, kind, text });
}

void ChipModel::drop(char c, DropReason reason, double now)
{
    if (reason != m_dropReason)
        flushDrops();
    if (m_dropped.isEmpty())
        m_dropTime = now;
    m_dropReason = reason;
    m_dropped.append(c);
}

void ChipModel::flushDrops()
{
    if (m_dropped.isEmpty())
        return;
    QString text = QStringLiteral("drop %1").arg(hexText(m_dropped));
    if (m_dropReason == DropReason::Closed)
        text += QStringLiteral(" before host open");
    m_events.append({ m_dropTime, ChipEvent::Kind::Note, text });
    m_dropped.clear();
    m_dropReason = DropReason::None;
}
