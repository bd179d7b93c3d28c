// What a first run writes into an empty store: a usual chip set-up, the
// window's first position and five everyday messages. The values
// themselves are the seed column of the settings table.
#pragma once

#include <QString>

class SettingsStore;

namespace Seed {

inline constexpr int kMinSpeed = 10;
inline constexpr int kFormTop = 6825;  // twips
inline constexpr int kFormLeft = 7920; // twips

// The seed value of one key, or the empty text.
QString value(const QString &section, const QString &key);
// Writes the port, then every seeded entry, into the store, in one write.
void seedStore(SettingsStore &store, const QString &comPort);

} // namespace Seed
