// The session with the keyer chip: it owns the serial line and is the only
// thing that writes to it. It brings the link up, reads what the chip
// sends, turns the operator's keys into host-mode bytes and keeps them in
// order. It knows nothing of windows: it says what the panels should show
// through signals and asks for a message box or a port through its hooks.
#pragma once

#include "keyer/adapterwatch.h"
#include "keyer/eventwait.h"

#include <QObject>
#include <QString>

#include <deque>
#include <functional>
#include <optional>

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

    // The panel 1 texts of a link that is down; each fits the panel.
    static const QString kLostText;
    static const QString kNoAnswerText;
    static const QString kNoPortText;

    explicit KeyerLink(SettingsStore &store, Hooks hooks = {}, QObject *parent = nullptr);
    ~KeyerLink() override;

    // (Re)opens the port, checks the chip, uploads the parameters. False
    // when the link could not be brought up: before setInSession(true) the
    // application is then ending, later the link stays down until F12.
    bool initialise();
    void setInSession(bool inSession) { m_inSession = inSession; }

    // One operator key (Qt::Key_Escape, Qt::Key_F1 ... Qt::Key_F6,
    // Qt::Key_F12). While message 1 or an initialisation is going out,
    // everything but Escape waits its turn; Escape acts at once and drops
    // whatever waits.
    void press(int key);
    // The keys press() acts on.
    static bool handlesKey(int key);
    // The keyer settings were stored: re-initialise with them, in turn.
    void settingsUpdate();
    // The program is ending: nothing more runs, an unkeyed transmitter is
    // left unkeyed, and the port is closed.
    void shutdown();

    bool isOpen() const;
    // The link is down and the adapter is awaited.
    bool isWaitingForAdapter() const { return m_watch.isWatching(); }
    bool isClosing() const { return m_closing; }
    // Message 1 or an initialisation is going out.
    bool isBusy() const { return m_sending || m_initRunning; }
    SerialFacility &port() { return *m_port; }

signals:
    // A panel text to show; paintNow when it must reach the screen before
    // a pause that paints nothing else.
    void panelText(int position, const QString &text, bool paintNow);
    // Why the link is down in a few words, or the empty text once it is up.
    void linkDetail(const QString &reason);
    // Escape's pause: the operator's input must wait until it ends.
    void pauseStarted();
    void pauseEnded();

private:
    struct Action {
        int key = 0;
        QString text; // message 1's text as it was when F1 was pressed
    };

    void run(const Action &action);
    void runQueued();
    void abortSending();
    void sendMessage1(const QString &text);
    void sendMessage(int n);
    void toggleTune();
    void reinitialise(bool fromUpdate);
    void onAdapterArrived();

    bool openPort();
    std::optional<quint8> awaitReply(std::optional<quint8> wanted = std::nullopt);
    bool failedReply();
    void applyReceived(quint8 byte);
    void onCommEvent(int code);
    void onPortLost(const QString &reason);
    void linkDown(const QString &text, const QString &reason);
    bool linkIsDown();
    void setPanel(int position, const QString &text, bool paintNow = false);
    void sleep(int ms);

    SettingsStore &m_store;
    Hooks m_hooks;
    SerialFacility *m_port = nullptr;
    Waker m_waker;
    AdapterWatch m_watch;

    std::deque<Action> m_queue;
    QString m_linkDownText;
    // The minimum speed the chip was last given; speed reports count from it.
    std::optional<qint32> m_chipMinSpeed;
    quint64 m_generation = 0; // bumped by Escape and a lost link
    bool m_inSession = false;
    bool m_initRunning = false;
    bool m_sending = false;
    bool m_draining = false;
    bool m_closing = false;
    // An attempt the link makes by itself: it never asks the operator.
    bool m_automatic = false;
};
