// Network keying at start-up: the cwdaemon server, where the command line or
// else the store asks, over the window's link once it is up. What keeps it
// from listening is told once, and the program runs on without it: the
// operator's own keys matter more than the logger's.
#pragma once

#include "keyer/listenaddress.h"

#include <functional>

class CwdaemonServer;
class KeyerLink;
class QObject;

namespace NetworkKeying {

// The server, owned by parent; nullptr when nothing asked for it or when
// it could not listen (then tell has said why).
CwdaemonServer *start(KeyerLink &link, QObject *parent, const ListenChoice &choice,
                      const std::function<void(const QString &message)> &tell);

} // namespace NetworkKeying
