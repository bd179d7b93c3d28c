#include "keyer/cwdaemonserver.h"

#include "keyer/keyerlink.h"

#include <QNetworkDatagram>
#include <QNetworkInterface>

#include <algorithm>

namespace {

// Read and handed on in one turn of the event loop; more waiting is read a
// few ms later, so that a flood neither holds the window nor costs a core
// (the system drops what no longer fits in the socket).
constexpr int kPerTurn = 32;
constexpr int kFloodPauseMs = 5;
// Clients whose ESCh reply waits for their next text.
constexpr qsizetype kMaxRequestedReplies = 64;
// What the operator's Escape reads away unhandled; a flood that goes on is
// left to the socket.
constexpr int kMaxReadAway = 8192;

QString senderKey(const QHostAddress &host, quint16 port)
{
    return host.toString() + QLatin1Char('/') + QString::number(port);
}

} // namespace

CwdaemonServer::CwdaemonServer(KeyerLink &link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
    m_nextLook.setSingleShot(true);
    connect(&m_nextLook, &QTimer::timeout, this, &CwdaemonServer::readDatagrams);
    // While a flood rests, the next look reads; readyRead would read on.
    connect(&m_socket, &QUdpSocket::readyRead, this, [this] {
        if (!m_nextLook.isActive())
            readDatagrams();
    });
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

// What the socket holds is read and handed on now, up to a turn's worth;
// the link never waits inside a request. The rest is read on the next
// look: the socket would not say again that it holds it.
void CwdaemonServer::readDatagrams()
{
    bool afterAbort = false;
    for (int n = 0; n < kPerTurn && m_socket.hasPendingDatagrams(); ++n) {
        if (m_socket.pendingDatagramSize() > Cwdaemon::kMaxDatagram) {
            m_socket.readDatagram(nullptr, 0); // refused whole
            continue;
        }
        const QNetworkDatagram datagram = m_socket.receiveDatagram(Cwdaemon::kMaxDatagram);
        if (isOwnAddress(datagram.senderAddress(), quint16(datagram.senderPort())))
            continue;
        // tlf sends its abort twice. Aborts right behind one another have
        // nothing left to stop; handed on, each would be one more pause
        // holding the operator's keys.
        if (afterAbort && Cwdaemon::parse(datagram.data()).kind == Cwdaemon::Kind::Abort)
            continue;
        afterAbort = handle(datagram.data(), datagram.senderAddress(), quint16(datagram.senderPort()));
    }
    if (m_socket.hasPendingDatagrams())
        m_nextLook.start(kFloodPauseMs);
}

// The operator's Escape stops what the loggers had sent before it too:
// what waits in the socket goes unread. A logger's own abort keeps what it
// sent after it.
void CwdaemonServer::onEscape()
{
    if (m_abortRunning)
        return;
    for (int n = 0; n < kMaxReadAway && m_socket.hasPendingDatagrams(); ++n)
        m_socket.readDatagram(nullptr, 0);
}

// Nothing of ours sends from the server's port but the server: a datagram
// that says it comes from there is forged, and its reply would come back
// to us as one more request, keyed again and answered again.
bool CwdaemonServer::isOwnAddress(const QHostAddress &from, quint16 fromPort) const
{
    if (fromPort != m_socket.localPort())
        return false;
    const auto same = [&from](const QHostAddress &ours) {
        return from.isEqual(ours, QHostAddress::TolerantConversion);
    };
    // Bound to every address, the server's address is each of this machine's.
    const QHostAddress bound = m_socket.localAddress();
    if (bound != QHostAddress::AnyIPv4 && bound != QHostAddress::AnyIPv6 && bound != QHostAddress::Any)
        return same(bound);
    const QList<QHostAddress> all = QNetworkInterface::allAddresses();
    return std::any_of(all.begin(), all.end(), same);
}

bool CwdaemonServer::handle(const QByteArray &datagram, const QHostAddress &from, quint16 fromPort)
{
    const Cwdaemon::Request request = Cwdaemon::parse(datagram);
    const QString sender = senderKey(from, fromPort);
    if (request.kind == Cwdaemon::Kind::ReplyRequest) {
        if (m_requestedReply.size() < kMaxRequestedReplies || m_requestedReply.contains(sender))
            m_requestedReply.insert(sender, request.text);
        return false;
    }
    // A reset starts the sender afresh, as cwdaemon: its next text is
    // answered only if it asks again.
    if (request.kind == Cwdaemon::Kind::Reset)
        m_requestedReply.remove(sender);
    quint64 tag = 0;
    if (request.kind == Cwdaemon::Kind::Text) {
        // A caret's reply wins over the ESCh one, which the text uses up
        // all the same, as in cwdaemon.
        QByteArray reply;
        if (request.replyWhenKeyed)
            reply = Cwdaemon::echoReply(request.sent);
        if (const auto requested = m_requestedReply.find(sender); requested != m_requestedReply.end()) {
            if (reply.isEmpty())
                reply = Cwdaemon::requestedReply(*requested);
            m_requestedReply.erase(requested);
        }
        if (!reply.isEmpty()) {
            tag = m_nextTag++;
            m_replies.insert(tag, {from, fromPort, reply});
        }
    }
    m_abortRunning = request.kind == Cwdaemon::Kind::Abort;
    const bool taken = m_link.networkRequest(request, tag);
    m_abortRunning = false;
    if (!taken && tag != 0)
        m_replies.remove(tag);
    return request.kind == Cwdaemon::Kind::Abort;
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
