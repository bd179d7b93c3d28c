// The chip's host-mode parser, text buffer and keying clock.
#include "chipmodel.h"

#include "hexbytes.h"
#include "morsecode.h"

#include <algorithm>
#include <array>
#include <cstddef>
#include <utility>

namespace {

constexpr quint8 kAdmin = 0x00;
constexpr quint8 kAdminCalibrate = 0x00;
constexpr quint8 kAdminReset = 0x01;
constexpr quint8 kAdminHostOpen = 0x02;
constexpr quint8 kAdminHostClose = 0x03;
constexpr quint8 kAdminEcho = 0x04;
constexpr quint8 kAdminPaddleA2d = 0x05;
constexpr quint8 kAdminSpeedA2d = 0x06;
constexpr quint8 kAdminGetValues = 0x07;
constexpr quint8 kAdminMajorRevision = 0x09;
constexpr quint8 kAdminDumpEeprom = 0x0C;
constexpr quint8 kAdminLoadEeprom = 0x0D;
constexpr quint8 kAdminReadVcc = 0x15;
constexpr quint8 kAdminMinorRevision = 0x17;
constexpr quint8 kAdminIcType = 0x18;
constexpr quint8 kSidetone = 0x01;
constexpr quint8 kSetSpeed = 0x02;
constexpr quint8 kWeight = 0x03;
constexpr quint8 kPttTimes = 0x04;
constexpr quint8 kSetupPot = 0x05;
constexpr quint8 kGetPot = 0x07;
constexpr quint8 kPinConfig = 0x09;
constexpr quint8 kClearBuffer = 0x0A;
constexpr quint8 kKeyImmediate = 0x0B;
constexpr quint8 kSetMode = 0x0E;
constexpr quint8 kLoadDefaults = 0x0F;
constexpr quint8 kRequestStatus = 0x15;
constexpr quint8 kPointer = 0x16;
constexpr quint8 kBufferedPtt = 0x18;
constexpr quint8 kMergeLetters = 0x1B;
constexpr quint8 kBufferedSpeed = 0x1C;
constexpr quint8 kCancelBufferedSpeed = 0x1E;
constexpr quint8 kCalibrationFf = 0xFF;
constexpr quint8 kFirstText = 0x20;
constexpr quint8 kLastText = 0x7F;
constexpr int kMaxPot = 63;
constexpr int kEepromSize = 256;
constexpr double kParisMs = 1200.0; // one dit at 1 WPM
// WK2 sidetone: the low four bits N give 4000 / N Hz for N from 1 to 10;
// bit 7 keeps it to the paddles.
constexpr quint8 kSidetoneCodeMask = 0x0F;
constexpr int kSidetoneLastCode = 10;
constexpr double kSidetoneBaseHz = 4000.0;
constexpr quint8 kSidetonePaddleOnly = 0x80;
constexpr quint8 kPinSidetone = 0x02;
constexpr int kPttUnitMs = 10;

// Where the parameters the simulator acts on sit among the 15 values of a
// load-defaults block.
constexpr int kValueMode = 0;
constexpr int kValueSpeed = 1;
constexpr int kValueSidetone = 2;
constexpr int kValueWeight = 3;
constexpr int kValueLeadIn = 4;
constexpr int kValueTail = 5;
constexpr int kValueMinWpm = 6;
constexpr int kValueRange = 7;
constexpr int kValuePinConfig = 13;

// Power-up parameters: mode 0, 20 WPM, sidetone 5, weight 50, no PTT times,
// knob from 10 WPM over 25, switchpoint and ratio 50, pin configuration 5.
const QByteArray kPowerUpValues = QByteArray::fromHex("00 14 05 32 00 00 0A 19 00 00 00 32 32 05 FF");

// Argument bytes that follow each host command 0x01..0x1F; a command's
// arguments are never text, whatever their values.
constexpr std::array<int, 0x20> kArgumentCount = {
    0, // 00: admin, by its second byte
    1, 1, 1, 2, 3, 1, 0, 0, 1, 0, 1, 1, 1, 1, // 01..0E
    ChipModel::kBlockSize - 1, // 0F: load defaults
    1, 1, 1, 0, 1, 0, 1, 1, 1, 1, 1, 2, 1, 1, 0, 0, // 10..1F; 16 by its first argument
};

// Argument bytes after 00 and each admin command 00..19; later ones take none.
constexpr std::array<int, 0x1A> kAdminArgumentCount = {
    0, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0, kEepromSize, 1, 1, // 00..0F
    0, 0, 0, 2, 0, 0, 1, 0, 0, 1, // 10..19
};

// Full length of the command whose first bytes are in command.
int commandLength(const QByteArray &command)
{
    const quint8 code = quint8(command.at(0));
    if (code != kAdmin && code != kPointer)
        return 1 + kArgumentCount[code];
    if (command.size() < 2)
        return 2;
    const quint8 sub = quint8(command.at(1));
    if (code == kPointer)
        // 16 00 resets the pointers; the other three move them or add nulls
        // and carry one more byte.
        return sub == 0 ? 2 : 3;
    return 2 + (std::size_t(sub) < kAdminArgumentCount.size() ? kAdminArgumentCount[sub] : 0);
}

// Bytes one entry of the text buffer takes: a character, or a buffered
// command with its arguments.
qsizetype bufferedLength(quint8 head)
{
    switch (head) {
    case kBufferedSpeed:
    case kBufferedPtt:
        return 2;
    case kMergeLetters:
        return 3;
    default:
        return 1;
    }
}

QString sidetoneText(quint8 value)
{
    const int code = value & kSidetoneCodeMask;
    QString text = code >= 1 && code <= kSidetoneLastCode
        ? QStringLiteral("sidetone %1 Hz").arg(qRound(kSidetoneBaseHz / code))
        : QStringLiteral("sidetone code %1").arg(hexText(QByteArray(1, char(code))));
    if (value & kSidetonePaddleOnly)
        text += QStringLiteral(" paddle only");
    return text;
}

} // namespace

