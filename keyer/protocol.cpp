#include "keyer/protocol.h"

#include "settings/keyersettings.h"
#include "settings/seed.h"

#include <QFileInfo>
#include <QLocale>
#include <QRegularExpression>

#include <clocale>
#include <cmath>
#include <cstdlib>
#include <limits>

namespace Winkey {

QByteArray calibrateHead() { return QByteArray(2, kAdminCalibrate); }
QByteArray calibrateTail() { return QByteArray(1, kCalibrateTail); }
QByteArray echoTest() { return QByteArray{} + kAdmin + kAdminEcho + kEchoByte; }
QByteArray hostOpen() { return QByteArray{} + kAdmin + kAdminHostOpen; }
QByteArray getSpeedPot() { return QByteArray(1, kGetSpeedPot); }
QByteArray abortCommand() { return QByteArray(1, kClearBuffer); }
QByteArray tuneCommand(bool keyDown) { return QByteArray{} + kKeyImmediate + char(keyDown ? 1 : 0); }

namespace {

// strtod in the C locale whatever the process locale is (Qt sets the
// user's, where the decimal point may be a comma). Unlike QString::toDouble
// it also takes a fraction too small for a double, giving 0 or a denormal.
double strtodC(const char *text)
{
#ifdef Q_OS_WIN
    static const _locale_t c = _create_locale(LC_NUMERIC, "C");
    return _strtod_l(text, nullptr, c);
#else
    static const locale_t c = newlocale(LC_NUMERIC_MASK, "C", locale_t(nullptr));
    return strtod_l(text, nullptr, c);
#endif
}

} // namespace

std::optional<double> parseNumber(QStringView text)
{
    // \A and \z: "$" would also match before a final line break.
    static const QRegularExpression kNumber(
        QStringLiteral(R"(\A[ \t]*([+-]?(?:[0-9]+(?:\.[0-9]*)?|\.[0-9]+))[ \t]*\z)"));
    const auto match = kNumber.match(text.toString());
    if (!match.hasMatch())
        return std::nullopt;
    const QByteArray number = match.captured(1).toLatin1();
    const double value = strtodC(number.constData());
    if (!std::isfinite(value))
        return std::nullopt;
    return value;
}

double roundHalfEven(double value)
{
    // nearbyint follows the current rounding mode, which is round-to-nearest-even
    // unless someone changed it; do it by hand so that nothing can.
    const double floor = std::floor(value);
    const double diff = value - floor;
    if (diff < 0.5)
        return floor;
    if (diff > 0.5)
        return floor + 1.0;
    return std::fmod(floor, 2.0) == 0.0 ? floor : floor + 1.0;
}

std::optional<qint64> toWholeNumber(QStringView text)
{
    const auto value = parseNumber(text);
    if (!value)
        return std::nullopt;
    const double rounded = roundHalfEven(*value);
    // 2^63 is exactly representable; anything at or beyond it does not fit.
    if (rounded >= 9223372036854775808.0 || rounded < -9223372036854775808.0)
        return std::nullopt;
    return static_cast<qint64>(rounded);
}

double numericValue(QStringView text)
{
    return parseNumber(text).value_or(0.0);
}

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

QString seedOf(const char *section, const char *key)
{
    return Seed::value(QString::fromLatin1(section), QString::fromLatin1(key));
}

// Converts one parameter text to its byte, or records why it cannot be sent.
char parameterByte(const QString &key, const QString &text, const QString &seedText,
                   QList<RejectedParameter> &rejected)
{
    const auto value = toWholeNumber(text);
    if (value && *value >= 0 && *value <= 255)
        return static_cast<char>(static_cast<quint8>(*value));
    rejected.append({key, text, value ? QStringLiteral("outside 0 to 255")
                                      : QStringLiteral("not a number")});
    const auto seed = toWholeNumber(seedText);
    return static_cast<char>(static_cast<quint8>(seed.value_or(0)));
}

} // namespace

ParameterBlock parameterBlock(const KeyerSettings &s, quint8 mode, const QString &range)
{
    ParameterBlock block;
    QByteArray &b = block.bytes;
    auto &rej = block.rejected;
    const QString seedRange = QString::number(Seed::value(QStringLiteral("Speed Settings"),
                                                          QStringLiteral("MaxSpeed")).toInt()
                                              - Seed::kMinSpeed);
    b.reserve(kParameterBlockSize);
    b.append(kLoadDefaults);
    b.append(static_cast<char>(mode));
    b.append('\0'); // speed 0: the chip follows its speed pot
    b.append(parameterByte(QStringLiteral("ToneFreq"), s.ToneFreq, seedOf("Parameters", "ToneFreq"), rej));
    b.append(parameterByte(QStringLiteral("Weight"), s.Weight, seedOf("Parameters", "Weight"), rej));
    b.append(parameterByte(QStringLiteral("PTT_Lead"), s.PTT_Lead, seedOf("Parameters", "PTT_Lead"), rej));
    b.append(parameterByte(QStringLiteral("PTT_Tail"), s.PTT_Tail, seedOf("Parameters", "PTT_Tail"), rej));
    b.append(parameterByte(QStringLiteral("MinSpeed"), QString::number(s.MinSpeed),
                           QString::number(Seed::kMinSpeed), rej));
    b.append(parameterByte(QStringLiteral("SpeedRange"), range.isEmpty() ? s.MaxSpeed : range,
                           seedRange, rej));
    b.append(parameterByte(QStringLiteral("FirstExt"), s.FirstExt, seedOf("Parameters", "FirstExt"), rej));
    b.append(parameterByte(QStringLiteral("KeyComp"), s.KeyComp, seedOf("Parameters", "KeyComp"), rej));
    b.append(parameterByte(QStringLiteral("Farnsworth"), s.Farnsworth, seedOf("Speed Settings", "Farnsworth"), rej));
    b.append(parameterByte(QStringLiteral("SetPoint"), s.SetPoint, seedOf("Parameters", "SetPoint"), rej));
    b.append(parameterByte(QStringLiteral("DDRatio"), s.DDRatio, seedOf("Parameters", "DDRatio"), rej));
    b.append(parameterByte(QStringLiteral("Pin5Mode"), s.Pin5Mode, seedOf("Parameters", "Pin5Mode"), rej));
    b.append(parameterByte(QStringLiteral("PotRange"), s.PotRange, seedOf("Parameters", "PotRange"), rej));
    // A MaxSpeed that is no number is reported under its own name; a range
    // that is a number but too large for a whole value is simply out of range.
    for (RejectedParameter &r : rej) {
        if (r.key != QLatin1String("SpeedRange"))
            continue;
        if (range.isEmpty())
            r.key = QStringLiteral("MaxSpeed");
        else
            r.reason = QStringLiteral("outside 0 to 255");
    }
    Q_ASSERT(b.size() == kParameterBlockSize);
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
