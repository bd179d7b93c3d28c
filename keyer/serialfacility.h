// The serial line to the keyer chip: a narrow facility over QSerialPort
// offering what the keyer link needs and nothing more. Received bytes wait
// in our own queue and are taken one at a time; with the receive threshold
// at 1 every arrival raises commEvent(kEventReceive).
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSerialPort>
#include <QString>

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

    // Queues the bytes and pushes them towards the wire at once.
    void write(const QByteArray &bytes);
    // Bytes written that the driver has not taken yet.
    qint64 bytesToWrite() const;
    // Count of received bytes not yet taken.
    int inBufferCount();
    // The oldest waiting byte, removed from the queue; empty when none waits.
    QByteArray input();
    // Drops every byte waiting, in our queue and in the operating system's.
    void discardInput();
    // Drops every byte written but not yet on the wire (ours and the
    // driver's): at 1200 baud a long message takes seconds to drain.
    void discardOutput();
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
    void handleError(QSerialPort::SerialPortError error);

    QSerialPort m_port;
    QByteArray m_rx;
    QString m_errorText;
    QString m_device;
    int m_receiveThreshold = 0;
    bool m_permissionDenied = false;
    bool m_inUse = false;
    bool m_losing = false;
};
