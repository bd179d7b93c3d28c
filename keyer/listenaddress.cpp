#include "keyer/listenaddress.h"

#include "settings/settingsstore.h"

#include <algorithm>

namespace {

const QString kSection = QStringLiteral("Network");
const QString kKey = QStringLiteral("Cwdaemon");

// QChar::isDigit() takes every script's digits; an address has only these.
bool isDecimal(QStringView text)
{
    return !text.isEmpty() && std::all_of(text.begin(), text.end(), [](QChar c) { return c >= u'0' && c <= u'9'; });
}

std::optional<quint16> parsePort(QStringView text, QString *why)
{
    if (!isDecimal(text)) {
        *why = text.isEmpty() ? QStringLiteral("no port is given (a number from 1 to 65535)")
                              : QStringLiteral("'%1' is no port (a number from 1 to 65535)").arg(text);
        return std::nullopt;
    }
    int value = 0;
    for (QChar c : text)
        value = std::min(value * 10 + (c.unicode() - u'0'), 100000);
    if (value < 1 || value > 65535) {
        *why = QStringLiteral("port %1 is out of range (1 to 65535)").arg(text);
        return std::nullopt;
    }
    return quint16(value);
}

// Four decimal parts of 0 to 255, as people write them: the short and octal
// forms that inet_aton() (and so QHostAddress) also takes read as another
// address than the one the operator meant.
bool isDottedQuad(QStringView text)
{
    const auto parts = text.split(u'.');
    return parts.size() == 4 && std::all_of(parts.begin(), parts.end(), [](QStringView part) {
               return isDecimal(part) && part.size() <= 3 && (part.size() == 1 || part.front() != u'0')
                   && part.toInt() <= 255;
           });
}

std::optional<QHostAddress> parseHost(QStringView text, QString *why)
{
    if (text.isEmpty()) {
        *why = QStringLiteral("no address is given before ':'");
        return std::nullopt;
    }
    if (text.startsWith(u'[')) {
        const QHostAddress address(text.mid(1, text.size() - 2).toString());
        // An IPv4 address written the IPv6 way (::ffff:127.0.0.1) is that
        // IPv4 address: a socket cannot be bound to the IPv6 form.
        const Q_IPV6ADDR bytes = address.toIPv6Address();
        if (address.protocol() == QAbstractSocket::IPv6Protocol
            && std::all_of(bytes.c, bytes.c + 10, [](quint8 b) { return b == 0; }) && bytes[10] == 0xff
            && bytes[11] == 0xff)
            return QHostAddress(address.toIPv4Address());
        if (address.protocol() == QAbstractSocket::IPv6Protocol)
            return address;
        *why = QStringLiteral("'%1' is no IPv6 address").arg(text);
        return std::nullopt;
    }
    if (text.compare(u"localhost", Qt::CaseInsensitive) == 0)
        return QHostAddress(QHostAddress::LocalHost);
    if (isDottedQuad(text))
        return QHostAddress(text.toString());
    *why = QStringLiteral("'%1' is no IPv4 address (four numbers from 0 to 255, as 127.0.0.1), "
                          "'localhost' or an IPv6 address in brackets")
               .arg(text);
    return std::nullopt;
}

} // namespace

QString ListenAddress::text() const
{
    const QString shown = host.protocol() == QAbstractSocket::IPv6Protocol
        ? QLatin1Char('[') + host.toString() + QLatin1Char(']')
        : host.toString();
    return shown + QLatin1Char(':') + QString::number(port);
}

std::optional<ListenAddress> parseListenAddress(QStringView text, QString *why)
{
    QString ignored;
    if (!why)
        why = &ignored;
    ListenAddress address;
    qsizetype colon = text.lastIndexOf(u':');
    if (text.startsWith(u'[')) {
        const qsizetype close = text.indexOf(u']');
        if (close < 0) {
            *why = QStringLiteral("the IPv6 address after '[' has no closing ']'");
            return std::nullopt;
        }
        if (colon != close + 1) {
            *why = QStringLiteral("a ':' and the port must follow the ']'");
            return std::nullopt;
        }
    } else if (colon >= 0 && text.indexOf(u':') != colon) {
        *why = QStringLiteral("an IPv6 address goes in brackets, as in [::1]:%1").arg(Cwdaemon::kDefaultPort);
        return std::nullopt;
    }
    if (colon >= 0) {
        const auto host = parseHost(text.first(colon), why);
        if (!host)
            return std::nullopt;
        address.host = *host;
    }
    const auto port = parsePort(text.sliced(colon + 1), why);
    if (!port)
        return std::nullopt;
    address.port = *port;
    return address;
}

ListenChoice chooseListenAddress(const std::optional<ListenAddress> &commandLine, const SettingsStore &store)
{
    if (commandLine)
        return {commandLine, {}};
    const QString value = store.GetSetting(kSection, kKey).trimmed();
    // The words an operator writes for a switch: "1" is on, never UDP port 1.
    const auto isOneOf = [&value](std::initializer_list<QStringView> words) {
        return std::any_of(words.begin(), words.end(), [&value](QStringView word) {
            return value.compare(word, Qt::CaseInsensitive) == 0;
        });
    };
    if (value.isEmpty() || isOneOf({u"0", u"false", u"no", u"off"}))
        return {};
    if (isOneOf({u"1", u"true", u"yes", u"on"}))
        return {ListenAddress{}, {}};
    QString why;
    if (auto address = parseListenAddress(value, &why))
        return {address, {}};
    return {std::nullopt, QStringLiteral("The line %1=%2 under [%3] in the settings file %4 names no address "
                                         "to listen on for loggers: %5. Write on, off, a port (%6) or an "
                                         "address and a port (127.0.0.1:%6).")
                              .arg(kKey, value, kSection, store.location(), why)
                              .arg(Cwdaemon::kDefaultPort)};
}
