#include "app/displayplatform.h"

namespace DisplayPlatform {

QByteArray toAsk(const QProcessEnvironment &env)
{
    if (!env.value(QStringLiteral("QT_QPA_PLATFORM")).isEmpty() || env.value(QStringLiteral("DISPLAY")).isEmpty())
        return {};
    const bool wayland = !env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty()
        || env.value(QStringLiteral("XDG_SESSION_TYPE")) == QLatin1String("wayland");
    // Natively after all when XWayland cannot be reached, rather than not at all.
    return wayland ? QByteArrayLiteral("xcb;wayland") : QByteArray();
}

bool placeIsKnown(const QString &platformName)
{
    return !platformName.startsWith(QLatin1String("wayland"));
}

} // namespace DisplayPlatform
