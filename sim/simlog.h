// The simulator's log: one line per read, write or event, written straight
// through so that a test reading the file sees every line as it happens.
// Times are CLOCK_MONOTONIC in milliseconds, the clock QElapsedTimer uses
// on Linux, so tests can compare their own timestamps with ours.
#pragma once

#include <QFile>
#include <QString>

class SimLog
{
public:
    static double nowMs();

    // Without a path the log stays closed and every line is dropped.
    bool open(const QString &path, QString *error);
    void write(double t, const QString &kind, const QString &text);

private:
    QFile m_file;
};
