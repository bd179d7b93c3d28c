#include "keyer/cwdaemonserver.h"

#include "keyer/keyerlink.h"

#include <QNetworkDatagram>

namespace {

// Datagrams read but not yet handed to the link; a flood beyond this is
// dropped at the socket rather than held.
constexpr std::size_t kMaxInbox = 512;
// Clients whose ESCh reply waits for their next text.
constexpr qsizetype kMaxRequestedReplies = 64;

QString senderKey(const QHostAddress &host, quint16 port)
{
    return host.toString() + QLatin1Char('/') + QString::number(port);
}

} // namespace

CwdaemonServer::CwdaemonServer(KeyerLink &link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &CwdaemonServer::readDatagrams);
    connect(&m_link, &KeyerLink::networkTextEnded, this, &CwdaemonServer::onTextDone);
}

CwdaemonServer::~CwdaemonServer() = default;

bool CwdaemonServer::listen(const QHostAddress &host, quint16 port)
{
    if (m_socket.bind(host, port, QAbstractSocket::DontShareAddress))
        return true;
    if (m_socket.error() == QAbstractSocket::AddressInUseError) {
        m_error = QStringLiteral("UDP port %1 is already in use by another program (perhaps cwdaemon). "
                                 "Zavo Keyer runs on without keying for loggers.")
                      .arg(port);
    } else {
        m_error = QStringLiteral("Zavo Keyer cannot listen for loggers on %1 port %2: %3. "
                                 "It runs on without keying for loggers.")
                      .arg(host.toString())
                      .arg(port)
                      .arg(m_socket.errorString());
    }
    return false;
}

bool CwdaemonServer::isListening() const
{
    return m_socket.state() == QAbstractSocket::BoundState;
}

quint16 CwdaemonServer::localPort() const
{
    return m_socket.localPort();
}

void CwdaemonServer::readDatagrams()
{
    while (m_socket.hasPendingDatagrams()) {
        if (m_socket.pendingDatagramSize() > Cwdaemon::kMaxDatagram || m_inbox.size() >= kMaxInbox) {
            // Read past without holding it.
            m_socket.readDatagram(nullptr, 0);
            continue;
        }
        const QNetworkDatagram datagram = m_socket.receiveDatagram(Cwdaemon::kMaxDatagram);
        m_inbox.push_back({datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort())});
    }
    // Handing a text on can wait for the chip in a nested event loop; this
    // slot must have returned by then, or the socket would stay unread.
    if (!m_inbox.empty() && !m_dispatchQueued) {
        m_dispatchQueued = true;
        QMetaObject::invokeMethod(this, &CwdaemonServer::dispatch, Qt::QueuedConnection);
    }
}

void CwdaemonServer::dispatch()
{
    m_dispatchQueued = false;
    while (!m_inbox.empty()) {
        const Pending pending = std::move(m_inbox.front());
        m_inbox.pop_front();
        handle(pending);
    }
}

void CwdaemonServer::handle(const Pending &pending)
{
    const Cwdaemon::Request request = Cwdaemon::parse(pending.datagram);
    const QString sender = senderKey(pending.sender, pending.senderPort);
    if (request.kind == Cwdaemon::Kind::ReplyRequest) {
        if (m_requestedReply.size() < kMaxRequestedReplies || m_requestedReply.contains(sender))
            m_requestedReply.insert(sender, request.text);
        return;
    }
    quint64 tag = 0;
    if (request.kind == Cwdaemon::Kind::Text) {
        QByteArray reply;
        if (const auto requested = m_requestedReply.find(sender); requested != m_requestedReply.end()) {
            reply = Cwdaemon::requestedReply(*requested);
            m_requestedReply.erase(requested);
        } else if (request.replyWhenKeyed) {
            reply = Cwdaemon::echoReply(request.sent);
        }
        if (!reply.isEmpty()) {
            tag = m_nextTag++;
            m_replies.insert(tag, {pending.sender, pending.senderPort, reply});
        }
    }
    if (!m_link.networkRequest(request, tag) && tag != 0)
        m_replies.remove(tag);
}

void CwdaemonServer::onTextDone(quint64 tag, KeyerLink::TextOutcome outcome)
{
    const auto reply = m_replies.find(tag);
    if (reply == m_replies.end())
        return;
    const Reply to = *reply;
    m_replies.erase(reply);
    switch (outcome) {
    case KeyerLink::TextOutcome::Keyed:
        m_socket.writeDatagram(to.text, to.to, to.port);
        break;
    case KeyerLink::TextOutcome::Aborted:
        m_socket.writeDatagram(Cwdaemon::abortedReply(), to.to, to.port);
        break;
    case KeyerLink::TextOutcome::Dropped:
        break;
    }
}
