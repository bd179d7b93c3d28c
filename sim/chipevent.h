// Something the simulated chip did besides sending bytes: a character keyed,
// the tune key going down or up, or a note for the log.
#pragma once

#include <QString>

struct ChipEvent {
    enum class Kind { Keyed, Tune, Note };

    // On the caller's clock, in milliseconds.
    double t = 0;
    Kind kind = Kind::Note;
    // Keyed: the character; Tune: "on" or "off"; Note: a few words.
    QString text;
};
