// The session with the keyer chip: it owns the serial line and is the only
// thing that writes to it. It brings the link up, reads what the chip
// sends, turns the operator's keys into host-mode bytes and keeps them in
// order. It knows nothing of windows: it says what the panels should show
// through signals and asks for a message box or a port through its hooks.
//
// The link is always in exactly one State, and every input (a key, the
// settings Update, a byte from the chip, the adapter going or coming back,
// the program closing) is decided by that state alone: docs/link-states.md
// is the table, and tests/link/tst_linkstates.cpp walks it. No input waits
// inside the link: every wait (the start-up's pauses and replies, a paced
// character's time on the wire, the XOFF hold, Escape's pause) is a state
// with a timer, and each input runs to its end and returns.
//
// Two parts run on their own timers and tell the link through signals: the
// ChipStartUp (keyer/startup.*) runs a start-up's steps and reads the
// chip's replies, while the link opens the port, asks the operator, sends
// the parameter block and decides how the start-up ended; the Pacer
// (keyer/pacer.*) writes a paced message unit by unit and holds it for
// XOFF, while the link decides what is paced and what its end means.
#pragma once

#include "keyer/adapterwatch.h"
#include "keyer/cwdaemon.h"
#include "keyer/loggersession.h"
#include "keyer/pacer.h"
#include "keyer/protocol.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

class ChipStartUp;
class SerialFacility;
class SettingsStore;

// How long each of the link's waits lasts, in ms. Tests shorten them.
struct LinkTimings {
    int reinitPauseMs = 250;   // an Update's pause between close and open
    int openPauseMs = 600;     // after the port opens, before the chip is spoken to
    int calibrateMs = 50;      // between the calibration's two parts
    int blockPauseMs = 250;    // after the parameter block
    int escapePauseMs = 1200;  // Escape's pause
    int replyRecheckMs = 20;   // how often a reply's deadline is looked at
    // How long one unit of a paced message is given on the wire before
    // the next one goes, per byte; unset, a character's time at 1200 baud.
    std::optional<int> characterMs;
};

class KeyerLink : public QObject
{
    Q_OBJECT
public:
    using Timings = LinkTimings;

    // What the link asks of the world outside it; tests replace these.
    struct Hooks {
        // Shows a message box with an OK button and the application's title
        // and returns at once; closed() runs once the operator has closed it.
        std::function<void(const QString &text, std::function<void()> closed)> message;
        // Offers the port chooser and returns at once; chosen() runs with the
        // answer, nullopt when the operator cancels.
        std::function<void(const QString &why, std::function<void(std::optional<QString>)> chosen)> choosePort;
        // Ends the application at once, with no shutdown step.
        std::function<void(int exitCode)> terminate;
        // Local time in seconds since midnight, with fractions.
        std::function<double()> clock;
        Timings timings;
        // Where udev keeps the adapters' stable names; empty, /dev/serial/by-id.
        QString stableNameDir;
    };

    enum class State {
        Down,     // port closed; the adapter is awaited, F12 tries again
        Starting, // a start-up runs, step by step
        Idle,     // up, nothing going out
        Sending,  // a paced message is being written
        Stalled,  // a paced message waits for the chip to say XON
        Paused,   // Escape's pause: input waits until it ends
        Closing,  // the program is ending: nothing more runs
    };
    Q_ENUM(State)

    // The keys press() acts on, and the settings Update, as inputs.
    static constexpr int kSettingsUpdate = -1;

    // How a logger's text that asked for a reply ended.
    enum class TextOutcome {
        Keyed,   // the chip has keyed all of it
        Aborted, // Escape, the paddles, F12 on its stall or a reset took it off the air
        Dropped, // the link went down, or it came while tuned: no reply
    };
    Q_ENUM(TextOutcome)

    // The panel 1 texts of a link that is down; each fits the panel.
    static const QString kLostText;
    static const QString kNoAnswerText;
    static const QString kNoPortText;

