// Fuzz target: the operator's texts as numbers, as the chip's load-defaults
// block and as message text; each require() names its rule. Any text at all
// can come from a settings file.
//
// Input: fields separated by 0xFF bytes (never in UTF-8), each decoded as
// UTF-8. Every field goes through parseNumber, toWholeNumber and the message
// filter; fields 0..15 fill the record's texts in the order of kFields,
// field 16 MinSpeed (read as the loader reads it); missing ones keep their seed.
#include "harness.h"

#include "keyer/protocol.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingstable.h"

#include <cmath>
#include <cstdlib>
#include <limits>

namespace {

using K = KeyerSettings;
QString K::*const kFields[] = {&K::ToneFreq, &K::Weight, &K::PTT_Lead, &K::PTT_Tail, &K::FirstExt,
                               &K::KeyComp, &K::Farnsworth, &K::SetPoint, &K::DDRatio, &K::Pin5Mode,
                               &K::PotRange, &K::MaxSpeed, &K::IambicMode, &K::CTSpace, &K::AutoSpace,
                               &K::PaddleSwap};
// Each field's byte in the block, 0F counted as byte 1 (0: none, or a bit of
// the mode register); the speed range goes in byte 9, MinSpeed in byte 8.
constexpr int kBlockBytes[] = {4, 5, 6, 7, 10, 11, 12, 13, 14, 15, 16, 0, 0, 0, 0, 0};
constexpr int kRangeByte = 9;
constexpr int kMinSpeedByte = 8;

bool isDigit(QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }

// The number inside the blanks when the text has the documented form, read
// character by character: nothing shared with the program's pattern.
std::optional<QString> numberCore(const QString &text)
{
    const auto blank = [](QChar c) { return c == QLatin1Char(' ') || c == QLatin1Char('\t'); };
    qsizetype begin = 0, end = text.size();
    while (begin < end && blank(text.at(begin)))
        ++begin;
    while (end > begin && blank(text.at(end - 1)))
        --end;
    qsizetype i = begin, digits = 0;
    if (i < end && (text.at(i) == QLatin1Char('+') || text.at(i) == QLatin1Char('-')))
        ++i;
    for (; i < end && isDigit(text.at(i)); ++i)
        ++digits;
    if (i < end && text.at(i) == QLatin1Char('.'))
        for (++i; i < end && isDigit(text.at(i)); ++i)
            ++digits;
    if (i != end || digits == 0)
        return std::nullopt;
    return text.mid(begin, end - begin);
}

// The message rule, from Unicode's categories rather than byte ranges.
void checkMessage(const QString &text)
{
    QByteArray expected;
    const QString lines = QString(text).replace(QLatin1String("\r\n"), QLatin1String("\n"));
    for (const QChar c : lines) {
        if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
            expected += ' ';
        else if (c.unicode() <= 0xFF && c.category() != QChar::Other_Control)
            expected += char(c.unicode());
    }
    const QByteArray sent = Winkey::textBytes(text);
    require(sent == expected, "a message sends printable Latin-1 as it is, a tab or line break as a blank, nothing else",
            shown(text) + QStringLiteral(" sent ") + QString::fromLatin1(sent.toHex(' ')));
}

void checkNumber(const QString &text)
{
    const std::optional<double> value = Winkey::parseNumber(text);
    const std::optional<qint64> whole = Winkey::toWholeNumber(text);
    const std::optional<QString> core = numberCore(text);
    const double expected = core ? std::strtod(core->toLatin1().constData(), nullptr) : 0;
    const QString where = shown(text) + QStringLiteral(" gave %1, whole %2, strtod %3")
                              .arg(value.value_or(NAN), 0, 'g', 17).arg(whole.value_or(0)).arg(expected, 0, 'g', 17);
    if (!core || std::isinf(expected)) {
        require(!whole, "toWholeNumber has no value without a number or beyond 64 bits", where);
        require(core || !value, "parseNumber takes nothing but blanks, a sign, digits and a point", where);
        return;
    }
    require(value == expected, "parseNumber gives strtod's value for every text of the documented form", where);
    const double rounded = std::nearbyint(*value); // the default rounding mode: half to even
    const bool fits = rounded >= -0x1p63 && rounded < 0x1p63;
    require(whole.has_value() == fits && (!whole || double(*whole) == rounded),
            "toWholeNumber is the value rounded half to even, when it fits 64 bits", where);
}

// One parameter byte: sent as its value, or replaced by the seed's and
// named once. Returns how often it was named.
qsizetype checkByte(const Winkey::ParameterBlock &block, int byte, const QString &key, const QString &text,
               std::optional<double> value, quint8 seed)
{
    const auto sent = static_cast<quint8>(block.bytes.at(byte - 1));
    QList<Winkey::RejectedParameter> named;
    for (const Winkey::RejectedParameter &r : block.rejected)
        if (r.key == key)
            named << r;
    const QString where = QStringLiteral("%1 = %2, byte %3 = %4, named %5 times")
                              .arg(key, shown(text)).arg(byte).arg(sent).arg(named.size());
    const double rounded = value ? std::nearbyint(*value) : -1;
    if (rounded >= 0 && rounded <= 255) {
        require(sent == rounded && named.isEmpty(), "a text within 0..255 is sent as its value, unnamed", where);
        return 0;
    }
    require(sent == seed && named.size() == 1, "any other text is replaced by its seed and named once", where);
    require(named.first().text == text, "a rejection quotes the text held", where + shown(named.first().text));
    require(named.first().reason == (value ? QLatin1String("outside 0 to 255") : QLatin1String("not a number")),
            "a rejection gives the right reason", where + QStringLiteral(", ") + named.first().reason);
    return 1;
}

quint8 seedOf(const SettingsTable::Entry &e)
{
    return static_cast<quint8>(Winkey::toWholeNumber(e.seed).value_or(0));
}

} // namespace

