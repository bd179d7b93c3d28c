// The steps of one start-up of the chip session, from the port being open
// to the parameter block being with the chip: the calibration, the echo
// test, host open and the pause after the block, each a step with a timer
// or a reply's deadline. It writes those steps' bytes and reads the chip's
// answers; what the answers lead to (the block, the panels, a link that goes
// down, the operator being asked) is the link's, told through the signals.
#pragma once

#include "keyer/keyerlink.h"
#include "keyer/protocol.h"

#include <QObject>
#include <QTimer>

#include <functional>
#include <optional>

class SerialFacility;

class ChipStartUp : public QObject
{
    Q_OBJECT
public:
    using Step = KeyerLink::Step;

    // clock: local time in seconds since midnight, as the link's hook.
    ChipStartUp(SerialFacility &port, const LinkTimings &timings, std::function<double()> clock,
                QObject *parent = nullptr);

    Step step() const { return m_step; }
    // The chip has answered this start-up's echo test.
    bool chipAnswered() const { return m_chipAnswered; }

    // A new start-up: no chip has answered it yet.
    void begin();
    // An Update's pause with the port closed; openDue() ends it.
    void pauseBeforeOpen();
    // The port would not open and the operator is being asked.
    void ask();
    // The port is open: the chip is given time, then calibrated and tested.
    void portOpened();
    // The parameter block is written: the chip is given time to take it.
    void blockWritten();
    // Bytes came from the chip: an awaited reply may be among them.
    void bytesArrived();
    // The start-up is over, whichever way: nothing of it runs any more.
    void end();

signals:
    void stepChanged(KeyerLink::Step step);
    // The pause before the port opens is over.
    void openDue();
    // A byte the chip sends unasked (a status, a speed report) came while
    // a reply was awaited; it is never the answer.
    void unsolicited(quint8 byte);
    // Host open was answered with the chip's firmware revision.
    void revision(quint8 revision);
    // The echo test or host open went unanswered, or what came back was
    // our own command: no chip on this line.
    void noReply();
    // The pause after the block is over.
    void blockDone();

private:
    void setStep(Step step);
    void startStep(Step step, int ms);
    void onStepTimer();
    void startReplyWait(Step step);
    void checkReply();
    void onEcho();

    SerialFacility &m_port;
    const LinkTimings m_timings;
    const std::function<double()> m_clock;
    Step m_step = Step::None;
    QTimer m_stepTimer;  // the pauses
    QTimer m_replyTimer; // looks at a reply's deadline
    std::optional<Winkey::DeadlineClock> m_replyDeadline;
    bool m_chipAnswered = false;
};
