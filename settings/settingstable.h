// Every entry of the settings store, written down once: its section and
// key, the field of the keyer record that holds it, what a first run seeds
// it with, where the settings window's Update writes it, which byte of the
// chip's load-defaults block it becomes and how a failed write names it to
// the operator. The seed, the loader, the settings window and the upload
// all work from this table, so a key cannot be spelled two ways.
#pragma once

#include "settings/keyersettings.h"

#include <QList>
#include <QString>

#include <span>

namespace SettingsTable {

struct Entry {
    QString section;
    QString key;
    // The record's field: a text, or MinSpeed's number. The window entries
    // have neither; the main window reads and writes them itself.
    QString KeyerSettings::*text = nullptr;
    qint32 KeyerSettings::*number = nullptr;
    // What a first run writes; empty for the port, which the operator picks.
    QString seed;
    // 1-based place among the settings window's Update writes; 0: not written there.
    int updateOrder = 0;
    // 1-based byte of the load-defaults block; 0: not sent to the chip.
    int blockByte = 0;
    // What the entry is to the operator when it could not be saved; empty:
    // named by section and key.
    QString what;

    bool isNumber() const { return number != nullptr; }
    bool inRecord() const { return text || number; }
    // The record's value as the store holds it.
    QString storeText(const KeyerSettings &settings) const;
};

// In the store's order: window, parameters, speed, messages.
std::span<const Entry> entries();
// The entry of a record field; every field has one.
const Entry &entry(QString KeyerSettings::*field);
const Entry &entry(qint32 KeyerSettings::*field);
// The entry of message n (1 to 5).
const Entry &message(int n);
// The window's own entries, which the main window reads and writes itself.
enum class Window { OnTop, FormTop, FormLeft };
const Entry &window(Window which);
// The entry stored under section and key, or nullptr.
const Entry *find(const QString &section, const QString &key);
// The entries the settings window's Update writes, in its order.
QList<const Entry *> updateOrder();

// One parameter byte of the load-defaults block, as plain texts.
struct BlockParameter {
    QString key;      // named when the text cannot be sent
    QString text;     // what the record holds
    QString fallback; // sent in its place when it cannot
};

// Bytes 4 to 16 of the load-defaults block, in block order, each with its
// seed value to fall back on. Byte 9, the speed pot's range, is speedRange
// (MaxSpeed less MinSpeed) and falls back on the seed's range; when
// speedRange is empty MaxSpeed was no number, and MaxSpeed is sent and named.
QList<BlockParameter> blockParameters(const KeyerSettings &settings, const QString &speedRange);

} // namespace SettingsTable
