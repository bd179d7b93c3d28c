#include "keyer/protocol.h"

#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

namespace Winkey {

QByteArray calibrateHead() { return QByteArray(2, kAdminCalibrate); }
QByteArray calibrateTail() { return QByteArray(1, kCalibrateTail); }
QByteArray echoTest() { return QByteArray{} + kAdmin + kAdminEcho + kEchoByte; }
QByteArray hostOpen() { return QByteArray{} + kAdmin + kAdminHostOpen; }
QByteArray getSpeedPot() { return QByteArray(1, kGetSpeedPot); }
QByteArray abortCommand() { return QByteArray(1, kClearBuffer); }
QByteArray tuneCommand(bool keyDown) { return QByteArray{} + kKeyImmediate + char(keyDown ? 1 : 0); }

quint8 modeRegister(const QString &iambicMode, const QString &ctSpace,
                    const QString &autoSpace, const QString &paddleSwap)
{
    quint8 mode = 0;
    if (iambicMode == QLatin1String("A"))
        mode |= 0x10;
    else if (iambicMode == QLatin1String("U"))
        mode |= 0x20;
    if (numericValue(ctSpace) == 1.0)
        mode |= 0x01;
    if (numericValue(autoSpace) == 1.0)
        mode |= 0x02;
    if (numericValue(paddleSwap) == 1.0)
        mode |= 0x08;
    return mode;
}

QString speedRange(const QString &maxSpeed, qint32 minSpeed)
{
    const auto max = parseNumber(maxSpeed);
    if (!max)
        return {}; // no number: the upload names it and sends the seed range
    const double range = *max - static_cast<double>(minSpeed);
    // Shortest exact digits and never an exponent, so that the text reads
    // back as the very same number.
    return QString::number(range, 'f', QLocale::FloatingPointShortest);
}

namespace {

// Converts one parameter text to its byte, or records why it cannot be sent
// and sends its fallback instead.
char parameterByte(const SettingsTable::BlockParameter &parameter, QList<RejectedParameter> &rejected)
{
    const auto value = toWholeNumber(parameter.text);
    if (value && *value >= 0 && *value <= 255)
        return static_cast<char>(static_cast<quint8>(*value));
    // A number too large for a whole value is out of range all the same.
    const bool isNumber = value || parseNumber(parameter.text);
    rejected.append({parameter.key, parameter.text,
                     isNumber ? QStringLiteral("outside 0 to 255") : QStringLiteral("not a number")});
    const auto fallback = toWholeNumber(parameter.fallback);
    return static_cast<char>(static_cast<quint8>(fallback.value_or(0)));
}

} // namespace

ParameterBlock parameterBlock(quint8 mode, const QList<SettingsTable::BlockParameter> &parameters)
{
    Q_ASSERT(parameters.size() == kParameterBlockSize - 3);
    ParameterBlock block;
    QByteArray &b = block.bytes;
    b.reserve(kParameterBlockSize);
    b.append(kLoadDefaults);
    b.append(static_cast<char>(mode));
    b.append('\0'); // speed 0: the chip follows its speed pot
    for (const SettingsTable::BlockParameter &parameter : parameters)
        b.append(parameterByte(parameter, block.rejected));
    return block;
}

qint32 timeoutAt(qint32 seconds, double clockNow)
{
    qint64 t = static_cast<qint64>(roundHalfEven(clockNow));
    if (t + seconds >= 86400)
        t -= 86400;
    return static_cast<qint32>(t + seconds);
}

DeadlineClock::DeadlineClock(qint32 deadline, double clockAtStart)
    : m_deadline(deadline), m_wrapped(deadline < clockAtStart), m_last(clockAtStart)
{
}

bool DeadlineClock::passed(double clockNow)
{
    if (clockNow < m_last)
        m_seenMidnight = true;
    m_last = clockNow;
    if (m_wrapped)
        return m_seenMidnight && clockNow > m_deadline;
    // A deadline before midnight has certainly passed once midnight has.
    return m_seenMidnight || clockNow > m_deadline;
}

ReceiveEffect classifyByte(quint8 byte, qint32 minSpeed, bool xoffActive)
{
    ReceiveEffect effect;
    effect.xoffActive = xoffActive;
    if (byte <= 191) {
        const qint64 wpm = qint64(byte) - 128 + minSpeed;
        effect.panel3 = QString::number(wpm) + QStringLiteral(" WPM");
        return effect;
    }
    switch (byte - 192) {
    case 5:
        effect.xoffActive = true;
        break;
    case 4:
        effect.xoffActive = false;
        effect.panel1 = QStringLiteral("WinKey Buffer 2/3 Full");
        break;
    case 0:
        effect.xoffActive = false;
        effect.panel1 = QStringLiteral(" ");
        break;
    default:
        break;
    }
    return effect;
}

std::optional<char> textByte(QStringView text, qsizetype index)
{
    const char16_t u = text[index].unicode();
    if ((u >= 0x20 && u <= 0x7E) || (u >= 0xA0 && u <= 0xFF))
        return static_cast<char>(u);
    // A line break is a word gap, once for CR LF.
    if (u == u'\t' || u == u'\n' || (u == u'\r' && (index + 1 == text.size() || text[index + 1] != u'\n')))
        return ' ';
    return std::nullopt;
}

QByteArray textBytes(QStringView text)
{
    QByteArray bytes;
    bytes.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        if (const auto byte = textByte(text, i))
            bytes.append(*byte);
    }
    return bytes;
}

namespace {

std::optional<int> portNumber(const QString &comPort)
{
    static const QRegularExpression kWhole(QStringLiteral(R"(^\s*([0-9]{1,5})\s*$)"));
    const auto match = kWhole.match(comPort);
    if (!match.hasMatch())
        return std::nullopt;
    const int n = match.captured(1).toInt();
    if (n < 1)
        return std::nullopt;
    return n;
}

} // namespace

QString portDeviceName(const QString &comPort)
{
    if (const auto n = portNumber(comPort)) {
#ifdef Q_OS_WIN
        return QStringLiteral("COM%1").arg(*n);
#else
        return QStringLiteral("/dev/ttyS%1").arg(*n - 1);
#endif
    }
    return comPort.trimmed();
}

QString portPanelText(const QString &comPort)
{
    if (portNumber(comPort))
        return QStringLiteral("COM") + comPort.trimmed();
    const QString name = comPort.trimmed();
    // A stable by-id link says little in a narrow panel; show the device it names.
    if (name.startsWith(QLatin1String("/dev/serial/"))) {
        const QString target = QFileInfo(name).canonicalFilePath();
        if (!target.isEmpty())
            return QFileInfo(target).fileName();
    }
    return QFileInfo(name).fileName().isEmpty() ? name : QFileInfo(name).fileName();
}

} // namespace Winkey
