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
    // The same for letters merged into one sign (the chip's 1B command):
    // their elements run on with the 1-dit gaps of one character, and the
    // 3-dit gap comes after the last. Letters without a code add nothing;
    // -1 when none has one. One letter: as dits(char).
    static int dits(const QByteArray &sign);
};
