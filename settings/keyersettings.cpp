#include "settings/keyersettings.h"

#include "settings/numbers.h"
#include "settings/settingsstore.h"
#include "settings/settingstable.h"

#include <limits>

QString &KeyerSettings::message(int n)
{
    switch (n) {
    case 1: return Message1;
    case 2: return Message2;
    case 3: return Message3;
    case 4: return Message4;
    case 5: return Message5;
    }
    Q_UNREACHABLE();
}

const QString &KeyerSettings::message(int n) const
{
    return const_cast<KeyerSettings *>(this)->message(n);
}

namespace Zavo {

void resetProcessState()
{
    Settings = KeyerSettings{};
    TuneOn = false;
    XoffActive = false;
    Reinit = false;
    EditIndex.clear();
    CharIndex = 0;
    ModeRegister = 0;
    SpeedRange.clear();
}

void loadKeyerSettings(SettingsStore &store)
{
    for (const SettingsTable::Entry &entry : SettingsTable::entries()) {
        if (!entry.inRecord())
            continue;
        const QString stored = store.GetSetting(entry.section, entry.key);
        if (entry.text) {
            Settings.*entry.text = stored;
            continue;
        }
        auto number = Winkey::toWholeNumber(stored);
        if (!number || *number < std::numeric_limits<qint32>::min()
            || *number > std::numeric_limits<qint32>::max())
            number = Winkey::toWholeNumber(entry.seed);
        Settings.*entry.number = static_cast<qint32>(number.value_or(0));
    }
    // The chip keys capitals only: the record holds the messages so, the
    // store keeps them as they were written.
    for (int n = 1; n <= 5; ++n)
        Settings.message(n) = Settings.message(n).toUpper();
}

} // namespace Zavo
