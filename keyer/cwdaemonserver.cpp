#include "keyer/cwdaemonserver.h"

#include "keyer/keyerlink.h"

CwdaemonServer::CwdaemonServer(KeyerLink &link, QObject *parent)
    : QObject(parent)
    , m_link(link)
{
    connect(&m_socket, &QUdpSocket::readyRead, this, &CwdaemonServer::readDatagrams);
}

CwdaemonServer::~CwdaemonServer() = default;

bool CwdaemonServer::listen(const QHostAddress &host, quint16 port)
{
    if (m_socket.bind(host, port, QAbstractSocket::DontShareAddress))
        return true;
    m_error = m_socket.errorString();
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

void CwdaemonServer::readDatagrams() {}
void CwdaemonServer::dispatch() {}
void CwdaemonServer::handle(const Pending &) {}
void CwdaemonServer::onTextDone(quint64, bool) {}
