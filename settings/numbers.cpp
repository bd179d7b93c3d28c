#include "settings/numbers.h"

#include <QRegularExpression>

#include <clocale>
#include <cmath>
#include <cstdlib>

namespace Winkey {

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

} // namespace Winkey
