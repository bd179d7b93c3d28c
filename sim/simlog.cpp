// Log lines "<t> <kind> <text>".
#include "simlog.h"

#include <time.h>

double SimLog::nowMs()
{
    timespec ts {};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1.0e6;
}

bool SimLog::open(const QString &path, QString *error)
{
    if (path.isEmpty())
        return true;
    m_file.setFileName(path);
    // Unbuffered: each line reaches the file in a single write() call, so a
    // reader never sees half a line other than the one being written.
    if (!m_file.open(QIODevice::WriteOnly | QIODevice::Truncate | QIODevice::Unbuffered)) {
        *error = QStringLiteral("cannot write the log %1: %2").arg(path, m_file.errorString());
        return false;
    }
    return true;
}

void SimLog::write(double t, const QString &kind, const QString &text)
{
    if (!m_file.isOpen())
        return;
    const QString line = QString::asprintf("%.3f ", t) + kind + QLatin1Char(' ') + text + QLatin1Char('\n');
    m_file.write(line.toUtf8());
}
