// Start-up of the real program: zavokeyer run as a child process against a
// pty chip, headless, with a settings folder of its own. Each round starts
// it twice: a first run that is given the port on the command line and
// seeds the store, then a later start that finds the store in place. A
// start-up counts from the moment the child is started to the
// get-speed-pot byte at the chip, which the program sends just before it
// shows its window; the peak resident set is read from /proc once the
// window is up.
#pragma once

#include "benchoptions.h"
#include "benchreport.h"
#include "keyer/eventwait.h"

#include <QObject>

class PtyChip;

class StartupBench : public QObject
{
    Q_OBJECT
public:
    StartupBench(const BenchOptions &options, BenchReport &report, QObject *parent = nullptr);

    // False when a run failed (the report says why).
    bool run();

private:
    struct Run {
        double startupMs = 0;
        double peakMB = 0;
    };
    bool startOnce(PtyChip &chip, const QString &configHome, Run &run, QString &error);

    const BenchOptions m_options;
    BenchReport &m_report;
    Waker m_waker;
};
