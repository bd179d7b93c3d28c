// The serial line to the keyer chip: a narrow facility over QSerialPort
// offering what the keyer link needs and nothing more. Received bytes wait
// in our own queue and are taken one at a time; with the receive threshold
// at 1 every arrival raises commEvent(kEventReceive).
//
// What is written goes to the driver in whole units (a command with its
// argument bytes, or one character of a text), and only while little is
// still on its way: what has not gone can then be dropped unit by unit,
// and a drop never leaves half a command for the next byte to complete.
#pragma once

#include <QByteArray>
#include <QElapsedTimer>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>
#include <QTimer>

#include <deque>

class SerialFacility : public QObject
{
    Q_OBJECT
public:
    static constexpr int kEventReceive = 2;
    static constexpr int kBaudRate = 1200;
    // One character on the wire at 1200 baud 8N1: start, 8 data, stop bits.
    static constexpr double kCharacterMs = 10.0 * 1000.0 / kBaudRate;

    explicit SerialFacility(QObject *parent = nullptr);
    ~SerialFacility() override;

    // The link frame, applied when the port opens.
    void setPortName(const QString &device);
    QString portName() const;
    void setReceiveThreshold(int threshold);
    int receiveThreshold() const { return m_receiveThreshold; }

    // Opens at 1200,N,8,1, DTR on, RTS off, no flow control. On failure the
    // operating system's reason is in errorText().
    bool open();
    void close();
    bool isOpen() const;
    QString errorText() const { return m_errorText; }
    // The failure was a permission problem (Linux: not in the dialout group).
    bool permissionDenied() const { return m_permissionDenied; }
    // The failure was another program holding the port (we may use it).
    bool inUse() const { return m_inUse; }

    // The most bytes the driver is given ahead of the wire: about 70 ms at
    // 1200 baud, which is how late a clear can come behind them.
    static constexpr qint64 kAheadOfWire = 8;

    // How long a byte takes on the wire, in ms, for reckoning what is still
    // on its way where the driver cannot say (a pseudo-terminal); 0: the
    // driver's word alone.
    void setByteMs(double ms) { m_byteMs = ms; }

    // Queues the bytes as one unit and pushes them towards the wire.
    void write(const QByteArray &bytes);
    // Queues a text: each character a unit of its own.
    void writeText(const QByteArray &text);
    // Bytes written that have not reached the wire yet, ours and the driver's.
    qint64 bytesToWrite() const;
    // Count of received bytes not yet taken.
    int inBufferCount();
    // The oldest waiting byte, removed from the queue; empty when none waits.
    QByteArray input();
    // Drops every byte waiting, in our queue and in the operating system's.
    void discardInput();
    // Drops every unit written but not yet given to the driver, and returns
    // them: at 1200 baud a long message takes seconds to drain. What the
    // driver has goes on, whole.
    QList<QByteArray> discardOutput();
signals:
    void opened();
    // Every write as it was handed to the port, one per call.
    void wrote(const QByteArray &bytes);
    // A receive notification: code kEventReceive while bytes wait.
    void commEvent(int code);
    // Any arrival, whatever the threshold (waits listen to this).
    void bytesArrived();
    // The device went away (unplugged adapter) or stopped working; the
    // port is closed. The reason is a few words for the status panel.
    void portLost(const QString &reason);

private:
    void readFromPort();
    // Gives the driver whole units while little is on its way.
    void pump();
    // Bytes the driver and the line's output queue still hold.
    qint64 aheadOfWire() const;
    void handleError(QSerialPort::SerialPortError error);

    QSerialPort m_port;
    QByteArray m_rx;
    std::deque<QByteArray> m_units; // written, not yet given to the driver
    qint64 m_unitBytes = 0;
    QTimer m_pumpTimer;
    QElapsedTimer m_clock;
    double m_byteMs = kCharacterMs;
    double m_wireFreeAtMs = 0; // when what was given to the driver is on the wire
    QString m_errorText;
    QString m_device;
    int m_receiveThreshold = 0;
    bool m_permissionDenied = false;
    bool m_inUse = false;
    bool m_losing = false;
};
