// The adapter pulled out and plugged in again, against the chip simulator
// on a pseudo-terminal: the processor use while the link waits for the
// adapter, and the time from the replug to "Winkey Online".
#pragma once

#include "benchoptions.h"
#include "benchreport.h"

#include <QProcess>
#include <QTemporaryDir>

class ReconnectBench
{
public:
    ReconnectBench(const BenchOptions &options, BenchReport &report);
    ~ReconnectBench();
    void run();

private:
    bool command(const QString &line, const QString &event);

    const BenchOptions &m_options;
    BenchReport &m_report;
    QTemporaryDir m_dir;
    QProcess m_sim;
};
