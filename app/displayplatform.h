// With its Wayland plugin installed, Qt on a Wayland desktop runs natively,
// and a native Wayland window can neither be placed by its program nor be
// kept on top; its position reads back as whatever Qt makes up. Where
// XWayland is there, the program asks for X11 instead, and where it is not,
// it leaves the stored place alone.
#pragma once

#include <QByteArray>
#include <QProcessEnvironment>
#include <QString>

namespace DisplayPlatform {

// The platform plugin to ask Qt for in this environment; empty to leave
// the choice to Qt (or to the operator's QT_QPA_PLATFORM).
QByteArray toAsk(const QProcessEnvironment &env);
// Whether the place of a window on this platform can be known, and so be
// stored for the next start.
bool placeIsKnown(const QString &platformName);

} // namespace DisplayPlatform
