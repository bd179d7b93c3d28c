// Writes a paced message to the chip one unit at a time: each unit (a
// character, or a command with its argument bytes) goes to the port whole
// and is given its time on the wire before the next one goes, so that an
// XOFF the chip sends for it is seen first. While the chip says XOFF the
// message holds until resume(). The pacer knows what goes out, not why:
// what the message is for, and the link's states, are the link's.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QTimer>

#include <optional>
#include <vector>

class SerialFacility;

class Pacer : public QObject
{
    Q_OBJECT
public:
    struct Unit {
        QByteArray bytes;     // empty: nothing the chip can key, nothing to pace
        qint16 charIndex = 0; // message 1's position, 0 for none
        bool keyed = false;   // a character the chip keys, not a speed mark
    };

    // characterMs: one byte's time on the wire as the pacing reckons it.
    Pacer(SerialFacility &port, int characterMs, QObject *parent = nullptr);

    // Takes a message and writes its first unit, or holds at once when the
    // chip already says XOFF. Whatever was going out before is dropped.
    void start(std::vector<Unit> units);
    // The chip said XON: a held message goes on.
    void resume();
    // What the message had left goes no more.
    void stop();
    bool isActive() const { return m_units.has_value(); }
    bool isHeld() const { return m_held; }

signals:
    // A unit with a position in message 1 is about to go.
    void unitReached(qint16 charIndex);
    // The message holds for XOFF; first when no unit of it has gone yet.
    void held(bool first);
    // All of the message is with the chip; keyed when any unit of it is
    // something the chip keys. The pacer is idle again when this comes.
    void finished(bool keyed);

private:
    void onUnitTime();
    // Holds while the chip says XOFF; true when it does.
    bool holdsForXoff(bool first);
    void writeNext();

    SerialFacility &m_port;
    const int m_characterMs;
    QTimer m_unitTimer; // a unit's time on the wire
    std::optional<std::vector<Unit>> m_units;
    std::size_t m_next = 0;
    bool m_held = false;
};
