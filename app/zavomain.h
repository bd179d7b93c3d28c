// The main window: six buttons above a three-panel status bar. It owns the
// keyer link and maps the operator's keys, clicks and right presses to the
// link's calls and to the dialogs; the link tells it what to show.
#pragma once

#include "app/keyrepeat.h"
#include "keyer/keyerlink.h"

#include <QPointer>
#include <QWidget>

#include <array>
#include <memory>
#include <vector>

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
    using Hooks = KeyerLink::Hooks;

    explicit ZavoMain(SettingsStore &store, Hooks hooks = {}, QWidget *parent = nullptr);
    ~ZavoMain() override;

    // The load handler: placement, settings, and the link's start-up, which
    // goes on in the event loop; ready() says when the window may be shown.
    // False when the application is ending (the settings cannot be used).
    bool load();
    // The link's first start-up has brought it up: the session begins.
    bool isReady() const { return m_ready; }

    // Starts (re)opening the link and uploading the parameters.
    void Winkey_Init();
    static void AlwaysOnTop(QWidget &frm, bool bOnTop);
    // The program is ending without the window's close, by an exit() from
    // anywhere (Qt's own when the X server goes away): the live window's
    // link still keys up and closes the port.
    static void shutdownLinkAtExit();

    KeyerLink &link() { return m_link; }
    SerialFacility &port() { return m_link.port(); }
    StatusPanels &statusBar() { return *m_statusBar; }
    QString panelText(int position) const;

    // The help file the status panel opens.
    QString helpFile() const { return m_helpFile; }

signals:
    void panelTextChanged(int position, const QString &text);
    void ready();

protected:
    void keyPressEvent(QKeyEvent *event) override;
    void closeEvent(QCloseEvent *event) override;
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void buildLayout();
    void wireUp();
    void placeWindow();
    void reportStoreAtStartUp();
    void setPanel(int position, const QString &text, bool paintNow);
    void replayHeldInput();
    bool isKeyRepeat(const QKeyEvent *event) const;

    // Controls and dialogs.
    void clickButton(int key);
    // 1 to 5 for a message button, 0 for anything else.
    int messageButton(const QObject *object) const;
    void onPanelClicked(const QString &key);
    void showEditor(int n);
    void showAbout();
    void showSettings();
    void showHelp();

    SettingsStore &m_store;
    Hooks m_hooks;
    KeyerLink m_link;
    StatusPanels *m_statusBar = nullptr;
    std::array<QPushButton *, 5> m_msg{};

    QPointer<Speed> m_speed;
    QPointer<EditMsg> m_editor;
    QPointer<frmAbout> m_about;
    QPointer<QTextBrowser> m_help;
    QString m_helpFile;

    bool m_closing = false;
    bool m_ready = false;
    // While Escape's pause lasts, the operator's input waits here.
    struct HeldEvent {
        QPointer<QObject> receiver;
        std::unique_ptr<QEvent> event;
    };
    std::vector<HeldEvent> m_held;
    bool m_holding = false;
    KeyRepeatFilter m_repeats;
};
