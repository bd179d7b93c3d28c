// The international Morse code as the chip keys it, with the chip's prosign
// characters, and the length of each character in dits.
#pragma once

#include <QByteArray>

class MorseCode
{
public:
    // Dots and dashes of one character ("." and "-"); letters in either
    // case. Empty for a blank and for a character the chip does not know.
    static QByteArray elements(char c);
    // How long the character occupies the key line, in dits, including the
    // 3-dit gap that follows every character; a blank adds 4 to make the
    // 7-dit word gap. -1 for a character the chip skips.
    static int dits(char c);
};