ChipModel::ChipModel(const ChipOptions &options)
    : m_options(options)
    , m_pot(std::clamp(options.pot, 0, kMaxPot))
    , m_values(kPowerUpValues)
    , m_eeprom(kEepromSize, '\0')
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
        echoKeyed(m_current);
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
    send(potReport());
}

void ChipModel::pauseKeying(double nowMs)
{
    advance(nowMs);
    m_paused = true;
    note(QStringLiteral("xoff"), nowMs);
    m_status = kStatusXoff;
    send(kStatusXoff);
}

void ChipModel::resumeKeying(double nowMs)
{
    advance(nowMs);
    m_paused = false;
    note(QStringLiteral("xon"), nowMs);
    send(kStatusXon);
    // The operator's XON is sent whatever the state; what follows is
    // measured against the real one.
    const bool busy = m_charEnd || !m_buffer.isEmpty();
    m_status = kStatusIdle | (busy ? kStatusBusyBit : 0) | (m_xoff ? kStatusXoffBit : 0);
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
    m_status = kStatusIdle;
    m_block.clear();
    m_values = kPowerUpValues;
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
    if (m_bufferedWpm > 0)
        return m_bufferedWpm;
    const int fixed = quint8(m_values.at(kValueSpeed));
    return fixed != 0 ? std::clamp(fixed, kMinWpm, kMaxWpm) : knobWpm();
}

int ChipModel::knobWpm() const
{
    // The knob spreads over the range the host set, so it never adds more
    // than the range above the minimum.
    const int minimum = quint8(m_values.at(kValueMinWpm));
    const int range = quint8(m_values.at(kValueRange));
    return std::clamp(minimum + std::min(m_pot, range), kMinWpm, kMaxWpm);
}

quint8 ChipModel::potReport() const
{
    // What the host adds back to its minimum is the speed the chip keys at
    // from the knob; six bits, or the report would read as a status byte.
    const int minimum = quint8(m_values.at(kValueMinWpm));
    return kPotFlag | quint8(std::clamp(knobWpm() - minimum, 0, kMaxPot));
}

double ChipModel::characterMs(char c) const
{
    return signMs(QByteArray(1, c));
}

