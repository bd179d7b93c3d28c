#include "benchreport.h"

#include <QFile>
#include <QStringList>
#include <QSysInfo>
#include <QtGlobal>

#include <unistd.h>

namespace {

QString cpuModel()
{
    QFile cpuinfo(QStringLiteral("/proc/cpuinfo"));
    if (cpuinfo.open(QIODevice::ReadOnly)) {
        for (const QByteArray &line : cpuinfo.readAll().split('\n')) {
            if (line.startsWith("model name"))
                return QString::fromLocal8Bit(line.mid(line.indexOf(':') + 1).trimmed());
        }
    }
    return QStringLiteral("unknown processor");
}

QString loadAverage()
{
    QFile file(QStringLiteral("/proc/loadavg"));
    if (!file.open(QIODevice::ReadOnly))
        return QStringLiteral("?");
    const QList<QByteArray> parts = file.readAll().split(' ');
    return QString::fromLatin1(parts.mid(0, 3).join(' '));
}

} // namespace

void BenchReport::addRow(const QString &measure, const QString &result, const QString &goal, Verdict verdict)
{
    m_rows.append({measure, result, goal, verdict});
}

QString BenchReport::machine()
{
    return QStringLiteral("%1, %2 cores online, load average %3; %4 %5; Qt %6 (built against %7)")
        .arg(cpuModel())
        .arg(sysconf(_SC_NPROCESSORS_ONLN))
        .arg(loadAverage(), QSysInfo::kernelType(), QSysInfo::kernelVersion(),
             QString::fromLatin1(qVersion()), QStringLiteral(QT_VERSION_STR));
}

QString BenchReport::markdown(const QString &title) const
{
    QStringList out;
    out << QStringLiteral("### %1").arg(title) << QString();
    out << QStringLiteral("| measure | result | goal | |") << QStringLiteral("|---|---|---|---|");
    for (const Row &row : m_rows) {
        const QString mark = row.verdict == Verdict::Met      ? QStringLiteral("met")
                             : row.verdict == Verdict::Missed ? QStringLiteral("**missed**")
                                                              : QString();
        out << QStringLiteral("| %1 | %2 | %3 | %4 |").arg(row.measure, row.result, row.goal, mark);
    }
    if (!m_notes.isEmpty()) {
        out << QString();
        for (const QString &note : m_notes)
            out << QStringLiteral("- %1").arg(note);
    }
    if (!m_failures.isEmpty()) {
        out << QString() << QStringLiteral("Not measured:");
        for (const QString &failure : m_failures)
            out << QStringLiteral("- %1").arg(failure);
    }
    return out.join(QLatin1Char('\n')) + QLatin1Char('\n');
}
