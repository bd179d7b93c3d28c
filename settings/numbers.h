// Texts to numbers, the one way the whole program reads a number that an
// operator typed or a settings file holds: decimal only, in the C locale
// whatever the user's locale is, halves rounded to the even neighbour.
#pragma once

#include <QStringView>

#include <optional>

namespace Winkey {

// The decimal value of a text: blanks around it allowed, an optional sign
// and fraction. Nothing else (no hex, no exponent, no inner blanks).
std::optional<double> parseNumber(QStringView text);
// Rounds to the nearest whole number, halves to the even one.
double roundHalfEven(double value);
// parseNumber, then roundHalfEven; nullopt for no number or one beyond 64 bits.
std::optional<qint64> toWholeNumber(QStringView text);
// The loose numeric value used for switches: the number, or 0 when there is none.
double numericValue(QStringView text);

} // namespace Winkey
