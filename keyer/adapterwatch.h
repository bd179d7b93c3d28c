// Waits for a keyer adapter that went away to come back. A USB adapter that
// is pulled out and plugged in again often gets the next free device name
// (/dev/ttyUSB0 becomes /dev/ttyUSB1 while the old one is still held), but
// udev gives it a stable name under /dev/serial/by-id that follows it. The
// watch notes that name when the link opens, and while the link is down it
// looks every half second for the device to arrive, under its stable name
// or the configured one. It costs a few stat() calls a second and no
// descriptor; an arrival is reported once it has stood for one look, so
// that udev has set the node's permissions before anyone opens it.
#pragma once

#include <QDeadlineTimer>
#include <QObject>
#include <QString>
#include <QTimer>

#include <optional>

class AdapterWatch : public QObject
{
    Q_OBJECT
public:
    static constexpr int kLookMs = 500;

    explicit AdapterWatch(QString stableNameDir = QStringLiteral("/dev/serial/by-id"),
                          QObject *parent = nullptr);

    // The link opened `device` for the configured port: note its stable
    // name, if it has one.
    void noteOpened(const QString &configured, const QString &device);
    // The device to open for the configured port: where the stable name
    // noted for it points now, or else the configured device.
    QString deviceFor(const QString &configured, const QString &configuredDevice) const;
    QString stableName() const { return m_stableName; }

    // What tells one arrival from the next: the node's (and a link's) inode
    // and device number change when the adapter comes back.
    struct Identity {
        QString path;
        quint64 inode = 0;
        quint64 device = 0;
        quint64 linkInode = 0;
        bool operator==(const Identity &) const = default;
    };
    // The device the configured port leads to now, if any.
    std::optional<Identity> identityNow(const QString &configured, const QString &configuredDevice) const;

    // Starts looking. `failed` is the device that has just failed or gone
    // (nullopt: none stood there), so only another arrival counts.
    void start(const QString &configured, const QString &configuredDevice,
               std::optional<Identity> failed);
    void stop();
    bool isWatching() const { return m_timer.isActive(); }
    // An attempt on an arrival failed: wait for the next one. A transient
    // refusal (udev not done with the permissions yet, a modem prober
    // holding the port) is tried again once a second for kRetryMs.
    void attemptFailed(bool transient = false);
    static constexpr int kRetryMs = 10000;

signals:
    // A new device stands where the adapter was: time to try it.
    void arrived();

private:
    std::optional<Identity> identityOf(const QString &path) const;
    QString candidate() const;
    void look();

    QString m_stableNameDir;
    QString m_stableName;
    QString m_stableFor; // the configured port the stable name belongs to
    QString m_configured;
    QString m_configuredDevice;
    std::optional<Identity> m_failed;
    std::optional<Identity> m_seen;
    QDeadlineTimer m_retryUntil{QDeadlineTimer::Forever};
    bool m_retrying = false;
    QTimer m_timer;
};
