// The per-user settings store: text values addressed by section and key
// under the one application name. A missing key reads as the empty text.
#pragma once

#include <QString>

#include <functional>
#include <memory>

class QSettings;

class SettingsStore
{
public:
    static constexpr char kApplication[] = "Vardel Zavo Keyer";

    // The operator's own store: on Linux "$XDG_CONFIG_HOME/Vardel Zavo Keyer.conf";
    // on Windows the registry key that earlier releases used.
    SettingsStore();
    // A store in an INI file of the caller's choosing (same format as on Linux).
    explicit SettingsStore(const QString &iniPath);
    ~SettingsStore();

    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    QString GetSetting(const QString &section, const QString &key) const;
    // Writes and flushes at once. Returns false when the store could not be
    // written; the first such failure is passed to the error reporter.
    bool SaveSetting(const QString &section, const QString &key, const QString &value);

    // True when anything at all is stored (the first run finds nothing).
    bool exists() const;
    // The file (or registry path) behind the store, for messages.
    QString location() const;

    void setErrorReporter(std::function<void(const QString &message)> reporter);

private:
    std::unique_ptr<QSettings> m_settings;
    std::function<void(const QString &)> m_reporter;
    bool m_reported = false;
};
