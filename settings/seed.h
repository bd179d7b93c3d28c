// What a first run writes into an empty store: a usual chip set-up, the
// design position of the window and five everyday messages.
#pragma once

#include <QList>
#include <QString>

class SettingsStore;

namespace Seed {

inline constexpr int kMinSpeed = 10;
inline constexpr int kFormTop = 6825;  // twips
inline constexpr int kFormLeft = 7920; // twips

struct Entry {
    QString section;
    QString key;
    QString value;
};

// Every key the program reads except "ComPort", which the operator picks.
const QList<Entry> &table();
// The seed value of one key, or the empty text.
QString value(const QString &section, const QString &key);
// Writes the whole table and the port into the store.
void seedStore(SettingsStore &store, const QString &comPort);

} // namespace Seed
