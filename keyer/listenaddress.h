// Where network keying listens, as the operator writes it on the command
// line (--cwdaemon=...) or in the store ([Network] Cwdaemon): a port, or a
// host and a port. Pure text to address; nothing here opens a socket.
//
// Loopback unless the operator names another address: a logger on the same
// machine is the usual case, and a keyer that any host on the network can
// key is a choice to make on purpose.
#pragma once

#include "keyer/cwdaemon.h"

#include <QHostAddress>
#include <QString>
#include <QStringView>

#include <optional>

class SettingsStore;

struct ListenAddress {
    QHostAddress host{QHostAddress::LocalHost};
    quint16 port = Cwdaemon::kDefaultPort;

    // "127.0.0.1:6789", "[::1]:6789": as it can be written again.
    QString text() const;
};

// "PORT", "HOST:PORT" with HOST an IPv4 address in four decimal parts,
// "localhost" (127.0.0.1) or an IPv6 address in brackets (an IPv4 address
// in IPv6 form, [::ffff:127.0.0.1], read as that IPv4 address); PORT 1 to 65535.
// Host names are not looked up. Nullopt for anything else, with why saying
// in a few words what is wrong.
std::optional<ListenAddress> parseListenAddress(QStringView text, QString *why);

// Where to listen, if anywhere: the command line's address, else the store's.
struct ListenChoice {
    // Nullopt: off, or the store's value is no address (then problem says
    // so, in sentences for the operator).
    std::optional<ListenAddress> address;
    QString problem;
};
// The store's key, [Network] Cwdaemon, is read by hand and never written:
// it is in no settings window, and a first run leaves network keying off.
// Empty, missing, "0", "false", "no" or "off" is off; "1", "true", "yes" or
// "on" the default address (any case); anything else as parseListenAddress
// reads it, so a port alone is written as before ("7000"), but port 1 only
// with its address ("127.0.0.1:1").
ListenChoice chooseListenAddress(const std::optional<ListenAddress> &commandLine, const SettingsStore &store);
