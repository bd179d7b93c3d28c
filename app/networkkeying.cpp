#include "app/networkkeying.h"

#include "keyer/cwdaemonserver.h"

#include <memory>

namespace NetworkKeying {

CwdaemonServer *start(KeyerLink &link, QObject *parent, const ListenChoice &choice,
                      const std::function<void(const QString &message)> &tell)
{
    if (!choice.address) {
        if (!choice.problem.isEmpty())
            tell(choice.problem + QStringLiteral("\n\nZavo Keyer runs on without keying for loggers."));
        return nullptr;
    }
    auto server = std::make_unique<CwdaemonServer>(link, parent);
    if (server->listen(choice.address->host, choice.address->port))
        return server.release();
    // The server's words say why (a cwdaemon holding the port, an address
    // not this machine's) and that the program runs on.
    tell(server->errorText());
    return nullptr;
}

} // namespace NetworkKeying
