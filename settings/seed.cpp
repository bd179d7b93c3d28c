#include "settings/seed.h"

#include "settings/settingsstore.h"

namespace Seed {

const QList<Entry> &table()
{
    // Parameter values are the chip's own power-up defaults, so a first run
    // keys exactly as an unconfigured chip would; only the speed range is
    // chosen (10 to 35 WPM covers most operating).
    static const QList<Entry> kTable = {
        {QStringLiteral("Windows Settings"), QStringLiteral("OnTop"), QStringLiteral("0")},
        {QStringLiteral("Windows Settings"), QStringLiteral("FormTop"), QString::number(kFormTop)},
        {QStringLiteral("Windows Settings"), QStringLiteral("FormLeft"), QString::number(kFormLeft)},
        {QStringLiteral("Parameters"), QStringLiteral("FirstExt"), QStringLiteral("0")},
        {QStringLiteral("Parameters"), QStringLiteral("Pin5Mode"), QStringLiteral("5")},
        {QStringLiteral("Parameters"), QStringLiteral("PTT_Lead"), QStringLiteral("0")},
        {QStringLiteral("Parameters"), QStringLiteral("PTT_Tail"), QStringLiteral("0")},
        {QStringLiteral("Parameters"), QStringLiteral("ToneFreq"), QStringLiteral("5")},
        {QStringLiteral("Parameters"), QStringLiteral("Weight"), QStringLiteral("50")},
        {QStringLiteral("Parameters"), QStringLiteral("KeyComp"), QStringLiteral("0")},
        {QStringLiteral("Parameters"), QStringLiteral("SetPoint"), QStringLiteral("50")},
        {QStringLiteral("Parameters"), QStringLiteral("DDRatio"), QStringLiteral("50")},
        {QStringLiteral("Parameters"), QStringLiteral("PotRange"), QStringLiteral("255")},
        {QStringLiteral("Parameters"), QStringLiteral("AutoSpace"), QStringLiteral("0")},
        {QStringLiteral("Parameters"), QStringLiteral("IambicMode"), QStringLiteral("B")},
        {QStringLiteral("Parameters"), QStringLiteral("PaddleSwap"), QStringLiteral("0")},
        {QStringLiteral("Parameters"), QStringLiteral("CTSpace"), QStringLiteral("0")},
        {QStringLiteral("Speed Settings"), QStringLiteral("Farnsworth"), QStringLiteral("0")},
        {QStringLiteral("Speed Settings"), QStringLiteral("MaxSpeed"), QStringLiteral("35")},
        {QStringLiteral("Speed Settings"), QStringLiteral("MinSpeed"), QString::number(kMinSpeed)},
        {QStringLiteral("Messages"), QStringLiteral("Message1"), QStringLiteral("CQ CQ CQ DE MYCALL MYCALL K")},
        {QStringLiteral("Messages"), QStringLiteral("Message2"), QStringLiteral("5NN TU")},
        {QStringLiteral("Messages"), QStringLiteral("Message3"), QStringLiteral("TU 73 DE MYCALL >")},
        {QStringLiteral("Messages"), QStringLiteral("Message4"), QStringLiteral("QRZ?")},
        {QStringLiteral("Messages"), QStringLiteral("Message5"), QStringLiteral("AGN?")},
    };
    return kTable;
}

QString value(const QString &section, const QString &key)
{
    for (const Entry &entry : table()) {
        if (entry.section == section && entry.key == key)
            return entry.value;
    }
    return {};
}

void seedStore(SettingsStore &store, const QString &comPort)
{
    store.SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"), comPort);
    for (const Entry &entry : table())
        store.SaveSetting(entry.section, entry.key, entry.value);
}

} // namespace Seed
