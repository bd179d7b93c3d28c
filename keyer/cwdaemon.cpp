#include "keyer/cwdaemon.h"

namespace Cwdaemon {

Request parse(QByteArrayView)
{
    return {};
}

QByteArray keysFor(QByteArrayView)
{
    return {};
}

QString shownFor(QByteArrayView)
{
    return {};
}

std::optional<quint8> chipWeighting(int)
{
    return std::nullopt;
}

std::optional<quint8> chipSidetone(int, quint8)
{
    return std::nullopt;
}

quint8 chipLeadIn(int)
{
    return 0;
}

QByteArray requestedReply(QByteArrayView)
{
    return {};
}

QByteArray echoReply(QByteArrayView)
{
    return {};
}

QByteArray abortedReply()
{
    return QByteArrayLiteral("break\r\n");
}

} // namespace Cwdaemon
