#include "synclog.h"

#include <QFile>

SyncLog::SyncLog(int delayUs)
    : m_path(m_dir.filePath(QStringLiteral("sync.log")))
    , m_delayUs(delayUs)
{
}

QProcessEnvironment SyncLog::environment(QProcessEnvironment base) const
{
    base.insert(QStringLiteral("LD_PRELOAD"), QStringLiteral(ZAVO_SLOWDISK_PATH));
    base.insert(QStringLiteral("ZAVO_BENCH_SYNC_LOG"), m_path);
    base.insert(QStringLiteral("ZAVO_BENCH_SYNC_DELAY_US"), QString::number(m_delayUs));
    return base;
}

SyncLog::Counts SyncLog::between(qint64 fromNs, qint64 toNs, const QString &folder) const
{
    Counts counts;
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly))
        return counts;
    const QByteArray where = QFile::encodeName(folder);
    for (const QByteArray &line : file.readAll().split('\n')) {
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() < 3)
            continue;
        const qint64 ns = fields.at(1).toLongLong();
        const QByteArray path = line.mid(fields.at(0).size() + fields.at(1).size() + 2);
        const QByteArray &call = fields.first();
        if (ns <= fromNs || ns > toNs)
            continue;
        if (path != where && !path.startsWith(where + '/')) {
            counts.otherSyncs += call == "rename" ? 0 : 1;
            continue;
        }
        if (call == "rename")
            ++counts.renames;
        else
            ++counts.syncs;
        counts.lastNs = qMax(counts.lastNs, ns);
    }
    return counts;
}

QString SyncLog::diskText() const
{
    return m_delayUs == 0 ? QStringLiteral("disk as it is")
                          : QStringLiteral("every fsync %1 ms late").arg(m_delayUs / 1000);
}