    explicit KeyerLink(SettingsStore &store, Hooks hooks = {}, QObject *parent = nullptr);
    ~KeyerLink() override;

    // The steps of a start-up, in order; None when none runs.
    enum class Step {
        None,
        ReinitPause, // an Update's pause with the port closed
        Asking,      // the port would not open: the operator is told and asked
        OpenPause,   // the port is open; the chip is given time
        Calibrate,   // between the calibration's two parts
        Echo,        // the echo test awaits its answer
        Revision,    // host open awaits the firmware revision
        BlockPause,  // the parameter block is with the chip
    };
    Q_ENUM(Step)

    // Starts (re)opening the port, checking the chip and uploading the
    // parameters, and returns at once; started() tells how it ended. Does
    // nothing while a start-up runs or the program is closing.
    void initialise();
    Step step() const;
    void setInSession(bool inSession) { m_inSession = inSession; }

    // One operator key (Qt::Key_Escape, Qt::Key_F1 ... Qt::Key_F6,
    // Qt::Key_F12), or kSettingsUpdate.
    void press(int key);
    // The keys press() acts on.
    static bool handlesKey(int key);
    // The keyer settings were stored: re-initialise with them, in turn.
    void settingsUpdate() { press(kSettingsUpdate); }
    // One request from a network client (the cwdaemon protocol), decided by
    // the state as a key is: text goes out paced in turn with the operator's
    // keys, settings become the chip's commands, an abort is Escape. A tag
    // other than 0 is answered by networkTextEnded. False when refused: the
    // link is down, the chip has nothing for it, the logger's queue is full
    // or the serial line is saturated.
    bool networkRequest(const Cwdaemon::Request &request, quint64 tag = 0);
    // The speed the chip keys text at, as far as the link knows.
    int keyingWpm() const;
    // The program is ending: nothing more runs, a keyed transmitter is keyed
    // up, and the port is closed. Safe to call again, from any state.
    void shutdown();

    State state() const { return m_state; }
    bool isOpen() const;
    // Up: the chip has its parameters and hears the keys.
    bool isUp() const
    {
        return m_state == State::Idle || m_state == State::Sending || m_state == State::Stalled;
    }
    SerialFacility &port() { return *m_port; }

signals:
    // A panel text to show; paintNow when it must reach the screen before
    // a pause that paints nothing else.
    void panelText(int position, const QString &text, bool paintNow);
    // Why the link is down, or what the last start-up could not send, in a
    // few words; the empty text once all is well.
    void linkDetail(const QString &reason);
    // Escape's pause: the operator's input must wait until it ends.
    void pauseStarted();
    void pauseEnded();
    void stateChanged(KeyerLink::State state);
    void stepChanged(KeyerLink::Step step);
    // A start-up has ended: ok when the chip answered (an adapter lost after
    // that is waited for). Not ok before setInSession(true): the application
    // is ending; later the link stays down until F12 or the adapter's return.
    void started(bool ok);
    void networkTextEnded(quint64 tag, KeyerLink::TextOutcome outcome);

private:
    // A network request, as an input in the queue.
    static constexpr int kNetwork = -2;

    struct Action {
        int key = 0;
        QString text; // F1 to F5: the message as it was when pressed
        Cwdaemon::Request request; // kNetwork: what the client asked for
        quint64 tag = 0;
        int cost = 0; // kNetwork: its share of the logger's queue
    };
    // A logger's text on the chip that waits for the chip to finish it.
    struct Awaited {
        quint64 tag = 0;
        bool busySeen = false; // the chip said busy since the text began to go
        bool written = false;  // all of it is with the chip
    };
    // What the paced message going out (Sending) or held by XOFF (Stalled)
    // is for; its units are the pacer's.
    struct Paced {
        QString shown; // panel 1 once all of it is written
        bool network = false;
        quint64 tag = 0;
        bool speedChanged = false; // its speed marks changed the chip's speed
    };

