// The session with the keyer chip: it owns the serial line and is the only
// thing that writes to it. It brings the link up, reads what the chip
// sends, turns the operator's keys into host-mode bytes and keeps them in
// order. It knows nothing of windows: it says what the panels should show
// through signals and asks for a message box or a port through its hooks.
//
// The link is always in exactly one State, and every input (a key, the
// settings Update, a byte from the chip, the adapter going or coming back,
// the program closing) is decided by that state alone: docs/link-states.md
// is the table, and tests/link/tst_linkstates.cpp walks it.
#pragma once

#include "keyer/adapterwatch.h"
#include "keyer/cwdaemon.h"
#include "keyer/eventwait.h"

#include <QElapsedTimer>
#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <optional>
#include <vector>

class SerialFacility;
class SettingsStore;

class KeyerLink : public QObject
{
    Q_OBJECT
public:
    // What the link asks of the world outside it; tests replace these.
    struct Hooks {
        // A modal message box with an OK button and the application's title.
        std::function<void(const QString &text)> message;
        // Offers the port chooser; nullopt when the operator cancels.
        std::function<std::optional<QString>(const QString &why)> choosePort;
        // Ends the application at once, with no shutdown step.
        std::function<void(int exitCode)> terminate;
        // Local time in seconds since midnight, with fractions.
        std::function<double()> clock;
        // How long one character of message 1 is given on the wire before
        // the next one goes, in ms; unset, its time at 1200 baud.
        std::optional<int> characterMs;
        // Where udev keeps the adapters' stable names; empty, /dev/serial/by-id.
        QString stableNameDir;
    };

    enum class State {
        Down,     // port closed; the adapter is awaited, F12 tries again
        Starting, // an initialisation runs (its waits let input in)
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
        Aborted, // Escape (or the paddles) took it off the air
        Dropped, // the link went down or a reset dropped it: no reply
    };
    Q_ENUM(TextOutcome)

    // The panel 1 texts of a link that is down; each fits the panel.
    static const QString kLostText;
    static const QString kNoAnswerText;
    static const QString kNoPortText;

    explicit KeyerLink(SettingsStore &store, Hooks hooks = {}, QObject *parent = nullptr);
    ~KeyerLink() override;

    // (Re)opens the port, checks the chip, uploads the parameters. False
    // when no chip answered: before setInSession(true) the application is
    // then ending, later the link stays down until F12 or the adapter's
    // return. An adapter lost after the chip answered is waited for.
    bool initialise();
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
    void networkTextEnded(quint64 tag, KeyerLink::TextOutcome outcome);

private:
    // A network request, as an input in the queue.
    static constexpr int kNetwork = -2;

    struct Action {
        int key = 0;
        QString text; // the text a paced message goes out with
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

    void setState(State state);
    void submit(Action action);
    void run(const Action &action);
    void runQueued();
    void dropQueuedKeys();
    void escape();
    bool pace(qsizetype count, const std::function<QByteArray(qsizetype &index)> &unit);
    void sendPaced(const QString &text);
    void runNetwork(const Action &action);
    void sendNetworkText(const Action &action);
    void endTexts(std::vector<quint64> tags, TextOutcome outcome);
    void endQueuedTexts(const std::deque<Action> &dropped, TextOutcome outcome);
    void endAwaited(TextOutcome outcome);
    void dropQueuedNetworkTexts(TextOutcome outcome);
    void applyStatus(quint8 byte);
    void sendMessage(int n);
    void toggleTune();
    void keyUp();
    void releaseNetworkPtt();
    void reinitialise();
    void onAdapterArrived();

    bool bringUp();
    bool openPort();
    std::optional<quint8> awaitReply(std::optional<quint8> wanted = std::nullopt);
    bool failedReply(const QString &why);
    void reportRejected(const QString &text);
    void applyReceived(quint8 byte);
    void onCommEvent(int code);
    void onPortLost(const QString &reason);
    void goDown(const QString &text, const QString &reason);
    void setPanel(int position, const QString &text, bool paintNow = false);
    void sleep(int ms);

    SettingsStore &m_store;
    Hooks m_hooks;
    SerialFacility *m_port = nullptr;
    Waker m_waker;
    AdapterWatch m_watch;

    State m_state = State::Down;
    // Where Escape's pause goes back to when it ends.
    State m_afterPause = State::Idle;
    std::deque<Action> m_queue;
    QString m_linkDownText;
    // The device that failed to open, as it was then: only another one is
    // an arrival worth trying.
    std::optional<AdapterWatch::Identity> m_failedDevice;
    // The minimum speed the chip was last given; speed reports count from it.
    std::optional<qint32> m_chipMinSpeed;
    // Bumped whenever what is going out must stop: Escape, F12 on a stalled
    // message, a lost link. A paced send checks it after every wait.
    quint64 m_generation = 0;
    bool m_inSession = false;
    // The start-up running now was begun by the adapter's return: it asks
    // nobody anything.
    bool m_automatic = false;
    bool m_draining = false;
    QElapsedTimer m_tuneOffAt; // when F6 last wrote a key-up
    // Bumped by every F6 and network tune: a tune's timer only ends its own.
    quint64 m_tuneId = 0;

    // What a network client has changed for a while, and what it waits for.
    // The last block sent: the operator's own values a reset goes back to.
    QByteArray m_block;
    int m_queuedNetworkCost = 0;
    int m_networkWpm = 0; // 0: the knob sets the speed
    std::optional<int> m_knobWpm;
    int m_knobReads = 0; // knob reads written and not yet answered
    bool m_networkPtt = false;
    bool m_sidetoneSilenced = false;
    bool m_sendingNetworkText = false;
    std::vector<Awaited> m_awaited;
};