double ChipModel::signMs(const QByteArray &sign) const
{
    // The weighting lengthens each element and shortens the space after it
    // by as much: a character takes as long whatever the weighting.
    const int dits = MorseCode::dits(sign);
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
            bufferCommand(QByteArray(1, char(byte)), now);
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
    case kSidetone:
        m_values[kValueSidetone] = command.at(1);
        note(sidetoneText(quint8(command.at(1))), now);
        break;
    case kWeight: {
        const int weight = std::clamp(int(quint8(command.at(1))), kMinWeight, kMaxWeight);
        m_values[kValueWeight] = char(weight);
        note(QStringLiteral("weight %1").arg(weight), now);
        break;
    }
    case kPttTimes:
        m_values[kValueLeadIn] = command.at(1);
        m_values[kValueTail] = command.at(2);
        note(QStringLiteral("ptt times lead %1 ms tail %2 ms")
                 .arg(quint8(command.at(1)) * kPttUnitMs)
                 .arg(quint8(command.at(2)) * kPttUnitMs),
            now);
        break;
    case kPinConfig:
        m_values[kValuePinConfig] = command.at(1);
        note(QStringLiteral("pins %1 sidetone %2")
                 .arg(hexText(command.mid(1)),
                     (quint8(command.at(1)) & kPinSidetone) ? QStringLiteral("on") : QStringLiteral("off")),
            now);
        break;
    case kSetSpeed: {
        const int wpm = quint8(command.at(1));
        // 0 hands the speed back to the knob.
        m_values[kValueSpeed] = char(wpm == 0 ? 0 : std::clamp(wpm, kMinWpm, kMaxWpm));
        note(wpm == 0 ? QStringLiteral("speed knob") : QStringLiteral("speed %1").arg(speedWpm()), now);
        break;
    }
    case kSetupPot:
        m_values[kValueMinWpm] = command.at(1);
        m_values[kValueRange] = command.at(2);
        break;
    case kGetPot:
        send(potReport());
        break;
    case kClearBuffer:
        note(QStringLiteral("clear"), now);
        clearText();
        // Sent even when the chip was idle: a host that clears learns at
        // once that nothing is left to key.
        m_status = kStatusIdle;
        send(kStatusIdle);
        break;
    case kKeyImmediate:
        m_tuneOn = command.at(1) != 0;
        record(ChipEvent::Kind::Tune, m_tuneOn ? QStringLiteral("on") : QStringLiteral("off"), now);
        break;
    case kSetMode:
        m_values[kValueMode] = command.at(1);
        note(QStringLiteral("mode %1").arg(hexText(command.mid(1))), now);
        break;
    case kLoadDefaults:
        m_block = command;
        m_values = command.mid(1);
        note(QStringLiteral("block %1").arg(hexText(command)), now);
        break;
    case kRequestStatus:
        // The status as it is now, even when the host was told it already:
        // text keyed at once in this same read may have left the chip idle.
        finishIfIdle();
        send(m_status);
        break;
    case kBufferedPtt:
    case kMergeLetters:
    case kBufferedSpeed:
    case kCancelBufferedSpeed:
        bufferCommand(command, now);
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
        m_status = kStatusIdle;
        m_hostOpen = false;
        break;
    case kAdminEcho:
        reply(quint8(command.at(2)));
        break;
    case kAdminGetValues:
        for (const char value : std::as_const(m_values))
            send(quint8(value));
        break;
    case kAdminMajorRevision:
        send(quint8(m_options.revision));
        break;
    case kAdminDumpEeprom:
        for (const char value : std::as_const(m_eeprom))
            send(quint8(value));
        break;
    case kAdminLoadEeprom:
        m_eeprom = command.mid(2);
        break;
    case kAdminPaddleA2d:
    case kAdminSpeedA2d:
    case kAdminReadVcc:
    case kAdminMinorRevision:
    case kAdminIcType:
        // Readings the simulator has no value for: the host still gets its
        // one byte and stays in step.
        send(0);
        break;
    default:
        break;
    }
}

