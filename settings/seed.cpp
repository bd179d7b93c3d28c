#include "settings/seed.h"

#include "settings/settingsstore.h"
#include "settings/settingstable.h"

namespace Seed {

QString value(const QString &section, const QString &key)
{
    const SettingsTable::Entry *entry = SettingsTable::find(section, key);
    return entry ? entry->seed : QString();
}

void seedStore(SettingsStore &store, const QString &comPort)
{
    // One file or none: a first run cut short must not leave a store that
    // the next start takes for a whole one.
    SettingsStore::Batch batch(store);
    const SettingsTable::Entry &port = SettingsTable::entry(&KeyerSettings::ComPort);
    store.SaveSetting(port.section, port.key, comPort);
    for (const SettingsTable::Entry &entry : SettingsTable::entries()) {
        if (!entry.seed.isEmpty())
            store.SaveSetting(entry.section, entry.key, entry.seed);
    }
}

} // namespace Seed