    void setState(State state);
    void enter(State state);
    void submit(Action action);
    void run(const Action &action, bool waited);
    void runQueued();
    void runQueuedLater();
    void dropQueuedKeys();
    void escape();
    void endPause();
    void startPaced(Paced paced, std::vector<Pacer::Unit> units);
    void onPacedHeld(bool first);
    void onPacedWritten(bool keyed);
    void stopPaced();
    void sendPaced(const QString &text);
    void runNetwork(const Action &action);
    void sendNetworkText(const Action &action);
    void endTexts(std::vector<quint64> tags, TextOutcome outcome);
    void endQueuedTexts(const std::deque<Action> &dropped, TextOutcome outcome);
    void endAwaited(TextOutcome outcome);
    void dropQueuedNetworkTexts(TextOutcome outcome);
    void applyStatus(quint8 byte);
    void sendMessage(const QString &text);
    void toggleTune();
    void keyUp();
    void releaseNetworkPtt();
    void reinitialise();
    void onAdapterArrived();

    // The start-up's ends that are the link's: the port, the operator, the
    // block, and how it ended; its steps are the ChipStartUp's.
    void openStep();
    void askForPort(const QString &text, const QString &device);
    void onRevision(quint8 revision);
    void onBlockDone();
    void failedReply(const QString &why);
    void finishStartup(bool ok);
    void reportRejected(const QString &text);
    // A callback for a hook's answer that acts only while the session it
    // was asked in still runs and the link is still there.
    template<typename Act>
    auto forSession(Act act);

    void applyReceived(quint8 byte);
    void onCommEvent(int code);
    void onBytesArrived();
    void onPortLost(const QString &reason);
    void goDown(const QString &text, const QString &reason);
    void setPanel(int position, const QString &text, bool paintNow = false);

    SettingsStore &m_store;
    Hooks m_hooks;
    SerialFacility *m_port = nullptr;
    AdapterWatch m_watch;
    Pacer m_pacer;
    std::unique_ptr<ChipStartUp> m_startUp;

    State m_state = State::Down;
    // Where Escape's pause goes back to when it ends.
    State m_afterPause = State::Idle;
    // Panel 1's text once Escape's pause ends, when something came meanwhile.
    std::optional<QString> m_panelAfterPause;
    // Bumped by every start-up, every way down and the close: a hook's
    // answer acts only on the session it was asked in.
    quint64 m_session = 0;
    QTimer m_pauseTimer; // Escape's pause
    // What the start-up's block could not carry, told once it is done.
    QString m_rejectedText;
    std::optional<Paced> m_paced;
    std::deque<Action> m_queue;
    bool m_runQueuedPosted = false;
    QString m_linkDownText;
    // The device that failed to open, as it was then: only another one is
    // an arrival worth trying.
    std::optional<AdapterWatch::Identity> m_failedDevice;
    // The minimum speed the chip was last given; speed reports count from it.
    std::optional<qint32> m_chipMinSpeed;
    bool m_inSession = false;
    // The start-up running now was begun by the adapter's return: it asks
    // nobody anything.
    bool m_automatic = false;
    QElapsedTimer m_tuneOffAt; // when F6 last wrote a key-up
    bool m_tuneLost = false;   // tuned when the link went down
    // Bumped by every F6 and network tune: a tune's timer only ends its own.
    quint64 m_tuneId = 0;

    // A logger's lease on the chip, and what it waits for.
    LoggerSession m_logger;
    int m_queuedNetworkCost = 0;
    std::optional<int> m_knobWpm;
    int m_knobReads = 0; // knob reads written and not yet answered
    int m_statusReads = 0; // status requests of our own not yet answered
    // Something was going out when the running start-up began: its end
    // asks the chip where it is.
    bool m_askAfterStartUp = false;
    std::vector<Awaited> m_awaited;
    // A logger's text may still be keying in the chip: a close or a
    // re-initialisation clears it. Over once the chip, having said busy
    // since it went, says idle.
    struct {
        bool onChip = false;
        bool busySeen = false;
    } m_loggerText;
};
