#include "settings/keyersettings.h"

#include "keyer/protocol.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"

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
    const QString params = QStringLiteral("Parameters");
    Settings.ComPort = store.GetSetting(params, QStringLiteral("ComPort"));
    Settings.FirstExt = store.GetSetting(params, QStringLiteral("FirstExt"));
    Settings.Pin5Mode = store.GetSetting(params, QStringLiteral("Pin5Mode"));
    Settings.PTT_Lead = store.GetSetting(params, QStringLiteral("PTT_Lead"));
    Settings.PTT_Tail = store.GetSetting(params, QStringLiteral("PTT_Tail"));
    Settings.ToneFreq = store.GetSetting(params, QStringLiteral("ToneFreq"));
    Settings.Weight = store.GetSetting(params, QStringLiteral("Weight"));
    Settings.KeyComp = store.GetSetting(params, QStringLiteral("KeyComp"));
    Settings.SetPoint = store.GetSetting(params, QStringLiteral("SetPoint"));
    Settings.DDRatio = store.GetSetting(params, QStringLiteral("DDRatio"));
    Settings.PotRange = store.GetSetting(params, QStringLiteral("PotRange"));
    Settings.AutoSpace = store.GetSetting(params, QStringLiteral("AutoSpace"));
    Settings.IambicMode = store.GetSetting(params, QStringLiteral("IambicMode"));
    Settings.PaddleSwap = store.GetSetting(params, QStringLiteral("PaddleSwap"));
    Settings.CTSpace = store.GetSetting(params, QStringLiteral("CTSpace"));

    const QString speed = QStringLiteral("Speed Settings");
    Settings.Farnsworth = store.GetSetting(speed, QStringLiteral("Farnsworth"));
    Settings.MaxSpeed = store.GetSetting(speed, QStringLiteral("MaxSpeed"));
    const auto minSpeed = Winkey::toWholeNumber(store.GetSetting(speed, QStringLiteral("MinSpeed")));
    if (minSpeed && *minSpeed >= std::numeric_limits<qint32>::min()
        && *minSpeed <= std::numeric_limits<qint32>::max()) {
        Settings.MinSpeed = static_cast<qint32>(*minSpeed);
    } else {
        Settings.MinSpeed = Seed::kMinSpeed;
    }

    const QString messages = QStringLiteral("Messages");
    for (int n = 1; n <= 5; ++n)
        Settings.message(n) = store.GetSetting(messages, QStringLiteral("Message%1").arg(n)).toUpper();
}

} // namespace Zavo
