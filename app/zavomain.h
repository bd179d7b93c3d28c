// The main window: six buttons above a three-panel status bar. It owns the
// serial link to the chip, initialises it, reads what the chip sends and
// turns the operator's keys into host-mode bytes.
#pragma once

#include "keyer/eventwait.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>
#include <functional>
#include <optional>

class EditMsg;
class QPushButton;
class QTextBrowser;
class SerialFacility;
class SettingsStore;
class Speed;
class StatusPanels;
class frmAbout;

class ZavoMain : public QWidget
{
    Q_OBJECT
public:
    // What the window asks of the world outside it; tests replace these.
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
        // the next one goes, in ms; unset, its time at 1200 baud. (A
        // simulator on a pseudo-terminal needs none.)
        std::optional<int> characterMs;
    };

    explicit ZavoMain(SettingsStore &store, Hooks hooks = {}, QWidget *parent = nullptr);
    ~ZavoMain() override;

    // The load handler: placement, settings, link. False when the
    // application is ending (the window must then not be shown).
    bool load();

    // (Re)opens the link and uploads the parameters. False when the link
    // could not be brought up: at start-up the application is then ending;
    // later (F12, a settings update) the window stays with the link down.
    bool Winkey_Init();
    static void AlwaysOnTop(QWidget &frm, bool bOnTop);

    SerialFacility &port() { return *m_port; }
    StatusPanels &statusBar() { return *m_statusBar; }
    QString panelText(int position) const;
    QString RxValue;

    // The help file the status panel opens.
    QString helpFile() const { return m_helpFile; }

signals:
    void panelTextChanged(int position, const QString &text);

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildLayout();
    void wireUp();
    void placeWindow();
    void setPanel(int position, const QString &text, bool paintNow = false);

    // Link.
    bool openPort();
    std::optional<quint8> awaitReply(std::optional<quint8> wanted = std::nullopt);
    void applyReceived(quint8 byte);
    void onCommEvent(int code);
    void onPortLost(const QString &reason);
    void noResponse();
    // The link is down until F12 brings it back: panel 1 says why.
    void linkDown(const QString &text);
    bool linkIsDown();
    void reportStoreAtStartUp();

    // Keys.
    bool handleKeyDown(int key);
    void abortSending();
    void sendMessage1();
    void sendMessage(int n);
    void toggleTune();
    void reinitialise();
    bool sendAborted(quint64 generation) const;

    // Controls and dialogs.
    void clickButton(int key);
    // 1 to 5 for a message button, 0 for anything else.
    int messageButton(const QObject *object) const;
    void onPanelClicked(const QString &key);
    void showEditor(int n);
    void showAbout();
    void showSettings();
    void showHelp();
    void runSettingsUpdate();
    void blockingSleep(int ms);
    void holdFor(int ms);

    SettingsStore &m_store;
    Hooks m_hooks;
    SerialFacility *m_port = nullptr;
    StatusPanels *m_statusBar = nullptr;
    std::array<QPushButton *, 5> m_msg{};
    QPushButton *m_tune = nullptr;
    Waker m_waker;

    QPointer<Speed> m_speed;
    QPointer<EditMsg> m_editor;
    QPointer<frmAbout> m_about;
    QPointer<QTextBrowser> m_help;
    QString m_helpFile;

    // What panel 1 says while the link is down.
    QString m_linkDownText;

    bool m_closing = false;
    // While Escape holds the window, the operator's input waits here.
    struct HeldEvent {
        QPointer<QObject> receiver;
        std::unique_ptr<QEvent> event;
    };
    std::vector<HeldEvent> m_held;
    bool m_holding = false;
    // load() has brought the link up once: from now on a failing link
    // leaves the window open instead of ending the application.
    bool m_inSession = false;
    bool m_initRunning = false;
    bool m_f1Busy = false;
    int m_f1Pending = 0;
    quint64 m_abortGeneration = 0;
};
