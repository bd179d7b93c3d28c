// Start-up of the real program: zavokeyer run as a child process against a
// pty chip, headless, with a settings folder of its own. Each round starts
// it twice: a first run that is given the port on the command line and
// seeds the store, then a later start that finds the store in place. A
// start-up counts from the moment the child is started to the
// get-speed-pot byte at the chip, which the program sends just before it
// shows its window; the peak resident set is read from /proc once the
// window is up. The rounds run twice: on the disk as it is, and with every
// fsync made 20 ms late (zavobench-slowdisk), which also counts the syncs
// and renames of the start-up and of the close that ends each start.
#pragma once

#include "benchoptions.h"
#include "benchreport.h"
#include "benchwait.h"

#include <QObject>

class PtyChip;
class SyncLog;

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
        int startSyncs = 0;
        int startRenames = 0;
        int closeSyncs = 0;
        int closeRenames = 0;
    };
    bool startOnce(PtyChip &chip, const QString &configHome, const SyncLog &log, Run &run, QString &error);
    bool runRounds(const SyncLog &log);

    const BenchOptions m_options;
    BenchReport &m_report;
    Waker m_waker;
};
