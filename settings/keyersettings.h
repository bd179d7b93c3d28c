// The keyer parameters and messages, and the runtime values that the
// windows and the link share. They are process-wide on purpose: every
// handler reads and writes them directly, with no accessor layer between.
#pragma once

#include <QString>
#include <QtGlobal>

class SettingsStore;

struct KeyerSettings {
    // Parameters, held as text exactly as stored or typed.
    QString ComPort;
    QString FirstExt;
    QString Pin5Mode;
    QString PTT_Lead;
    QString PTT_Tail;
    QString ToneFreq;
    QString Weight;
    QString KeyComp;
    QString SetPoint;
    QString DDRatio;
    QString PotRange;
    QString AutoSpace;
    QString IambicMode;
    QString PaddleSwap;
    QString CTSpace;
    // Speed settings.
    QString Farnsworth;
    QString MaxSpeed;
    qint32 MinSpeed = 0;
    // The five stored CW messages, held in upper case.
    QString Message1;
    QString Message2;
    QString Message3;
    QString Message4;
    QString Message5;

    // Message n (1 to 5); anything else is a programming error.
    QString &message(int n);
    const QString &message(int n) const;
};

namespace Zavo {

inline KeyerSettings Settings;

// Runtime values, not stored.
inline bool TuneOn = false;
inline bool XoffActive = false;
inline bool Reinit = false;
inline QString EditIndex;
inline qint16 CharIndex = 0;
inline qint16 ModeRegister = 0;
inline QString SpeedRange;

// Resets the record and every runtime value to their start state (tests use this).
void resetProcessState();

// Fills Settings from the store, entry by entry in the store's order. A
// number (the minimum speed) that is missing or not a whole number in range
// gives its seed value; the store keeps its text.
void loadKeyerSettings(SettingsStore &store);

} // namespace Zavo
