#include "cpumeter.h"

#include "ptychip.h"

#include <QFile>
#include <QString>

#include <sys/resource.h>

double CpuMeter::processCpuMs()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    auto ms = [](const timeval &tv) { return tv.tv_sec * 1000.0 + tv.tv_usec / 1000.0; };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

void CpuMeter::start()
{
    m_wallStartNs = PtyChip::nowNs();
    m_cpuStart = processCpuMs();
}

void CpuMeter::stop()
{
    m_cpuMs = processCpuMs() - m_cpuStart;
    m_wallMs = double(PtyChip::nowNs() - m_wallStartNs) / 1e6;
}

double CpuMeter::peakResidentMB(pid_t pid)
{
    QFile status(QStringLiteral("/proc/%1/status").arg(pid));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith("VmHWM:")) {
            bool ok = false;
            const double kb = line.mid(6).trimmed().split(' ').value(0).toDouble(&ok);
            return ok ? kb * 1024.0 / 1e6 : -1;
        }
    }
    return -1;
}
