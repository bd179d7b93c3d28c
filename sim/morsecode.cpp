// Morse table. The chip reads a few punctuation marks as prosigns: those
// take the prosign's pattern, not the punctuation mark's.
#include "morsecode.h"

#include <QHash>

namespace {

const QHash<char, QByteArray> &table()
{
    static const QHash<char, QByteArray> kTable = {
        { 'A', ".-" },
        { 'B', "-..." },
        { 'C', "-.-." },
        { 'D', "-.." },
        { 'E', "." },
        { 'F', "..-." },
        { 'G', "--." },
        { 'H', "...." },
        { 'I', ".." },
        { 'J', ".---" },
        { 'K', "-.-" },
        { 'L', ".-.." },
        { 'M', "--" },
        { 'N', "-." },
        { 'O', "---" },
        { 'P', ".--." },
        { 'Q', "--.-" },
        { 'R', ".-." },
        { 'S', "..." },
        { 'T', "-" },
        { 'U', "..-" },
        { 'V', "...-" },
        { 'W', ".--" },
        { 'X', "-..-" },
        { 'Y', "-.--" },
        { 'Z', "--.." },
        { '0', "-----" },
        { '1', ".----" },
        { '2', "..---" },
        { '3', "...--" },
        { '4', "....-" },
        { '5', "....." },
        { '6', "-...." },
        { '7', "--..." },
        { '8', "---.." },
        { '9', "----." },
        { '.', ".-.-.-" },
        { ',', "--..--" },
        { '?', "..--.." },
        { '\'', ".----." },
        { '!', "-.-.--" },
        { '(', "-.--." },
        { ')', "-.--.-" },
        { '&', ".-..." },
        { ';', "-.-.-." },
        { '+', ".-.-." },
        { '-', "-....-" },
        { '_', "..--.-" },
        { '"', ".-..-." },
        { '$', "...-..-" },
        // Prosigns: AR, SK, KN, AC, BT, DN.
        { '<', ".-.-." },
        { '>', "...-.-" },
        { ':', "-.--." },
        { '@', ".--.-." },
        { '=', "-...-" },
        { '/', "-..-." },
    };
    return kTable;
}

constexpr int kCharacterGap = 3;

// Dits of a character with these elements: a dit or a dah each, a dit
// between them, the character gap after.
int ditsOf(const QByteArray &code)
{
    int total = int(code.size()) - 1 + kCharacterGap;
    for (const char element : code)
        total += element == '-' ? 3 : 1;
    return total;
}

} // namespace

QByteArray MorseCode::elements(char c)
{
    const char upper = (c >= 'a' && c <= 'z') ? char(c - 'a' + 'A') : c;
    return table().value(upper);
}

int MorseCode::dits(char c)
{
    constexpr int kWordExtra = 4;
    if (c == ' ')
        return kWordExtra;
    const QByteArray code = elements(c);
    return code.isEmpty() ? -1 : ditsOf(code);
}

int MorseCode::dits(const QByteArray &sign)
{
    if (sign.size() == 1)
        return dits(sign.at(0));
    QByteArray code;
    for (const char c : sign)
        code += elements(c);
    return code.isEmpty() ? -1 : ditsOf(code);
}
