// A logger's session with the chip: turns a logger's requests into the
// chip's commands and keeps the logger's lease on the speed, the PTT and the
// values a reset goes back to (the operator's own, from the last parameter
// block). It writes nothing itself: the link writes what it returns, in
// turn with the operator's keys.
#pragma once

#include "keyer/cwdaemon.h"

#include <QByteArray>
#include <QList>

#include <vector>

class LoggerSession
{
public:
    // One unit of a logger's text: a character, merged letters, or a
    // buffered speed change between two characters.
    struct TextUnit {
        QByteArray bytes;
        bool keyed = false; // something the chip keys, not a speed mark
    };

    // The block just uploaded: the operator's values stand again, and
    // whatever the logger had changed is gone with it.
    void startOver(const QByteArray &block);
    // The link went down: the next start-up uploads the block anew.
    // A PTT the logger keyed may have stayed on in a chip that kept its
    // power: the next start-up releases it (pttOffOnReturn()).
    void end();
    bool isReady() const;

    // The commands a setting (speed, weighting, tone, PTT, PTT delay,
    // reset) becomes, each a unit of its own, in order; empty when the
    // request changes nothing on the chip.
    QList<QByteArray> commands(const Cwdaemon::Request &request);
    // A text's units: a buffered speed of wpm first, then its characters,
    // its '+' and '-' as buffered speed changes from wpm; speedChanged says
    // that the text's end must cancel them (always, for the first).
    std::vector<TextUnit> textUnits(const QByteArray &keys, int wpm, bool &speedChanged) const;

    // The speed the logger set; 0 while the knob sets it.
    int wpm() const { return m_wpm; }
    // The operator turned the knob: it sets the speed again. The command
    // that hands it back, or nothing when the knob had it already.
    QByteArray knobTurned();
    // The PTT off that releases the logger's PTT, or nothing when it is not
    // keyed; afterwards it counts as released.
    QByteArray releasePtt();
    // The chip's buffer was cleared: its PTT off may have gone with it, so
    // one follows once the logger has keyed PTT since the last clear.
    QByteArray pttOffAfterClear();
    // The chip's PTT off command.
    static QByteArray pttOff();
    // After a start-up that followed a loss with the logger's PTT keyed:
    // the PTT off, once; otherwise nothing.
    QByteArray pttOffOnReturn();

private:
    QByteArray m_block;
    int m_wpm = 0;
    bool m_ptt = false;
    bool m_pttKeyed = false; // since the last clear or start-up
    bool m_sidetoneSilenced = false;
    bool m_pttSinceStart = false; // keyed since the last start-up
    bool m_pttLost = false;       // so when the link went down
};
