#include "keyer/cwdaemonserver.h"

#include "keyer/keyerlink.h"

#include <QNetworkDatagram>

namespace {

// Datagrams read but not yet handed to the link. A flood beyond this stays
// in the socket, where the system drops what does not fit: reading a
// datagram only to throw it away would cost a core.
constexpr std::size_t kMaxInbox = 64;
// Read, or handed on, in one turn of the event loop: the window's own
// events come between.
constexpr int kPerTurn = 32;
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
    connect(&m_link, &KeyerLink::pauseStarted, this, &CwdaemonServer::onEscape);
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
    m_readQueued = false;
    for (int n = 0; n < kPerTurn && m_inbox.size() < kMaxInbox && m_socket.hasPendingDatagrams(); ++n) {
        if (m_socket.pendingDatagramSize() > Cwdaemon::kMaxDatagram) {
            m_socket.readDatagram(nullptr, 0); // refused whole
            continue;
        }
        const QNetworkDatagram datagram = m_socket.receiveDatagram(Cwdaemon::kMaxDatagram);
        m_inbox.push_back({datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort())});
    }
    // Handing a text on can wait for the chip in a nested event loop; this
    // slot must have returned by then, or the socket would stay unread.
    queue();
}

// The next turn's reading and handing on, each from the event loop.
void CwdaemonServer::queue()
{
    if (!m_inbox.empty() && !m_dispatchQueued) {
        m_dispatchQueued = true;
        QMetaObject::invokeMethod(this, &CwdaemonServer::dispatch, Qt::QueuedConnection);
    }
    // The socket does not say again what is already waiting in it.
    if (m_inbox.size() < kMaxInbox && m_socket.hasPendingDatagrams() && !m_readQueued) {
        m_readQueued = true;
        QMetaObject::invokeMethod(this, &CwdaemonServer::readDatagrams, Qt::QueuedConnection);
    }
}

void CwdaemonServer::dispatch()
{
    m_dispatchQueued = false;
    for (int n = 0; n < kPerTurn && !m_inbox.empty(); ++n) {
        const Pending pending = std::move(m_inbox.front());
        m_inbox.pop_front();
        handle(pending);
    }
    queue();
}

// The operator's Escape stops what the loggers had sent before it too:
// what waits here or in the socket goes unread. A logger's own abort keeps
// what it sent after it.
void CwdaemonServer::onEscape()
{
    if (m_abortRunning)
        return;
    m_inbox.clear();
    // What has come so far; a flood that goes on is left to the socket.
    for (int n = 0; n < 4 * kPerTurn * int(kMaxInbox) && m_socket.hasPendingDatagrams(); ++n)
        m_socket.readDatagram(nullptr, 0);
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
    m_abortRunning = request.kind == Cwdaemon::Kind::Abort;
    const bool taken = m_link.networkRequest(request, tag);
    m_abortRunning = false;
    // tlf sends its abort twice. Aborts that waited right behind this one
    // have nothing left to stop; handed on, each would be one more pause
    // holding the operator's keys, and would stop what was pressed in it.
    if (request.kind == Cwdaemon::Kind::Abort) {
        while (!m_inbox.empty() && Cwdaemon::parse(m_inbox.front().datagram).kind == Cwdaemon::Kind::Abort)
            m_inbox.pop_front();
    }
    if (!taken && tag != 0)
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
