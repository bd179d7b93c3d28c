// How one simulated chip behaves: what it answers and how fast it keys.
// A plain value handed to ChipModel; the command line fills it.
#pragma once

#include <QByteArray>

struct ChipOptions {
    static constexpr int kDefaultRevision = 23;
    static constexpr int kDefaultPot = 15;
    static constexpr int kDefaultBufferSize = 128;

    int revision = kDefaultRevision;
    int pot = kDefaultPot;
    int bufferSize = kDefaultBufferSize;
    // A chip that answers nothing at all, not even status bytes.
    bool silent = false;
    // Every character keyed at once, without Morse timing.
    bool fast = false;
    // Above 0: every character takes exactly this long, whatever the speed.
    int charMs = 0;
    // Sent right before every echo and revision answer, in the same write.
    QByteArray replyPrefix;
};
