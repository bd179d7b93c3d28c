#include "keyer/serialfacility.h"

#include <QFile>

#ifdef Q_OS_UNIX
#include <unistd.h>
#endif

SerialFacility::SerialFacility(QObject *parent)
    : QObject(parent)
{
    connect(&m_port, &QSerialPort::readyRead, this, &SerialFacility::readFromPort);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialFacility::handleError);
}

SerialFacility::~SerialFacility() = default;

void SerialFacility::setPortName(const QString &device)
{
    m_device = device;
    m_port.setPortName(device);
}

QString SerialFacility::portName() const
{
    return m_port.portName();
}

void SerialFacility::setReceiveThreshold(int threshold)
{
    m_receiveThreshold = threshold;
    if (m_receiveThreshold > 0 && !m_rx.isEmpty())
        emit commEvent(kEventReceive);
}

bool SerialFacility::open()
{
    m_errorText.clear();
    m_permissionDenied = false;
    m_inUse = false;
    m_rx.clear();
    m_port.setBaudRate(kBaudRate);
    m_port.setDataBits(QSerialPort::Data8);
    m_port.setParity(QSerialPort::NoParity);
    m_port.setStopBits(QSerialPort::OneStop);
    m_port.setFlowControl(QSerialPort::NoFlowControl);
    if (!m_port.open(QIODevice::ReadWrite)) {
        m_permissionDenied = m_port.error() == QSerialPort::PermissionError;
#ifdef Q_OS_UNIX
        // QSerialPort calls a port held by another program (its lock file,
        // or an exclusive open) a permission error too; but when we may
        // read and write the device, permission is not what is missing.
        if (m_permissionDenied) {
            const QByteArray path = QFile::encodeName(m_device.startsWith(QLatin1Char('/'))
                                                          ? m_device
                                                          : QStringLiteral("/dev/") + m_device);
            m_inUse = ::access(path.constData(), R_OK | W_OK) == 0;
            m_permissionDenied = !m_inUse;
        }
#endif
        m_errorText = m_port.errorString();
        m_port.clearError();
        return false;
    }
    // A pseudo-terminal refuses the modem lines ("Inappropriate ioctl for
    // device"); the link works on it all the same, so that is not a failure.
    m_port.setDataTerminalReady(true);
    m_port.setRequestToSend(false);
    m_port.clearError();
    emit opened();
    return true;
}

void SerialFacility::close()
{
    if (m_port.isOpen())
        m_port.close();
    m_rx.clear();
}

bool SerialFacility::isOpen() const
{
    return m_port.isOpen();
}

qint64 SerialFacility::bytesToWrite() const
{
    return m_port.isOpen() ? m_port.bytesToWrite() : 0;
}

void SerialFacility::write(const QByteArray &bytes)
{
    if (bytes.isEmpty() || !m_port.isOpen())
        return;
    emit wrote(bytes);
    // A write QSerialPort refuses raises its error, which closes the port.
    if (m_port.write(bytes) != bytes.size())
        return;
    // QSerialPort otherwise waits for the event loop to start writing.
    m_port.flush();
}

int SerialFacility::inBufferCount()
{
    return static_cast<int>(m_rx.size());
}

QByteArray SerialFacility::input()
{
    if (m_rx.isEmpty())
        return {};
    QByteArray one = m_rx.left(1);
    m_rx.remove(0, 1);
    return one;
}

void SerialFacility::discardInput()
{
    if (m_port.isOpen()) {
        m_port.readAll();
        m_port.clear(QSerialPort::Input);
    }
    m_rx.clear();
}

void SerialFacility::discardOutput()
{
    if (m_port.isOpen())
        m_port.clear(QSerialPort::Output);
}

void SerialFacility::readFromPort()
{
    const QByteArray bytes = m_port.readAll();
    if (bytes.isEmpty())
        return;
    m_rx += bytes;
    emit bytesArrived();
    if (m_receiveThreshold > 0)
        emit commEvent(kEventReceive);
}

void SerialFacility::handleError(QSerialPort::SerialPortError error)
{
    // An unplugged USB adapter shows up as a resource error on a write, but
    // a read on the hung-up device returns nothing and QSerialPort calls that
    // a read error, again and again, with its read notifier left on: unless
    // the port is closed here the event loop spins on the dead descriptor.
    QString reason;
    switch (error) {
    case QSerialPort::ResourceError:
        reason = QStringLiteral("the device is gone");
        break;
    case QSerialPort::ReadError:
        reason = QStringLiteral("the device hung up");
        break;
    case QSerialPort::WriteError:
        reason = QStringLiteral("writing failed");
        break;
    default:
        return;
    }
    m_port.clearError();
    // Closing can raise the error once more; the port is shut by then.
    if (!m_port.isOpen() || m_losing)
        return;
    m_losing = true;
    m_port.close();
    m_port.clearError();
    m_rx.clear();
    m_losing = false;
    emit portLost(reason);
    emit bytesArrived(); // let every wait see the change
}
