// Fuzz target: turning the operator's texts into numbers and into the
// chip's load-defaults block. Every text comes from a settings file or a
// text box, so any text at all must be handled.
//
// Input: fields separated by 0xFF bytes, each decoded as UTF-8. Field 0 is
// checked alone with parseNumber / toWholeNumber; fields 0..16 fill the
// keyer record in the order of kFields (missing ones keep the seed value),
// and the record goes through the steps the link's start-up takes.
//
// Rules checked:
// - parseNumber accepts exactly blanks (space, tab) around an optional sign
//   and digits with an optional fraction (".5" and "5." included), nothing
//   else; its value is the one strtod gives for that text in the C locale.
// - toWholeNumber is that value rounded to the nearest whole number, halves
//   to even, and empty for no number or one beyond 64 bits.
// - the block is always 16 bytes: 0F, the mode register, 0, then each
//   parameter in the chip's order; a text that is no number or rounds to
//   a value outside 0..255 is replaced by its seed value and named once in
//   the rejected list with its text and the reason ("not a number" exactly
//   when parseNumber finds none), and a text that is sent is not named. The speed range is MaxSpeed's value minus MinSpeed,
//   rounded; a MaxSpeed that is no number is named as MaxSpeed.
#include "fuzzcheck.h"

#include "keyer/protocol.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingstable.h"

#include <QByteArray>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>
#include <optional>

