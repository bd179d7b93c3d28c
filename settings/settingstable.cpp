#include "settings/settingstable.h"

#include "settings/numbers.h"
#include "settings/seed.h"

#include <algorithm>
#include <type_traits>

namespace SettingsTable {

namespace {

using K = KeyerSettings;

std::span<const Entry> table()
{
    const QString windows = QStringLiteral("Windows Settings");
    const QString parameters = QStringLiteral("Parameters");
    const QString speed = QStringLiteral("Speed Settings");
    const QString messages = QStringLiteral("Messages");
    const QString place = QStringLiteral("the window position");
    const QString keyer = QStringLiteral("the keyer settings");
    const QString none;

    // Parameter seeds are the chip's own power-up defaults, so a first run
    // keys exactly as an unconfigured chip would; only the speed range is
    // chosen (10 to 35 WPM covers most operating). The messages fit the
    // editor's 32 characters and are printable ASCII, all the chip keys.
    // Update column: the settings window writes the speeds first, then the
    // parameters it edits, then the three list choices and the rest.
    static const Entry kTable[] = {
        // section, key, text field, number field, seed, Update, block byte, what
        {windows, QStringLiteral("OnTop"), nullptr, nullptr, QStringLiteral("0"), 0, 0, none},
        {windows, QStringLiteral("FormTop"), nullptr, nullptr, QString::number(Seed::kFormTop), 0, 0, place},
        {windows, QStringLiteral("FormLeft"), nullptr, nullptr, QString::number(Seed::kFormLeft), 0, 0, place},
        {parameters, QStringLiteral("ComPort"), &K::ComPort, nullptr, none, 0, 0, QStringLiteral("the serial port")},
        {parameters, QStringLiteral("FirstExt"), &K::FirstExt, nullptr, QStringLiteral("0"), 16, 10, keyer},
        {parameters, QStringLiteral("Pin5Mode"), &K::Pin5Mode, nullptr, QStringLiteral("5"), 17, 15, keyer},
        {parameters, QStringLiteral("PTT_Lead"), &K::PTT_Lead, nullptr, QStringLiteral("0"), 6, 6, keyer},
        {parameters, QStringLiteral("PTT_Tail"), &K::PTT_Tail, nullptr, QStringLiteral("0"), 7, 7, keyer},
        {parameters, QStringLiteral("ToneFreq"), &K::ToneFreq, nullptr, QStringLiteral("5"), 15, 4, keyer},
        {parameters, QStringLiteral("Weight"), &K::Weight, nullptr, QStringLiteral("50"), 5, 5, keyer},
        {parameters, QStringLiteral("KeyComp"), &K::KeyComp, nullptr, QStringLiteral("0"), 8, 11, keyer},
        {parameters, QStringLiteral("SetPoint"), &K::SetPoint, nullptr, QStringLiteral("50"), 9, 13, keyer},
        {parameters, QStringLiteral("DDRatio"), &K::DDRatio, nullptr, QStringLiteral("50"), 4, 14, keyer},
        {parameters, QStringLiteral("PotRange"), &K::PotRange, nullptr, QStringLiteral("255"), 13, 16, keyer},
        {parameters, QStringLiteral("AutoSpace"), &K::AutoSpace, nullptr, QStringLiteral("0"), 10, 0, keyer},
        {parameters, QStringLiteral("IambicMode"), &K::IambicMode, nullptr, QStringLiteral("B"), 14, 0, keyer},
        {parameters, QStringLiteral("PaddleSwap"), &K::PaddleSwap, nullptr, QStringLiteral("0"), 12, 0, keyer},
        {parameters, QStringLiteral("CTSpace"), &K::CTSpace, nullptr, QStringLiteral("0"), 11, 0, keyer},
        {speed, QStringLiteral("Farnsworth"), &K::Farnsworth, nullptr, QStringLiteral("0"), 3, 12, keyer},
        // Byte 9 is the speed range: MaxSpeed less MinSpeed.
        {speed, QStringLiteral("MaxSpeed"), &K::MaxSpeed, nullptr, QStringLiteral("35"), 2, 9, keyer},
        {speed, QStringLiteral("MinSpeed"), nullptr, &K::MinSpeed, QString::number(Seed::kMinSpeed), 1, 8, keyer},
        {messages, QStringLiteral("Message1"), &K::Message1, nullptr, QStringLiteral("CQ CQ CQ DE MYCALL MYCALL K"), 0, 0,
         QStringLiteral("message 1")},
        {messages, QStringLiteral("Message2"), &K::Message2, nullptr, QStringLiteral("5NN TU"), 0, 0,
         QStringLiteral("message 2")},
        {messages, QStringLiteral("Message3"), &K::Message3, nullptr, QStringLiteral("TU 73 DE MYCALL >"), 0, 0,
         QStringLiteral("message 3")},
        {messages, QStringLiteral("Message4"), &K::Message4, nullptr, QStringLiteral("QRZ?"), 0, 0,
         QStringLiteral("message 4")},
        {messages, QStringLiteral("Message5"), &K::Message5, nullptr, QStringLiteral("AGN?"), 0, 0,
         QStringLiteral("message 5")},
    };
    return kTable;
}

template<typename Field>
const Entry &entryOf(Field field)
{
    for (const Entry &e : table()) {
        if constexpr (std::is_same_v<Field, QString KeyerSettings::*>) {
            if (e.text == field)
                return e;
        } else {
            if (e.number == field)
                return e;
        }
    }
    Q_UNREACHABLE();
}

} // namespace

QString Entry::storeText(const KeyerSettings &settings) const
{
    if (text)
        return settings.*text;
    if (number)
        return QString::number(settings.*number);
    return {};
}

std::span<const Entry> entries()
{
    return table();
}

const Entry &entry(QString KeyerSettings::*field)
{
    return entryOf(field);
}

const Entry &entry(qint32 KeyerSettings::*field)
{
    return entryOf(field);
}

const Entry &window(Window which)
{
    // The table begins with them, in this order.
    return table()[static_cast<std::size_t>(which)];
}

const Entry &message(int n)
{
    static constexpr QString KeyerSettings::*kFields[] = {
        &K::Message1, &K::Message2, &K::Message3, &K::Message4, &K::Message5,
    };
    Q_ASSERT(n >= 1 && n <= 5);
    return entry(kFields[n - 1]);
}

const Entry *find(const QString &section, const QString &key)
{
    for (const Entry &e : table()) {
        if (e.section == section && e.key == key)
            return &e;
    }
    return nullptr;
}

QList<const Entry *> updateOrder()
{
    QList<const Entry *> order;
    for (const Entry &e : table()) {
        if (e.updateOrder != 0)
            order.append(&e);
    }
    std::sort(order.begin(), order.end(),
              [](const Entry *a, const Entry *b) { return a->updateOrder < b->updateOrder; });
    return order;
}

QList<BlockParameter> blockParameters(const KeyerSettings &settings, const QString &speedRange)
{
    QList<const Entry *> bytes;
    for (const Entry &e : table()) {
        if (e.blockByte != 0)
            bytes.append(&e);
    }
    std::sort(bytes.begin(), bytes.end(),
              [](const Entry *a, const Entry *b) { return a->blockByte < b->blockByte; });

    const Entry &maxSpeed = entry(&KeyerSettings::MaxSpeed);
    const Entry &minSpeed = entry(&KeyerSettings::MinSpeed);
    const QString seedRange = QString::number(Winkey::toWholeNumber(maxSpeed.seed).value_or(0)
                                              - Winkey::toWholeNumber(minSpeed.seed).value_or(0));
    QList<BlockParameter> parameters;
    parameters.reserve(bytes.size());
    for (const Entry *e : bytes) {
        if (e != &maxSpeed)
            parameters.append({e->key, e->storeText(settings), e->seed});
        else if (speedRange.isEmpty())
            parameters.append({e->key, settings.MaxSpeed, seedRange});
        else
            parameters.append({QStringLiteral("MaxSpeed - MinSpeed"), speedRange, seedRange});
    }
    return parameters;
}

} // namespace SettingsTable
