// Fuzz target: the receive path's byte classification, run over a whole
// stream from the chip with the XOFF state carried from byte to byte, as
// the main window does.
//
// Input: byte 0 bit 0 is the XOFF state before the stream, bytes 1..4 the
// minimum speed (little-endian, any 32-bit value the store can hold), the
// rest the bytes the chip sends. Shorter inputs use MinSpeed 10, XOFF off.
//
// Rules checked: a speed report (0x00..0xBF) shows "<b - 128 + MinSpeed> WPM"
// in panel 3 and nothing else; of the status bytes only C0 (" ") and C4
// ("WinKey Buffer 2/3 Full") write panel 1; C5 sets XOFF, C4 and C0 clear
// it, every other byte leaves it alone. After the stream the state equals
// what the last status and the last speed report say, found by looking
// backwards through the stream instead of replaying it.
#include "fuzzcheck.h"

#include "keyer/protocol.h"

#include <QtEndian>

#include <cstdint>
#include <optional>

namespace {

constexpr quint8 kXoff = 0xC5;
constexpr quint8 kBufferLow = 0xC4;
constexpr quint8 kIdle = 0xC0;
constexpr quint8 kLastSpeedReport = 0xBF;

const QString kBufferText = QStringLiteral("WinKey Buffer 2/3 Full");
const QString kIdleText = QStringLiteral(" ");

QString speedText(quint8 byte, qint32 minSpeed)
{
    const qint64 wpm = qint64(byte) - 128 + minSpeed;
    return QString::number(wpm) + QStringLiteral(" WPM");
}

QString hexByte(quint8 byte)
{
    return QStringLiteral("0x%1").arg(byte, 2, 16, QLatin1Char('0'));
}

void checkOne(quint8 byte, qint32 minSpeed, bool xoffBefore, const Winkey::ReceiveEffect &effect)
{
    using FuzzCheck::require;
    const QString where = QStringLiteral("byte %1, MinSpeed %2, xoff before %3")
                              .arg(hexByte(byte)).arg(minSpeed).arg(xoffBefore);
    if (byte <= kLastSpeedReport) {
        require(effect.panel3 && *effect.panel3 == speedText(byte, minSpeed),
                "a speed report shows b - 128 + MinSpeed WPM in panel 3",
                where + QStringLiteral(": panel 3 %1").arg(effect.panel3 ? FuzzCheck::shown(*effect.panel3)
                                                                          : QStringLiteral("unchanged")));
        require(!effect.panel1, "a speed report leaves panel 1 alone", where);
        require(effect.xoffActive == xoffBefore, "a speed report leaves XOFF alone", where);
        return;
    }
    require(!effect.panel3, "a status byte leaves panel 3 alone", where);
    switch (byte) {
    case kXoff:
        require(effect.xoffActive, "C5 sets XOFF", where);
        require(!effect.panel1, "C5 leaves panel 1 to the sender", where);
        break;
    case kBufferLow:
        require(!effect.xoffActive, "C4 clears XOFF", where);
        require(effect.panel1 == kBufferText, "C4 shows the buffer text", where);
        break;
    case kIdle:
        require(!effect.xoffActive, "C0 clears XOFF", where);
        require(effect.panel1 == kIdleText, "C0 blanks panel 1", where);
        break;
    default:
        require(effect.xoffActive == xoffBefore, "other status bytes leave XOFF alone", where);
        require(!effect.panel1, "other status bytes leave panel 1 alone", where);
        break;
    }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    using FuzzCheck::require;
    bool xoff = false;
    qint32 minSpeed = 10;
    const uint8_t *stream = data;
    size_t length = size;
    if (size >= 5) {
        xoff = data[0] & 1;
        minSpeed = qFromLittleEndian<qint32>(data + 1);
        stream += 5;
        length -= 5;
    }
    const bool xoffAtStart = xoff;

    std::optional<QString> panel1;
    std::optional<QString> panel3;
    for (size_t i = 0; i < length; ++i) {
        const quint8 byte = stream[i];
        const Winkey::ReceiveEffect effect = Winkey::classifyByte(byte, minSpeed, xoff);
        checkOne(byte, minSpeed, xoff, effect);
        xoff = effect.xoffActive;
        if (effect.panel1)
            panel1 = effect.panel1;
        if (effect.panel3)
            panel3 = effect.panel3;
    }

    // The end state, read off the stream backwards.
    std::optional<bool> lastXoffRule;
    std::optional<QString> lastPanel1;
    std::optional<QString> lastPanel3;
    for (size_t i = length; i-- > 0;) {
        const quint8 byte = stream[i];
        if (!lastXoffRule && (byte == kXoff || byte == kBufferLow || byte == kIdle))
            lastXoffRule = byte == kXoff;
        if (!lastPanel1 && (byte == kBufferLow || byte == kIdle))
            lastPanel1 = byte == kIdle ? kIdleText : kBufferText;
        if (!lastPanel3 && byte <= kLastSpeedReport)
            lastPanel3 = speedText(byte, minSpeed);
        if (lastXoffRule && lastPanel1 && lastPanel3)
            break;
    }
    require(xoff == lastXoffRule.value_or(xoffAtStart),
            "XOFF after a stream follows its last C0/C4/C5");
    require(panel1 == lastPanel1, "panel 1 after a stream shows its last C0/C4");
    require(panel3 == lastPanel3, "panel 3 after a stream shows its last speed report");
    return 0;
}
