// The simulator's side of the serial line: a pseudo-terminal whose slave is
// published under a fixed path as a symbolic link, so the program opens the
// same name every time, even after an unplug and plug.
//
// We hold a slave descriptor of our own for the whole life of a pty: without
// it the master reads EIO and polls as hung up whenever the program closes
// the port, and a closed port would spin the event loop.  Because of that
// descriptor the master can no longer tell whether anybody has the port
// open, so we watch the slave device with inotify: bytes the chip sends
// while nobody has the port open are lost, as on a real adapter, instead of
// waiting in the pty for the next open.
#pragma once

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

class PtyLink : public QObject
{
    Q_OBJECT
public:
    explicit PtyLink(const QString &linkPath, QObject *parent = nullptr);
    ~PtyLink() override;

    // A new pty, published under linkPath; a stale link there is replaced.
    bool plug(QString *error);
    // Closes both ends and removes the link: the program's port sees an error.
    void unplug();
    bool isPlugged() const { return m_master >= 0; }
    QString linkPath() const { return m_linkPath; }
    QString devicePath() const { return m_devicePath; }
    // Whether bytes written now would reach the program: plugged, and the
    // port open (as far as the open/close watch can tell).
    bool isListening();
    // Queues bytes towards the program; lost when nobody listens.
    void write(const QByteArray &bytes);
    // Carries the program's bytes to the chip no faster than a serial line
    // at this speed would (ten bits a byte); 0: as fast as they come. The
    // pty itself has no speed, and a flush of the program's output could
    // not reach bytes it has already handed over, so the line is ours: the
    // pty's packet mode tells us of the flush, and what the line has not
    // carried yet is dropped, as a real adapter drops it.
    void setBaud(int baud);
    // What the program set on its side of the line, e.g. "1200 baud stop 1
    // handshake none"; empty when unplugged. Linux forces a pty to 8 data
    // bits without parity, and a pty has no modem lines, so data bits,
    // parity, DTR and RTS cannot be told and are not reported.
    QString lineSettings() const;

signals:
    void received(const QByteArray &bytes);
    void portOpened();
    void portClosed();

private:
    void readMaster();
    void writeMaster();
    void readWatch();
    void carry();
    bool publishLink(QString *error);
    void removeLink();

    static constexpr int kRetryMs = 200;

    QString m_linkPath;
    QString m_devicePath;
    int m_master = -1;
    int m_keepAlive = -1;
    int m_watch = -1;
    int m_openers = 0;
    QByteArray m_pending;
    // Paced: bytes read from the pty that the line has not carried yet.
    QByteArray m_line;
    double m_byteMs = 0;
    double m_carriedAt = 0;
    QTimer m_pace;
    QSocketNotifier m_masterReadable { QSocketNotifier::Read };
    QSocketNotifier m_masterWritable { QSocketNotifier::Write };
    QSocketNotifier m_watchReadable { QSocketNotifier::Read };
    QTimer m_retry;
};