namespace {

using FuzzCheck::require;
using FuzzCheck::shown;

// A text parameter: its store key, its seed section and its 1-based place in the block.
struct Field {
    const char *key;
    const char *section;
    int position;          // 0: not a byte of its own
    QString KeyerSettings::*member;
};

// The load-defaults order is the chip's: mode, speed, sidetone, weight,
// lead-in, tail, minimum speed, speed range, first extension, keying
// compensation, Farnsworth, paddle switch point, dit/dah ratio, pin
// configuration, pot range.
const Field kFields[] = {
    {"ToneFreq", "Parameters", 4, &KeyerSettings::ToneFreq},
    {"Weight", "Parameters", 5, &KeyerSettings::Weight},
    {"PTT_Lead", "Parameters", 6, &KeyerSettings::PTT_Lead},
    {"PTT_Tail", "Parameters", 7, &KeyerSettings::PTT_Tail},
    {"FirstExt", "Parameters", 10, &KeyerSettings::FirstExt},
    {"KeyComp", "Parameters", 11, &KeyerSettings::KeyComp},
    {"Farnsworth", "Speed Settings", 12, &KeyerSettings::Farnsworth},
    {"SetPoint", "Parameters", 13, &KeyerSettings::SetPoint},
    {"DDRatio", "Parameters", 14, &KeyerSettings::DDRatio},
    {"Pin5Mode", "Parameters", 15, &KeyerSettings::Pin5Mode},
    {"PotRange", "Parameters", 16, &KeyerSettings::PotRange},
    {"MaxSpeed", "Speed Settings", 0, &KeyerSettings::MaxSpeed},
    {"IambicMode", "Parameters", 0, &KeyerSettings::IambicMode},
    {"CTSpace", "Parameters", 0, &KeyerSettings::CTSpace},
    {"AutoSpace", "Parameters", 0, &KeyerSettings::AutoSpace},
    {"PaddleSwap", "Parameters", 0, &KeyerSettings::PaddleSwap},
};
constexpr int kMinSpeedPosition = 8;
constexpr int kSpeedRangePosition = 9;
const QString kNotANumber = QStringLiteral("not a number");
const QString kOutOfRange = QStringLiteral("outside 0 to 255");

bool isBlank(QChar c)
{
    return c == QLatin1Char(' ') || c == QLatin1Char('\t');
}

bool isDigit(QChar c)
{
    return c.unicode() >= '0' && c.unicode() <= '9';
}

// The number inside the blanks when the text has the documented form; read
// character by character so that it shares nothing with the program's pattern.
std::optional<QString> numberCore(const QString &text)
{
    qsizetype begin = 0;
    qsizetype end = text.size();
    while (begin < end && isBlank(text.at(begin)))
        ++begin;
    while (end > begin && isBlank(text.at(end - 1)))
        --end;
    qsizetype i = begin;
    if (i < end && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        ++i;
    qsizetype whole = 0;
    while (i < end && isDigit(text.at(i))) {
        ++i;
        ++whole;
    }
    qsizetype fraction = 0;
    if (i < end && text.at(i) == QLatin1Char('.')) {
        ++i;
        while (i < end && isDigit(text.at(i))) {
            ++i;
            ++fraction;
        }
    }
    if (i != end || (whole == 0 && fraction == 0))
        return std::nullopt;
    return text.mid(begin, end - begin);
}

void checkNumber(const QString &text)
{
    const std::optional<double> value = Winkey::parseNumber(text);
    const std::optional<QString> core = numberCore(text);
    if (!core) {
        require(!value, "parseNumber takes nothing but blanks, a sign, digits and a point",
                shown(text) + QStringLiteral(" gave %1").arg(value.value_or(0), 0, 'g', 17));
        require(!Winkey::toWholeNumber(text), "toWholeNumber has no value without a number", shown(text));
        return;
    }
    const QByteArray latin = core->toLatin1();
    const double expected = std::strtod(latin.constData(), nullptr);
    if (std::isinf(expected)) {
        // Beyond the range of a double: certainly beyond 64 bits.
        require(!Winkey::toWholeNumber(text), "a number beyond 64 bits has no whole value", shown(text));
        return;
    }
    require(value.has_value(), "parseNumber takes every number of the documented form", shown(text));
    require(*value == expected, "parseNumber gives the decimal value of the text",
            shown(text) + QStringLiteral(" gave %1, strtod %2").arg(*value, 0, 'g', 17).arg(expected, 0, 'g', 17));

    const std::optional<qint64> whole = Winkey::toWholeNumber(text);
    const double rounded = Winkey::roundHalfEven(*value);
    const double distance = std::fabs(*value - rounded);
    require(rounded == std::floor(rounded) && distance <= 0.5, "roundHalfEven gives the nearest whole number",
            QStringLiteral("%1 -> %2").arg(*value, 0, 'g', 17).arg(rounded, 0, 'g', 17));
    if (distance == 0.5)
        require(std::fmod(rounded, 2.0) == 0.0, "halves round to the even number",
                QStringLiteral("%1 -> %2").arg(*value, 0, 'g', 17).arg(rounded, 0, 'g', 17));
    const bool fits = rounded >= -9223372036854775808.0 && rounded < 9223372036854775808.0;
    require(whole.has_value() == fits, "toWholeNumber has a value exactly when it fits 64 bits", shown(text));
    if (whole)
        require(static_cast<double>(*whole) == rounded, "toWholeNumber is the rounded value", shown(text));
}

quint8 seedByte(const QString &section, const QString &key)
{
    return static_cast<quint8>(Winkey::toWholeNumber(Seed::value(section, key)).value_or(0));
}

// The rejections naming one key.
QList<Winkey::RejectedParameter> namesOf(const QList<Winkey::RejectedParameter> &rejected, const QString &key)
{
    QList<Winkey::RejectedParameter> found;
    for (const Winkey::RejectedParameter &r : rejected) {
        if (r.key == key)
            found << r;
    }
    return found;
}

// One byte of the block: sent as its value, or replaced and named.
void checkByte(const Winkey::ParameterBlock &block, int position, const QString &key, const QString &text,
               std::optional<qint64> value, quint8 seed)
{
    const bool isNumber = value || Winkey::parseNumber(text);
    const auto sent = static_cast<quint8>(block.bytes.at(position - 1));
    const QList<Winkey::RejectedParameter> named = namesOf(block.rejected, key);
    const QString where = QStringLiteral("%1 = %2, byte %3 = %4").arg(key, shown(text)).arg(position).arg(sent);
    if (value && *value >= 0 && *value <= 255) {
        require(sent == *value, "a text in range is sent as its rounded value", where);
        require(named.isEmpty(), "a text that is sent is not named as rejected", where);
        return;
    }
    require(sent == seed, "a rejected text is replaced by its seed value", where);
    require(named.size() == 1, "a rejected text is named exactly once", where);
    require(named.first().text == text, "a rejection quotes the text that was held",
            where + QStringLiteral(", quoted %1").arg(shown(named.first().text)));
    require(named.first().reason == (isNumber ? kOutOfRange : kNotANumber),
            "a rejection gives the right reason", where + QStringLiteral(", reason ") + named.first().reason);
}

void checkBlock(const KeyerSettings &s)
{
    const quint8 mode = Winkey::modeRegister(s.IambicMode, s.CTSpace, s.AutoSpace, s.PaddleSwap);
    // Bits 2, 6 and 7 of the mode register mean other things to the chip.
    require((mode & 0xC4) == 0, "the mode register sets only keyer mode, spacing and swap bits",
            QString::number(mode, 16));
    const QString range = Winkey::speedRange(s.MaxSpeed, s.MinSpeed);
    const Winkey::ParameterBlock block = Winkey::parameterBlock(mode, SettingsTable::blockParameters(s, range));

    require(block.bytes.size() == Winkey::kParameterBlockSize, "the block is always 16 bytes",
            QString::number(block.bytes.size()));
    require(block.bytes.at(0) == Winkey::kLoadDefaults, "the block starts with the load-defaults command");
    require(static_cast<quint8>(block.bytes.at(1)) == mode, "the block's second byte is the mode register");
    require(block.bytes.at(2) == 0, "the block's speed byte is 0, so the chip follows its knob");

    for (const Field &f : kFields) {
        if (f.position == 0)
            continue;
        const QString key = QString::fromLatin1(f.key);
        const QString &text = s.*f.member;
        checkByte(block, f.position, key, text, Winkey::toWholeNumber(text),
                  seedByte(QString::fromLatin1(f.section), key));
    }
    checkByte(block, kMinSpeedPosition, QStringLiteral("MinSpeed"), QString::number(s.MinSpeed), s.MinSpeed,
              Seed::kMinSpeed);

    // The speed range, judged on the operator's numbers rather than the text in between.
    const quint8 seedRange = static_cast<quint8>(
        seedByte(QStringLiteral("Speed Settings"), QStringLiteral("MaxSpeed")) - Seed::kMinSpeed);
    const std::optional<double> max = Winkey::parseNumber(s.MaxSpeed);
    if (!max) {
        checkByte(block, kSpeedRangePosition, QStringLiteral("MaxSpeed"), s.MaxSpeed, std::nullopt, seedRange);
    } else {
        const double rounded = Winkey::roundHalfEven(*max - static_cast<double>(s.MinSpeed));
        const auto sent = static_cast<quint8>(block.bytes.at(kSpeedRangePosition - 1));
        const QString where = QStringLiteral("MaxSpeed = %1, MinSpeed = %2, range text %3, byte %4")
                                  .arg(shown(s.MaxSpeed)).arg(s.MinSpeed).arg(shown(range)).arg(sent);
        const QList<Winkey::RejectedParameter> named = namesOf(block.rejected, QStringLiteral("SpeedRange"));
        require(namesOf(block.rejected, QStringLiteral("MaxSpeed")).isEmpty(),
                "a MaxSpeed that is a number is not named as no number", where);
        if (rounded >= 0 && rounded <= 255) {
            require(sent == rounded, "the speed range is MaxSpeed minus MinSpeed, rounded", where);
            require(named.isEmpty(), "a speed range that is sent is not named as rejected", where);
        } else {
            require(sent == seedRange, "a speed range outside 0..255 is replaced by the seed range", where);
            require(named.size() == 1 && named.first().reason == kOutOfRange,
                    "a speed range outside 0..255 is named once as out of range",
                    where + (named.isEmpty() ? QString() : QStringLiteral(", reason ") + named.first().reason));
        }
    }
    for (const Winkey::RejectedParameter &r : block.rejected) {
        bool known = r.key == QLatin1String("MinSpeed") || r.key == QLatin1String("MaxSpeed")
                     || r.key == QLatin1String("SpeedRange");
        for (const Field &f : kFields)
            known = known || (f.position != 0 && r.key == QLatin1String(f.key));
        require(known, "every rejection names a key of the block", r.key);
    }
}

} // namespace

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // strtod reads the decimal point from the locale; the texts always use '.'.
    std::setlocale(LC_NUMERIC, "C");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QList<QString> fields = FuzzCheck::fields(data, size);
    checkNumber(fields.first());

    KeyerSettings s;
    for (const Field &f : kFields)
        s.*f.member = Seed::value(QString::fromLatin1(f.section), QString::fromLatin1(f.key));
    s.MinSpeed = Seed::kMinSpeed;
    qsizetype next = 0;
    for (const Field &f : kFields) {
        if (next < fields.size())
            s.*f.member = fields.at(next++);
    }
    // MinSpeed is held as a number: the store's text is read as the settings loader reads it.
    if (next < fields.size()) {
        const std::optional<qint64> min = Winkey::toWholeNumber(fields.at(next));
        if (min && *min >= std::numeric_limits<qint32>::min() && *min <= std::numeric_limits<qint32>::max())
            s.MinSpeed = static_cast<qint32>(*min);
    }
    checkBlock(s);
    return 0;
}