void fuzzOne(const QByteArray &input)
{
    QList<QString> fields;
    for (const QByteArray &part : input.split(char(0xFF)))
        fields << QString::fromUtf8(part);
    for (const QString &field : std::as_const(fields)) {
        checkNumber(field);
        checkMessage(field);
    }

    KeyerSettings s;
    const auto count = qsizetype(std::size(kFields));
    for (qsizetype i = 0; i < count; ++i)
        s.*kFields[i] = i < fields.size() ? fields.at(i) : SettingsTable::entry(kFields[i]).seed;
    s.MinSpeed = Seed::kMinSpeed;
    if (const auto min = Winkey::toWholeNumber(fields.value(count)))
        if (*min >= std::numeric_limits<qint32>::min() && *min <= std::numeric_limits<qint32>::max())
            s.MinSpeed = static_cast<qint32>(*min);

    const quint8 mode = Winkey::modeRegister(s.IambicMode, s.CTSpace, s.AutoSpace, s.PaddleSwap);
    const Winkey::ParameterBlock block = Winkey::parameterBlock(
        mode, SettingsTable::blockParameters(s, Winkey::speedRange(s.MaxSpeed, s.MinSpeed)));
    require(block.bytes.size() == 16 && block.bytes.startsWith(QByteArray("\x0F", 1)) && block.bytes.at(2) == 0,
            "the block is 0F, the mode register, 0 and 13 parameters", QString::fromLatin1(block.bytes.toHex(' ')));
    const auto on = [](const QString &text, int bit) { return Winkey::parseNumber(text) == 1.0 ? bit : 0; };
    const int letter = s.IambicMode == QLatin1String("A") ? 0x10 : s.IambicMode == QLatin1String("U") ? 0x20 : 0;
    const int expectedMode = letter | on(s.CTSpace, 0x01) | on(s.AutoSpace, 0x02) | on(s.PaddleSwap, 0x08);
    require(quint8(block.bytes.at(1)) == mode && mode == expectedMode, "the mode register has the bits of its table",
            QStringLiteral("%1, expected %2").arg(mode, 0, 16).arg(expectedMode, 0, 16));

    qsizetype named = 0;
    for (qsizetype i = 0; i < count; ++i) {
        if (const SettingsTable::Entry &e = SettingsTable::entry(kFields[i]); kBlockBytes[i])
            named += checkByte(block, kBlockBytes[i], e.key, s.*kFields[i], Winkey::parseNumber(s.*kFields[i]), seedOf(e));
    }
    const SettingsTable::Entry &min = SettingsTable::entry(&K::MinSpeed);
    named += checkByte(block, kMinSpeedByte, min.key, QString::number(s.MinSpeed), s.MinSpeed, Seed::kMinSpeed);
    // The speed range, judged on the operator's numbers, not the text between.
    const SettingsTable::Entry &max = SettingsTable::entry(&K::MaxSpeed);
    const std::optional<double> maxValue = Winkey::parseNumber(s.MaxSpeed);
    const quint8 seedRange = seedOf(max) - Seed::kMinSpeed;
    const QString rangeText = Winkey::speedRange(s.MaxSpeed, s.MinSpeed);
    if (!maxValue) {
        named += checkByte(block, kRangeByte, max.key, s.MaxSpeed, std::nullopt, seedRange);
    } else {
        const double range = *maxValue - s.MinSpeed;
        require(Winkey::parseNumber(rangeText) == range, "the range's text reads back as the very difference",
                rangeText + QStringLiteral(" for %1").arg(range, 0, 'g', 17));
        named += checkByte(block, kRangeByte, QStringLiteral("MaxSpeed - MinSpeed"), rangeText, range, seedRange);
    }
    require(block.rejected.size() == named, "nothing else is named as rejected",
            QStringLiteral("%1 named, %2 expected").arg(block.rejected.size()).arg(named));
}
