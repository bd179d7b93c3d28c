#include "keyer/serialfacility.h"

#include <QFile>

#include <algorithm>
#include <cmath>

#ifdef Q_OS_UNIX
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>
#endif

namespace {

// How often units that wait are offered to the driver: about one
// character's time at 1200 baud.
constexpr int kPumpMs = 8;

} // namespace

SerialFacility::SerialFacility(QObject *parent)
    : QObject(parent)
{
    m_clock.start();
    m_pumpTimer.setInterval(kPumpMs);
    connect(&m_pumpTimer, &QTimer::timeout, this, &SerialFacility::pump);
    connect(&m_port, &QSerialPort::readyRead, this, &SerialFacility::readFromPort);
    connect(&m_port, &QSerialPort::errorOccurred, this, &SerialFacility::handleError);
    connect(&m_port, &QSerialPort::bytesWritten, this, &SerialFacility::pump);
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
    // What was written goes out as it always did: the driver drains it on
    // the close.
    if (m_port.isOpen()) {
        for (const QByteArray &unit : m_units)
            m_port.write(unit);
        m_port.flush();
        m_port.close();
    }
    m_units.clear();
    m_unitBytes = 0;
    m_pumpTimer.stop();
    m_rx.clear();
}

bool SerialFacility::isOpen() const
{
    return m_port.isOpen();
}

qint64 SerialFacility::bytesToWrite() const
{
    return m_port.isOpen() ? m_unitBytes + m_port.bytesToWrite() : 0;
}

qint64 SerialFacility::aheadOfWire() const
{
    qint64 ahead = m_port.bytesToWrite();
#if defined(Q_OS_UNIX) && defined(TIOCOUTQ)
    int queued = 0;
    if (::ioctl(int(m_port.handle()), TIOCOUTQ, &queued) == 0)
        ahead += queued;
#endif
    if (m_byteMs > 0) {
        const double left = m_wireFreeAtMs - double(m_clock.nsecsElapsed()) / 1e6;
        ahead = std::max(ahead, qint64(std::ceil(std::max(0.0, left) / m_byteMs)));
    }
    return ahead;
}

void SerialFacility::write(const QByteArray &bytes)
{
    if (bytes.isEmpty() || !m_port.isOpen())
        return;
    emit wrote(bytes);
    m_units.push_back(bytes);
    m_unitBytes += bytes.size();
    pump();
}

void SerialFacility::writeText(const QByteArray &text)
{
    if (text.isEmpty() || !m_port.isOpen())
        return;
    emit wrote(text);
    for (const char c : text)
        m_units.emplace_back(1, c);
    m_unitBytes += text.size();
    pump();
}

void SerialFacility::pump()
{
    // No wire to wait for (a pseudo-terminal told so): what waits goes to
    // the driver in one write, for its reader to take at its own pace.
    if (m_byteMs <= 0 && !m_units.empty() && m_port.isOpen()) {
        QByteArray all;
        all.reserve(m_unitBytes);
        for (const QByteArray &unit : m_units)
            all += unit;
        m_units.clear();
        m_unitBytes = 0;
        if (m_port.write(all) == all.size())
            m_port.flush();
    }
    // The units that may go now go in one write: a message that fits ahead
    // of the wire reaches the driver at once, and still only whole units go.
    QByteArray batch;
    const qint64 ahead = m_port.isOpen() ? aheadOfWire() : 0;
    while (!m_units.empty() && m_port.isOpen() && ahead + batch.size() < kAheadOfWire) {
        const QByteArray unit = std::move(m_units.front());
        m_units.pop_front();
        m_unitBytes -= unit.size();
        batch += unit;
    }
    if (!batch.isEmpty()) {
        const double now = double(m_clock.nsecsElapsed()) / 1e6;
        m_wireFreeAtMs = std::max(m_wireFreeAtMs, now) + double(batch.size()) * m_byteMs;
        // A write QSerialPort refuses raises its error, which closes the port.
        if (m_port.write(batch) != batch.size())
            return;
        // QSerialPort otherwise waits for the event loop to start writing.
        m_port.flush();
    }
    if (m_units.empty())
        m_pumpTimer.stop();
    else if (!m_pumpTimer.isActive())
        m_pumpTimer.start();
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

QList<QByteArray> SerialFacility::discardOutput()
{
    QList<QByteArray> dropped(m_units.begin(), m_units.end());
    m_units.clear();
    m_unitBytes = 0;
    m_pumpTimer.stop();
    return dropped;
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
