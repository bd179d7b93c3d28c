// Fuzz target: the receive path's byte classification over a whole stream
// from the chip, the XOFF state carried from byte to byte as the link does.
//
// Input: byte 0 bit 0 is XOFF before the stream, bytes 1..4 MinSpeed
// (little-endian, any 32-bit value the store can hold), the rest the
// stream. Shorter inputs are a stream alone, with MinSpeed 10 and XOFF off.
// Each require() names its rule.
#include "harness.h"

#include "keyer/protocol.h"

#include <QtEndian>

void fuzzOne(const QByteArray &input)
{
    bool xoff = false;
    qint32 minSpeed = 10;
    QByteArray stream = input;
    if (input.size() >= 5) {
        xoff = input.at(0) & 1;
        minSpeed = qFromLittleEndian<qint32>(input.constData() + 1);
        stream = input.mid(5);
    }
    for (const char c : std::as_const(stream)) {
        const auto byte = static_cast<quint8>(c);
        const Winkey::ReceiveEffect effect = Winkey::classifyByte(byte, minSpeed, xoff);
        const QString where = QStringLiteral("byte %1, MinSpeed %2, XOFF before %3, panel 1 %4, panel 3 %5")
                                  .arg(byte, 2, 16, QLatin1Char('0')).arg(minSpeed).arg(xoff)
                                  .arg(shown(effect.panel1.value_or(QStringLiteral("unchanged"))),
                                       shown(effect.panel3.value_or(QStringLiteral("unchanged"))));
        if (byte <= 0xBF) {
            const QString speed = QString::number(qint64(byte) - 128 + minSpeed) + QStringLiteral(" WPM");
            require(effect.panel3 == speed && !effect.panel1 && effect.xoffActive == xoff,
                    "a speed report shows b - 128 + MinSpeed WPM in panel 3 and changes nothing else", where);
        } else if (byte == 0xC0 || byte == 0xC4) {
            const QString text = byte == 0xC0 ? QStringLiteral(" ") : QStringLiteral("WinKey Buffer 2/3 Full");
            require(effect.panel1 == text && !effect.panel3 && !effect.xoffActive,
                    "C0 blanks panel 1, C4 shows the buffer text, both clear XOFF", where);
        } else {
            require(!effect.panel1 && !effect.panel3 && effect.xoffActive == (byte == 0xC5 || xoff),
                    "C5 sets XOFF; other status bytes change nothing", where);
        }
        xoff = effect.xoffActive;
    }
}
