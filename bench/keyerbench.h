// The measures taken inside the benchmark's own process: the real main
// window, driven by key events posted to it, talking over a real
// pseudo-terminal to the benchmark's minimal chip. Key-to-wire times,
// processor use while waiting (idle, XOFF held) and under a soak of
// presses, and the peak resident set after start-up and after the soak.
#pragma once

#include "benchoptions.h"
#include "benchreport.h"
#include "cpumeter.h"
#include "benchwait.h"
#include "ptychip.h"
#include "samples.h"

#include <QObject>
#include <QTemporaryDir>
#include <QTimer>

#include <functional>
#include <optional>
#include <memory>

class SettingsStore;
class ZavoMain;

class KeyerBench : public QObject
{
    Q_OBJECT
public:
    KeyerBench(const BenchOptions &options, BenchReport &report, QObject *parent = nullptr);
    ~KeyerBench() override;

    // Takes every in-process measure into the report; false when one could
    // not be taken (the report says which and why).
    bool run();

private:
    bool bringUp();
    void wireUp();
    // Waits for the bytes kPressTimeoutMs, and holdMs more for a press that
    // meets a hold on purpose.
    bool press(int key, qint64 textBytes, bool untilMessageOneEnds, qint64 *pressedNs, int holdMs = 0);
    bool measureKeyToWire();
    // Presses F2 this many times, adding each whole message's time to the wire.
    // F2 pressed again and again; writes, when given, gets each press's
    // time to the link's first write (stamped into *writtenNs).
    bool timeMessageTwo(int presses, Samples &whole, qint64 *writtenNs = nullptr, Samples *writes = nullptr);
    // F12 on this port, until the link is up and idle.
    bool startUpOn(const QString &port);
    bool measureRemoteKeyToWire();
    bool measureEventLoopGaps();
    // The longest a 5 ms timer went without ticking from act() until done().
    std::optional<double> longestGap(const std::function<void()> &act, const std::function<bool()> &done);
    bool measureIdle();
    bool measureXoffHold();
    bool measureBusyWaitHold();
    bool measureSoak();
    bool waitFor(const std::function<bool()> &done, int timeoutMs);

    // Slots.
    void onPanelTextChanged(int position, const QString &text);
    void countWakeUp() { ++m_wakeUps; }
    void startHold();
    void endHold();
    void pressDuringSoak();

    const BenchOptions m_options;
    BenchReport &m_report;
    PtyChip m_chip;
    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<ZavoMain> m_window;
    Waker m_waker;

    Samples m_directMessageTwo;   // F2's times on the direct pty, to set the remote ones against
    int m_messageOneEnds = 0;     // times panel 1 showed message 1 as sent
    int m_programMessages = 0;    // message boxes the window wanted to show
    qint64 m_wakeUps = 0;         // event-loop wake-ups, all along

    // An XOFF hold: armed, then started by the XOFF text (or by hand for
    // the busy-wait), ended by m_holdTimer.
    bool m_holdArmed = false;
    bool m_holdEnded = false;
    CpuMeter m_holdMeter;
    qint64 m_holdWakeUps = 0;
    QTimer m_holdTimer;

    QTimer m_soakPacer;
    qint64 m_soakEndNs = 0;
    int m_soakPresses = 0;
};
