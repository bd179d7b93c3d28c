// The benchmark's end of zavobench-slowdisk (slowdisk.cpp): the settings a
// child process needs to load it, and the calls it logged, counted over a
// stretch of time.
#pragma once

#include <QProcessEnvironment>
#include <QString>
#include <QTemporaryDir>

class SyncLog
{
public:
    // The delay every fsync gets, in microseconds (0: the disk as it is).
    explicit SyncLog(int delayUs);

    bool isValid() const { return m_dir.isValid(); }
    int delayUs() const { return m_delayUs; }
    // The environment plus what loads the shim with this log and delay.
    QProcessEnvironment environment(QProcessEnvironment base) const;

    struct Counts {
        int syncs = 0;   // fsync and fdatasync
        int renames = 0;
        qint64 lastNs = 0; // when the last of them returned; 0: none
        int otherSyncs = 0; // of anything else in the same time
    };
    // The calls on anything in the folder that returned after fromNs and
    // not after toNs (CLOCK_MONOTONIC); the folder's own sync included.
    Counts between(qint64 fromNs, qint64 toNs, const QString &folder) const;

    // How the rows name the disk.
    QString diskText() const;

private:
    QTemporaryDir m_dir;
    QString m_path;
    int m_delayUs;
};
