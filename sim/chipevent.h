// Something the simulated chip did besides sending bytes: a character keyed
// (or two merged letters keyed as one sign), the tune key going down or up,
// or a note for the log.
#pragma once

#include <QString>

struct ChipEvent {
    enum class Kind { Keyed, Tune, Note };

    // On the caller's clock, in milliseconds.
    double t = 0;
    Kind kind = Kind::Note;
    // Keyed: the character, or both merged letters; Tune: "on" or "off";
    // Note: a few words.
    QString text;
    // Keyed: the speed the character is keyed at, in WPM; 0 otherwise.
    int wpm = 0;
};
