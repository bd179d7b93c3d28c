#include "settings/settingsstore.h"

#include <QFileInfo>
#include <QSettings>
#include <QStringList>

SettingsStore::SettingsStore()
{
#ifdef Q_OS_WIN
    // Keep reading the registry key that the stores of earlier releases live in.
    m_settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("VB and VBA Program Settings"),
                                             QString::fromLatin1(kApplication));
#else
    m_settings = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QString::fromLatin1(kApplication));
#endif
}

SettingsStore::SettingsStore(const QString &iniPath)
    : m_settings(std::make_unique<QSettings>(iniPath, QSettings::IniFormat))
{
}

SettingsStore::~SettingsStore() = default;

QString SettingsStore::GetSetting(const QString &section, const QString &key) const
{
    const QVariant value = m_settings->value(section + QLatin1Char('/') + key);
    // A text with an unquoted comma, typed into the file by hand, comes back
    // as a list; give the operator's text back rather than nothing.
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    return value.toString();
}

bool SettingsStore::SaveSetting(const QString &section, const QString &key, const QString &value)
{
    m_settings->setValue(section + QLatin1Char('/') + key, value);
    m_settings->sync();
    if (m_settings->status() == QSettings::NoError)
        return true;
    if (!m_reported && m_reporter) {
        m_reported = true;
        const QString reason = m_settings->status() == QSettings::AccessError
            ? QStringLiteral("it cannot be written (permission denied or read-only)")
            : QStringLiteral("its contents are not in the expected format");
        m_reporter(QStringLiteral("The settings could not be saved to %1: %2.\n"
                                  "Zavo Keyer goes on with the values it holds.")
                       .arg(location(), reason));
    }
    return false;
}

bool SettingsStore::exists() const
{
#ifdef Q_OS_WIN
    return !m_settings->allKeys().isEmpty();
#else
    return QFileInfo::exists(m_settings->fileName());
#endif
}

QString SettingsStore::location() const
{
    return m_settings->fileName();
}

void SettingsStore::setErrorReporter(std::function<void(const QString &)> reporter)
{
    m_reporter = std::move(reporter);
}
