// The cwdaemon network protocol, which Linux loggers (tlf, cqrlog, xlog)
// key CW through, as pure functions: a datagram in, a request out, and the
// chip bytes a request maps to. Nothing here touches a socket or the port.
//
// One datagram is one request: text to key, or ESC (0x1B) followed by a
// request letter or digit and its value.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>

#include <optional>

namespace Cwdaemon {

inline constexpr quint16 kDefaultPort = 6789;
// cwdaemon reads at most this much of a datagram; we refuse a longer one
// whole rather than key a clipped call sign.
inline constexpr qsizetype kMaxDatagram = 256;
// The logger's text that may wait for the chip, in characters, as cwdaemon.
inline constexpr qsizetype kMaxQueued = 4000;
// In a text, '+' and '-' change the speed by this much from there on.
inline constexpr int kSpeedStep = 2;
// What the chip can be given as a speed from the network.
inline constexpr int kMinWpm = 5;
inline constexpr int kMaxWpm = 60;

enum class Kind {
    Text,         // keys text up to a '^', which asks for it back
    Reset,        // ESC0: the operator's own settings back, the logger's queue dropped
    Speed,        // ESC2 wpm
    Tone,         // ESC3 Hz, 0 silences
    Abort,        // ESC4: as the operator's Escape
    Exit,         // ESC5: never honoured
    WordMode,     // ESC6
    Weighting,    // ESC7 -50..50
    Device,       // ESC8: never honoured (a client must not pick our port)
    Port,         // ESC9: obsolete
    Ptt,          // ESCa 0|1
    SsbWay,       // ESCb
    Tune,         // ESCc seconds, at most 10
    PttDelay,     // ESCd ms, clipped to 50
    BandSwitch,   // ESCe
    SoundSystem,  // ESCf
    Volume,       // ESCg
    ReplyRequest, // ESCh text: reply "h"+text when the next text has been keyed
    Invalid,      // empty, too long, unknown request or a bad value: ignored
};

struct Request {
    Kind kind = Kind::Invalid;
    // The request's number (speed, Hz, weighting, 0/1, seconds, ms), in range.
    int value = 0;
    // Text: what the chip keys (see keysFor); ReplyRequest: the reply's text.
    QByteArray text;
    // Text only: the datagram had a '^', so the text before it (all that
    // is keyed) is the reply.
    bool replyWhenKeyed = false;
    // Text only: what panel 1 shows while it goes out.
    QString shown;
    // Text only: the text before the '^' as it came (the reply to a '^').
    QByteArray sent;
};

// Reads one datagram, up to its first NUL. Never fails: what cannot be
// honoured is Invalid.
Request parse(QByteArrayView datagram);

// A text's keys for the chip: upper case, trailing CR and LF dropped, a line
// break inside as a word gap, cwdaemon's prosign characters as the chip's
// own (or merged letters), '+' and '-' kept as speed marks (kSpeedUp and
// kSpeedDown), everything the chip cannot key left out.
inline constexpr char kSpeedUp = '+';
inline constexpr char kSpeedDown = '-';
// The chip's merge-letters command: it and the next two letters are one sign.
inline constexpr char kMergeLetters = 0x1B;
QByteArray keysFor(QByteArrayView text);
// The text as the operator reads it in panel 1: upper case, on one line,
// without the speed marks and what cannot be keyed.
QString shownFor(QByteArrayView text);

// The chip's values for the request values, or nullopt when the chip has none.
// Weighting -50..50 onto the chip's 10..90 (0 is its 50).
std::optional<quint8> chipWeighting(int weighting);
// The chip's sidetone byte for a tone in Hz (not 0): the nearest of its ten
// pitches (4000 Hz divided by 1..10), keeping the stored byte's top bit
// (sidetone on paddles only).
std::optional<quint8> chipSidetone(int hz, quint8 stored);
// PTT lead-in in the chip's 10 ms steps.
quint8 chipLeadIn(int ms);

// The replies a client gets once the chip has keyed its text: "h" and the
// ESCh request's text, or the text itself when it ended in '^'; "break"
// when an abort took it off the air first.
QByteArray requestedReply(QByteArrayView requestText);
QByteArray echoReply(QByteArrayView text);
QByteArray abortedReply();

} // namespace Cwdaemon
