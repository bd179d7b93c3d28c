// Files for the settings-store fault tests: a store as a first run seeds
// it, reading and writing whole files, the check that a file changed in
// nothing but the lines the program may write, and a file size limit that
// makes writes fail without privileges.
#pragma once

#include "settings/seed.h"
#include "settings/settingsstore.h"

#include <QFile>
#include <QList>
#include <QStringList>
#include <QTemporaryDir>

#include <csignal>
#include <sys/resource.h>

inline QByteArray readBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

inline bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(bytes) == bytes.size();
}

// The bytes of a store that a first run seeded with this port.
inline QByteArray seededFile(const QString &port)
{
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("seed.conf"));
    {
        SettingsStore store(path);
        Seed::seedStore(store, port);
    }
    return readBytes(path);
}

inline QList<QByteArray> linesOf(const QByteArray &bytes)
{
    QByteArray text = bytes;
    text.replace("\r\n", "\n");
    return text.split('\n');
}

// Whether `after` is `before` but for lines that start with one of the
// allowed beginnings (changed, added or gone) and blank lines added between
// sections. Says what is wrong otherwise.
inline bool changedOnly(const QByteArray &before, const QByteArray &after, const QList<QByteArray> &allowed,
                        QString *why)
{
    const auto others = [&allowed](const QByteArray &bytes) {
        QList<QByteArray> kept;
        for (const QByteArray &line : linesOf(bytes)) {
            bool isAllowed = line.isEmpty();
            for (const QByteArray &start : allowed)
                isAllowed = isAllowed || line.startsWith(start);
            if (!isAllowed)
                kept << line;
        }
        return kept;
    };
    const QList<QByteArray> old = others(before);
    const QList<QByteArray> now = others(after);
    for (qsizetype i = 0; i < std::max(old.size(), now.size()); ++i) {
        const QByteArray was = i < old.size() ? old.at(i) : QByteArray("(none)");
        const QByteArray is = i < now.size() ? now.at(i) : QByteArray("(none)");
        if (was != is) {
            *why = QStringLiteral("\"%1\" became \"%2\"").arg(QString::fromUtf8(was), QString::fromUtf8(is));
            return false;
        }
    }
    return true;
}

// Lowers this process's file size limit while it lives: a write that would
// take a file past `bytes` fails with EFBIG (SIGXFSZ is ignored meanwhile,
// as the program ignores it) instead of ending the process.
class FileSizeLimit
{
public:
    explicit FileSizeLimit(qint64 bytes)
    {
        if (::getrlimit(RLIMIT_FSIZE, &m_old) != 0)
            return;
        rlimit limit = m_old;
        limit.rlim_cur = rlim_t(bytes);
        m_handler = std::signal(SIGXFSZ, SIG_IGN);
        m_active = ::setrlimit(RLIMIT_FSIZE, &limit) == 0;
    }
    ~FileSizeLimit()
    {
        if (m_active)
            ::setrlimit(RLIMIT_FSIZE, &m_old);
        if (m_handler != SIG_ERR)
            std::signal(SIGXFSZ, m_handler);
    }
    FileSizeLimit(const FileSizeLimit &) = delete;
    FileSizeLimit &operator=(const FileSizeLimit &) = delete;

    bool isActive() const { return m_active; }

private:
    rlimit m_old {};
    void (*m_handler)(int) = SIG_ERR;
    bool m_active = false;
};