// Text, and the commands that act only when the keying reaches them.
void ChipModel::bufferCommand(const QByteArray &command, double now)
{
    if (!m_hostOpen || m_buffer.size() + command.size() > m_options.bufferSize) {
        for (const char byte : command)
            drop(byte, m_hostOpen ? DropReason::Full : DropReason::Closed, now);
        return;
    }
    m_buffer.append(command);
    if (!m_xoff && m_buffer.size() * 3 > 2 * m_options.bufferSize) {
        m_xoff = true;
        reportStatus(true);
    }
    startNext(now);
}

void ChipModel::startNext(double now)
{
    while (!m_paused && !m_charEnd && !m_buffer.isEmpty()) {
        const quint8 head = quint8(m_buffer.front());
        const QByteArray entry = m_buffer.left(bufferedLength(head));
        m_buffer.remove(0, entry.size());
        if (m_xoff && m_buffer.size() * 3 < m_options.bufferSize) {
            m_xoff = false;
            reportStatus(true);
        }
        if (runBuffered(entry, now))
            continue;
        // A merge is one sign: one key line, one length, echoed as a whole.
        const QByteArray sign = head == kMergeLetters ? mergedSign(entry.mid(1), now) : entry;
        if (sign.isEmpty())
            continue;
        const double ms = signMs(sign);
        if (ms < 0) {
            note(QStringLiteral("skip %1").arg(hexText(entry)), now);
            // Still echoed, so that a host counting echoes stays in step.
            echoKeyed(sign);
            continue;
        }
        record(ChipEvent::Kind::Keyed, QString::fromLatin1(sign), now, speedWpm());
        reportStatus(true);
        if (ms > 0) {
            m_charEnd = now + ms;
            m_current = sign;
        } else {
            echoKeyed(sign);
        }
    }
}

bool ChipModel::runBuffered(const QByteArray &entry, double now)
{
    switch (quint8(entry.at(0))) {
    case kBufferedSpeed: {
        const int wpm = quint8(entry.at(1));
        m_bufferedWpm = wpm == 0 ? 0 : std::clamp(wpm, kMinWpm, kMaxWpm);
        note(QStringLiteral("buffered speed %1").arg(speedWpm()), now);
        return true;
    }
    case kCancelBufferedSpeed:
        m_bufferedWpm = 0;
        note(QStringLiteral("buffered speed off"), now);
        return true;
    case kBufferedPtt:
        note(entry.at(1) != 0 ? QStringLiteral("ptt on") : QStringLiteral("ptt off"), now);
        return true;
    default:
        return false;
    }
}

QByteArray ChipModel::mergedSign(const QByteArray &letters, double now)
{
    QByteArray sign;
    for (const char c : letters) {
        if (!MorseCode::elements(c).isEmpty()) {
            sign.append(c);
            continue;
        }
        note(QStringLiteral("skip %1").arg(hexText(QByteArray(1, c))), now);
        echoKeyed(QByteArray(1, c));
    }
    return sign;
}

void ChipModel::finishIfIdle()
{
    if (!m_paused && !m_charEnd && m_buffer.isEmpty())
        reportStatus(false);
}

void ChipModel::clearText()
{
    m_buffer.clear();
    m_charEnd.reset();
    m_xoff = false;
    m_bufferedWpm = 0;
}

void ChipModel::reportStatus(bool busy)
{
    // While the operator holds the flow, the XOFF sent then stands.
    if (m_paused)
        return;
    const quint8 status = kStatusIdle | (busy ? kStatusBusyBit : 0) | (m_xoff ? kStatusXoffBit : 0);
    if (status == m_status)
        return;
    m_status = status;
    send(status);
}

void ChipModel::echoKeyed(const QByteArray &sign)
{
    if (!(quint8(m_values.at(kValueMode)) & kModeSerialEcho))
        return;
    for (const char c : sign)
        send(quint8(c));
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

void ChipModel::record(ChipEvent::Kind kind, const QString &text, double now, int wpm)
{
    // Drops are gathered into one line per run; they still come before
    // whatever happened after them.
    flushDrops();
    m_events.append({ now, kind, text, wpm });
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
    m_events.append({ m_dropTime, ChipEvent::Kind::Note, text, 0 });
    m_dropped.clear();
    m_dropReason = DropReason::None;
}
