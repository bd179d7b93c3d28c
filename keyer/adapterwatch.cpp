#include "keyer/adapterwatch.h"

#include <QDir>
#include <QFileInfo>

#include <sys/stat.h>

AdapterWatch::AdapterWatch(QString stableNameDir, QObject *parent)
    : QObject(parent)
    , m_stableNameDir(std::move(stableNameDir))
{
    m_timer.setInterval(kLookMs);
    connect(&m_timer, &QTimer::timeout, this, &AdapterWatch::look);
}

void AdapterWatch::noteOpened(const QString &configured, const QString &device)
{
    const QString opened = QFileInfo(device).canonicalFilePath();
    // The stable name noted for this port is kept while it still points at
    // the device: the link may have been opened through it.
    if (m_stableFor == configured && !m_stableName.isEmpty()
        && QFileInfo(m_stableName).canonicalFilePath() == opened) {
        return;
    }
    m_stableName.clear();
    m_stableFor = configured;
    if (opened.isEmpty())
        return;
    const QDir dir(m_stableNameDir);
    for (const QFileInfo &entry : dir.entryInfoList(QDir::System | QDir::Files | QDir::NoDotAndDotDot)) {
        if (entry.isSymLink() && entry.canonicalFilePath() == opened) {
            m_stableName = entry.absoluteFilePath();
            return;
        }
    }
}

QString AdapterWatch::deviceFor(const QString &configured, const QString &configuredDevice) const
{
    if (configured == m_stableFor && !m_stableName.isEmpty()) {
        const QString target = QFileInfo(m_stableName).canonicalFilePath();
        if (!target.isEmpty())
            return target;
    }
    return configuredDevice;
}

std::optional<AdapterWatch::Identity> AdapterWatch::identityOf(const QString &path) const
{
    const QByteArray name = QFile::encodeName(path);
    struct stat node = {};
    struct stat link = {};
    if (path.isEmpty() || ::stat(name.constData(), &node) != 0 || ::lstat(name.constData(), &link) != 0)
        return std::nullopt;
    return Identity{QFileInfo(path).canonicalFilePath(), quint64(node.st_ino), quint64(node.st_rdev),
                    quint64(link.st_ino)};
}

QString AdapterWatch::candidate() const
{
    return deviceFor(m_configured, m_configuredDevice);
}

std::optional<AdapterWatch::Identity> AdapterWatch::identityNow(const QString &configured,
                                                                const QString &configuredDevice) const
{
    return identityOf(deviceFor(configured, configuredDevice));
}

void AdapterWatch::start(const QString &configured, const QString &configuredDevice,
                         std::optional<Identity> failed)
{
    m_configured = configured;
    m_configuredDevice = configuredDevice;
    m_failed = std::move(failed);
    m_seen.reset();
    m_retrying = false;
    m_timer.start();
}

void AdapterWatch::stop()
{
    m_timer.stop();
    m_seen.reset();
}

void AdapterWatch::attemptFailed(bool transient)
{
    if (transient && !m_retrying) {
        m_retrying = true;
        m_retryUntil.setRemainingTime(kRetryMs);
    }
    if (transient && !m_retryUntil.hasExpired()) {
        // Seen again after one more look: one attempt a second, no storm.
        m_seen.reset();
        return;
    }
    m_retrying = false;
    m_failed = m_seen;
}

void AdapterWatch::look()
{
    const QString path = candidate();
    const auto now = identityOf(path);
    if (!now) {
        // Gone: whatever comes next is a new arrival.
        m_failed.reset();
        m_seen.reset();
        m_retrying = false;
        return;
    }
    if (now == m_failed)
        return;
    if (now != m_seen) {
        m_seen = now;
        return;
    }
    emit arrived();
}
