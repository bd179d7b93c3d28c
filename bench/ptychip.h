// The benchmark's end of the serial line: a pseudo-terminal master opened
// here, with just enough of a WinKey chip behind it for the link's start-up
// (echo, revision, knob answer). A thread of its own sleeps in poll() on the
// master and stamps every read with the monotonic clock the moment the
// bytes become readable, so that key-to-wire times are measured where the
// wire is, not where the program thinks it wrote.
#pragma once

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QString>

#include <atomic>
#include <mutex>
#include <optional>
#include <thread>

class PtyChip : public QObject
{
    Q_OBJECT
public:
    // One read from the master: when it became readable and how many text
    // bytes (0x20..0x7F after start-up), and bytes of any kind, had arrived
    // in all once it was read.
    struct Arrival {
        qint64 ns = 0;
        qint64 textTotal = 0;
        qint64 byteTotal = 0;
    };

    static constexpr quint8 kRevision = 23;
    static constexpr quint8 kPot = 15;
    static constexpr quint8 kXoff = 0xC5;
    static constexpr quint8 kBufferLow = 0xC4;

    explicit PtyChip(QObject *parent = nullptr);
    ~PtyChip() override;

    // Opens the pty and starts listening; false (with errorText) when the
    // system has no pseudo-terminals to give.
    bool start();
    void stop();
    QString errorText() const { return m_errorText; }
    // The slave side's path: the "serial port" the program opens.
    QString portPath() const { return m_portPath; }

    // Sends bytes as the chip (status bytes, knob reports).
    void send(const QByteArray &bytes);
    // Sends XOFF by itself once this many text bytes have arrived in all.
    void sendXoffAtText(qint64 textTotal) { m_xoffAt.store(textTotal); }

    // Text bytes read so far; a total reached here is always in the stamps.
    qint64 textTotal() const { return m_textTotal.load(); }
    // When the get-speed-pot byte that ends the start-up arrived (ns), if it has.
    std::optional<qint64> startupEndNs() const;
    // When the first byte of the parameter block (load defaults) arrived, if it has.
    std::optional<qint64> blockStartNs() const;
    // Forgets the start-up, for the next program that opens the port.
    void forgetStartup();
    // When the text total first reached `total`, if it has.
    std::optional<qint64> textReachedNs(qint64 total) const;
    // Bytes of any kind read so far, and when their total first reached `total`.
    qint64 byteTotal() const { return m_byteTotal.load(); }
    std::optional<qint64> byteReachedNs(qint64 total) const;
    // The text total when the last clear-buffer command (0A) arrived; -1 before one.
    qint64 textAtClear() const { return m_textAtClear.load(); }

    // The monotonic clock the stamps use, in ns.
    static qint64 nowNs();

signals:
    // Bytes arrived (emitted from the listening thread; receivers get it queued).
    void received();

private:
    void listen();
    void take(const QByteArray &bytes, qint64 ns);
    void answer(quint8 byte);

    enum class Parse { Command, Admin, EchoArgument, Skip };

    int m_master = -1;
    int m_slave = -1;     // held open so that the master never sees a hang-up
    int m_wakePipe[2] = {-1, -1};
    QString m_portPath;
    QString m_errorText;
    std::thread m_thread;

    // Touched only by the listening thread.
    Parse m_parse = Parse::Command;
    int m_skip = 0;
    qint64 m_textSeen = 0;
    qint64 m_bytesSeen = 0;

    // The text total as of the last stamped read: never ahead of m_arrivals.
    std::atomic<qint64> m_textTotal = 0;
    std::atomic<qint64> m_byteTotal = 0;
    std::atomic<qint64> m_textAtClear = -1;
    std::atomic<qint64> m_xoffAt = -1;
    mutable std::mutex m_mutex;   // guards the three below
    QList<Arrival> m_arrivals;
    std::optional<qint64> m_startupEndNs;
    std::optional<qint64> m_blockStartNs;
};
