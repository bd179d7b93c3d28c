// Processor time over wall time for a stretch of the benchmark, and the
// peak resident set of a process. Processor time is the whole process's
// (every thread: the window's, the pty listener's, Qt's own), so a figure
// here is never flattered by work moved to another thread.
#pragma once

#include <QtGlobal>

#include <sys/types.h>

class CpuMeter
{
public:
    void start();
    void stop();
    // Processor time used between start and stop, in ms.
    double cpuMs() const { return m_cpuMs; }
    double wallMs() const { return m_wallMs; }
    // Processor use as a percentage of one core.
    double percentOfCore() const { return m_wallMs > 0 ? 100.0 * m_cpuMs / m_wallMs : 0.0; }

    // Peak resident set (VmHWM) of a process in MB (10^6 bytes), or -1 when
    // it cannot be read.
    static double peakResidentMB(pid_t pid);
    static double processCpuMs();

private:
    double m_cpuStart = 0;
    qint64 m_wallStartNs = 0;
    double m_cpuMs = 0;
    double m_wallMs = 0;
};
