// Listens for cwdaemon requests on UDP and hands them to the keyer link as
// one more input: the logger's text is keyed in turn with the operator's
// keys, its settings requests become the chip's own commands, and the
// sender hears back when its text has been keyed. Runs on the program's
// event loop; no thread.
#pragma once

#include "keyer/cwdaemon.h"
#include "keyer/keyerlink.h"

#include <QHash>
#include <QHostAddress>
#include <QObject>
#include <QTimer>
#include <QUdpSocket>

class CwdaemonServer : public QObject
{
    Q_OBJECT
public:
    explicit CwdaemonServer(KeyerLink &link, QObject *parent = nullptr);
    ~CwdaemonServer() override;

    // Binds host:port. False, with errorText() saying why in a sentence
    // for the operator, when the address cannot be had (a cwdaemon holds
    // the port, the address is not this machine's).
    bool listen(const QHostAddress &host, quint16 port);
    QString errorText() const { return m_error; }
    bool isListening() const;
    quint16 localPort() const;

private:
    void readDatagrams();
    void onEscape();
    bool isOwnAddress(const QHostAddress &from, quint16 fromPort) const;
    // Hands one datagram on; true when it was an abort.
    bool handle(const QByteArray &datagram, const QHostAddress &from, quint16 fromPort);
    void onTextDone(quint64 tag, KeyerLink::TextOutcome outcome);

    KeyerLink &m_link;
    QUdpSocket m_socket;
    QTimer m_nextLook; // what a turn left in the socket
    QString m_error;
    bool m_abortRunning = false; // a logger's ESC4 is being handed on
    // The ESCh reply that the next text of that sender takes with it.
    QHash<QString, QByteArray> m_requestedReply;
    struct Reply {
        QHostAddress to;
        quint16 port = 0;
        QByteArray text;
    };
    QHash<quint64, Reply> m_replies;
    quint64 m_nextTag = 1;
};
