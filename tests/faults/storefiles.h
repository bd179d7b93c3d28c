// Whole files for the settings-store tests, and a file size limit that
// makes writes fail without privileges.
#pragma once

#include "settings/seed.h"
#include "settings/settingsstore.h"

#include <QFile>
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

// While it lives, a write past `bytes` fails with EFBIG instead of ending
// the process (SIGXFSZ is ignored, as the program ignores it).
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
