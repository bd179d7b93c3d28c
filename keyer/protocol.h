// The WinKey host protocol as pure functions: texts and bytes in, bytes and
// texts out. Nothing here touches a port, a window or the clock.
#pragma once

#include "settings/numbers.h"
#include "settings/settingstable.h"

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringView>

#include <optional>

namespace Winkey {

// Host-mode commands.
inline constexpr char kAdmin = 0x00;
inline constexpr char kAdminCalibrate = 0x00;
inline constexpr char kAdminHostOpen = 0x02;
inline constexpr char kAdminEcho = 0x04;
inline constexpr char kEchoByte = 0x55;
inline constexpr char kCalibrateTail = char(0xFF);
inline constexpr char kLoadDefaults = 0x0F;
inline constexpr char kGetSpeedPot = 0x07;
inline constexpr char kClearBuffer = 0x0A;
inline constexpr char kKeyImmediate = 0x0B;
inline constexpr char kSidetone = 0x01;
inline constexpr char kSetSpeed = 0x02;
inline constexpr char kSetWeighting = 0x03;
inline constexpr char kPttTimes = 0x04;
inline constexpr char kPinConfig = 0x09;
inline constexpr char kStatusRequest = 0x15;
inline constexpr char kPtt = 0x18;
inline constexpr char kBufferedSpeed = 0x1C;
inline constexpr char kCancelBufferedSpeed = 0x1E;
// Pin configuration bit that turns the sidetone on.
inline constexpr quint8 kPinSidetone = 0x02;
// Status bits besides XOFF: the paddles broke in, the chip is keying.
inline constexpr quint8 kStatusBreakIn = 0x02;
inline constexpr quint8 kStatusBusy = 0x04;
inline constexpr quint8 kStatusBase = 0xC0;

// Where the load-defaults block (0x0F first) holds the values a logger
// may change for a while.
namespace Block {
inline constexpr int kSidetone = 3;
inline constexpr int kWeighting = 4;
inline constexpr int kLeadIn = 5;
inline constexpr int kTail = 6;
inline constexpr int kMinSpeed = 7;
inline constexpr int kPinConfig = 14;
} // namespace Block

inline constexpr int kParameterBlockSize = 16;

QByteArray calibrateHead();  // 00 00
QByteArray calibrateTail();  // FF
QByteArray echoTest();       // 00 04 55
QByteArray hostOpen();       // 00 02
QByteArray getSpeedPot();    // 07
QByteArray abortCommand();   // 0A
QByteArray tuneCommand(bool keyDown); // 0B 01 / 0B 00

// Mode register from the keyer mode letter and the three switches.
quint8 modeRegister(const QString &iambicMode, const QString &ctSpace,
                    const QString &autoSpace, const QString &paddleSwap);

// Decimal text of MaxSpeed's value minus MinSpeed (no fraction digits for a whole result).
QString speedRange(const QString &maxSpeed, qint32 minSpeed);

// One parameter whose text could not be sent as a byte.
struct RejectedParameter {
    QString key;      // the parameter's name
    QString text;     // what the record held
    QString reason;   // "not a number" / "outside 0 to 255"
};

struct ParameterBlock {
    QByteArray bytes;                     // 16 bytes, 0x0F first
    QList<RejectedParameter> rejected;    // sent as their fallbacks instead
};

// The load-defaults block: 0x0F, the mode register, speed 0, then the
// thirteen parameters in block order (SettingsTable::blockParameters). A
// text that is not a number, or that rounds to a value outside 0..255, is
// replaced by its fallback and named in `rejected`.
ParameterBlock parameterBlock(quint8 mode, const QList<SettingsTable::BlockParameter> &parameters);

// Seconds since midnight of a deadline N seconds ahead, wrapping at midnight.
qint32 timeoutAt(qint32 seconds, double clockNow);

// Tells when a deadline computed by timeoutAt has passed, across midnight.
class DeadlineClock
{
public:
    DeadlineClock(qint32 deadline, double clockAtStart);
    // Feed the latest clock reading; true once the deadline has passed.
    bool passed(double clockNow);

private:
    qint32 m_deadline;
    bool m_wrapped;           // the deadline lies after the coming midnight
    bool m_seenMidnight = false;
    double m_last;
};

// What one received byte does to the receive state and the status bar.
struct ReceiveEffect {
    bool xoffActive = false;
    std::optional<QString> panel1;   // status panel text, when it changes
    std::optional<QString> panel3;   // speed panel text, when it changes
};

// Classifies one byte from the chip: speed report (0..191) or status (192..255).
ReceiveEffect classifyByte(quint8 byte, qint32 minSpeed, bool xoffActive);

// The bytes a message text puts on the line, one per character as stored:
// printable ASCII and printable Latin-1 go as they are, a tab or line break
// as a blank (a word gap). A control character never goes: to the chip it is
// a command (0B 01 would hold the transmitter keyed). A character beyond
// Latin-1 has no byte of its own and is left out rather than sent as '?'.
QByteArray textBytes(QStringView text);
// The same for the one character at index (a CR before an LF goes as nothing).
std::optional<char> textByte(QStringView text, qsizetype index);

// True for bytes the chip sends unasked (status and speed reports), which
// never answer an echo or host-open request.
constexpr bool isUnsolicited(quint8 byte) { return byte >= 0x80; }

// The device a ComPort text names: a whole number N is the platform's Nth
// port, anything else a port name or path as given.
QString portDeviceName(const QString &comPort);
// What the port panel shows: "COM" and the number, or the port's short name.
QString portPanelText(const QString &comPort);

} // namespace Winkey
