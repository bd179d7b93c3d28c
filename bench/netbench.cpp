#include "netbench.h"

#include "cpumeter.h"
#include "keyer/keyerlink.h"
#include "keyer/serialfacility.h"
#include "samples.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTimer>
#include <QUdpSocket>

#include <cstdio>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

using namespace Zavo;

namespace {

constexpr double kGoalStallMs = 50.0;
// The peak may still rise this much in the flood's second half and count as bounded.
constexpr double kGoalLateGrowthMB = 0.5;
constexpr int kSendTimeoutMs = 5000;

double ms(qint64 ns)
{
    return double(ns) / 1e6;
}

// A size from /proc/self/status ("VmRSS:", "VmHWM:") in MB (10^6 bytes), or -1.
double statusMB(const QByteArray &field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(field.size()).trimmed().split(' ').value(0).toDouble() * 1024.0 / 1e6;
    }
    return -1;
}

// The main thread's processor time: the program's side alone, without the
// pty chip's thread.
double threadCpuMs()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return double(ts.tv_sec) * 1000.0 + double(ts.tv_nsec) / 1e6;
}

// Datagrams the system dropped at a full receive buffer (Udp RcvbufErrors),
// all sockets of this network namespace together.
qint64 udpReceiveDrops()
{
    QFile snmp(QStringLiteral("/proc/net/snmp"));
    if (!snmp.open(QIODevice::ReadOnly))
        return -1;
    QList<QByteArrayList> udp;
    for (const QByteArray &line : snmp.readAll().split('\n')) {
        if (line.startsWith("Udp:"))
            udp.append(line.simplified().split(' '));
    }
    const qsizetype at = udp.size() == 2 ? udp[0].indexOf("RcvbufErrors") : -1;
    return at > 0 ? udp[1].value(at).toLongLong() : -1;
}

} // namespace

NetBench::NetBench(const BenchOptions &options, BenchReport &report)
    : m_options(options)
    , m_report(report)
{
}

NetBench::~NetBench()
{
    m_server.reset();
    if (m_link)
        m_link->shutdown();
    m_link.reset();
    m_chip.stop();
}

void NetBench::run()
{
    if (!bringUp())
        return;
    const auto text = [](int) { return QByteArray("test"); };
    const auto speed = [](int i) { return QByteArray("\x1B" "2") + QByteArray::number(20 + i % 2); };
    if (measureToWire(QStringLiteral("one-word text \"test\", first character"), 4, text)
        && measureToWire(QStringLiteral("speed request `ESC2nn` (20 and 21 in turn), first byte"), 2, speed))
        measureFlood();
    if (m_messages > 0)
        m_report.addNote(QStringLiteral("network keying: the link raised %1 message boxes").arg(m_messages));
}

bool NetBench::bringUp()
{
    if (!m_dir.isValid() || !m_chip.start()) {
        m_report.addFailure(
            QStringLiteral("network keying: no pty or temporary folder (%1)").arg(m_chip.errorText()));
        return false;
    }
    resetProcessState();
    m_store = std::make_unique<SettingsStore>(m_dir.filePath(QStringLiteral("store.conf")));
    Seed::seedStore(*m_store, m_chip.portPath());
    loadKeyerSettings(*m_store);
    KeyerLink::Hooks hooks;
    hooks.message = [this](const QString &, const std::function<void()> &) { ++m_messages; };
    m_link = std::make_unique<KeyerLink>(*m_store, hooks);
    QObject::connect(&m_chip, &PtyChip::received, &m_waker, &Waker::wake);
    QObject::connect(m_link.get(), &KeyerLink::stateChanged, &m_waker, &Waker::wake);
    const auto started = [this] { return m_chip.startupEndNs().has_value(); };
    m_link->initialise();
    if (!waitInEventLoop(m_waker, started, 0, 5000)) {
        m_report.addFailure(
            QStringLiteral("network keying: the link did not come up on %1").arg(m_chip.portPath()));
        return false;
    }
    m_link->setInSession(true);
    m_server = std::make_unique<CwdaemonServer>(*m_link);
    if (!m_server->listen(QHostAddress::LocalHost, 0)) {
        m_report.addFailure(QStringLiteral("network keying: %1").arg(m_server->errorText()));
        return false;
    }
    yieldFor(100); // the knob's answer
    return true;
}

// Each datagram goes once the previous one's bytes are all on the wire and
// the link is idle again. The link's own write is stamped too, to tell the
// program's hops from the port's and the pty's.
bool NetBench::measureToWire(const QString &what, int expectedBytes,
                             const std::function<QByteArray(int)> &datagram)
{
    QUdpSocket client;
    client.bind(QHostAddress::LocalHost, 0);
    Samples toWire;
    Samples toWrite;
    qint64 writtenNs = 0;
    const auto stamp = QObject::connect(&m_link->port(), &SerialFacility::wrote, [&writtenNs] {
        if (writtenNs == 0)
            writtenNs = PtyChip::nowNs();
    });
    for (int i = 0; i < m_options.netSends; ++i) {
        const qint64 before = m_chip.byteTotal();
        writtenNs = 0;
        const qint64 sentNs = PtyChip::nowNs();
        client.writeDatagram(datagram(i), QHostAddress::LocalHost, m_server->localPort());
        const auto gone = [&] {
            return m_chip.byteTotal() >= before + expectedBytes && m_link->state() == KeyerLink::State::Idle;
        };
        if (!waitInEventLoop(m_waker, gone, 0, kSendTimeoutMs)) {
            m_report.addFailure(QStringLiteral("network keying: %1, datagram %2 never reached the chip")
                                    .arg(what)
                                    .arg(i + 1));
            return false;
        }
        toWire.add(ms(*m_chip.byteReachedNs(before + 1) - sentNs));
        toWrite.add(ms(writtenNs - sentNs));
        // The pty takes the bytes at once; a 1200-baud wire would still be
        // carrying them, and the link reckons so.
        yieldFor(int(expectedBytes * SerialFacility::kCharacterMs) + 1);
    }
    QObject::disconnect(stamp);
    m_report.addRow(QStringLiteral("datagram to wire, %1, %2 datagrams").arg(what).arg(toWire.count()),
                    toWire.latency() + QStringLiteral("; to the link's write: median %1 ms, p99 %2 ms")
                                          .arg(toWrite.median(), 0, 'f', 3)
                                          .arg(toWrite.percentile(99), 0, 'f', 3),
                    QStringLiteral("median < 1 ms, p99 < 5 ms"),
                    BenchReport::verdict(toWire.median() < kGoalMedianMs
                                         && toWire.percentile(99) < kGoalP99Ms));
    return true;
}

// The client runs in a process of its own, so that its sending is not
// counted as the program's. Everything is taken when it ends, and the
// operator's Escape comes at that moment, from inside whatever wait the
// link is in, as a key would.
bool NetBench::measureFlood()
{
    // 5 in clear_refs sets the peak (VmHWM) back to the resident set now.
    QFile clearRefs(QStringLiteral("/proc/self/clear_refs"));
    const bool peakReset = clearRefs.open(QIODevice::WriteOnly) && clearRefs.write("5") == 1;
    clearRefs.close();
    const double rssBefore = statusMB("VmRSS:");
    const qint64 textBefore = m_chip.textTotal();
    const qint64 dropsBefore = udpReceiveDrops();

    // The longest gap between ticks, and how much of it the program's thread
    // ran: busy with the flood, or waiting for a core.
    QElapsedTimer sinceTick;
    qint64 longestTickNs = 0;
    double longestTickCpuMs = 0;
    double tickCpuMs = threadCpuMs();
    int slowTicks = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    auto tick = [&] {
        const qint64 gap = sinceTick.nsecsElapsed();
        const double cpu = threadCpuMs();
        if (ms(gap) >= kGoalStallMs)
            ++slowTicks;
        if (gap > longestTickNs) {
            longestTickNs = gap;
            longestTickCpuMs = cpu - tickCpuMs;
        }
        tickCpuMs = cpu;
        sinceTick.start();
    };
    QObject::connect(&ticker, &QTimer::timeout, tick);
    double peakAtHalf = -1;
    QTimer::singleShot(m_options.floodMs / 2, Qt::PreciseTimer, &ticker,
                       [&peakAtHalf] { peakAtHalf = statusMB("VmHWM:"); });

    QProcess client;
    client.setProgram(QCoreApplication::applicationFilePath());
    client.setArguments({QStringLiteral("--flood-child"), QString::number(m_server->localPort()),
                         QString::number(m_options.floodMs)});
    CpuMeter whole;
    double threadMs = threadCpuMs();
    double peak = -1;
    qint64 textAtEnd = 0;
    bool escaped = false;
    QObject::connect(&client, &QProcess::finished, [&] {
        whole.stop();
        threadMs = threadCpuMs() - threadMs;
        ticker.stop();
        tick();
        peak = statusMB("VmHWM:");
        textAtEnd = m_chip.textTotal();
        m_link->press(Qt::Key_Escape); // back after Escape's pause
        escaped = true;
        m_waker.wake();
    });
    whole.start();
    sinceTick.start();
    ticker.start(10);
    client.start();
    if (!waitInEventLoop(m_waker, [&escaped] { return escaped; }, 0, m_options.floodMs + 20000)) {
        m_report.addFailure(
            QStringLiteral("network keying: the flood's client did not end (%1)").arg(client.errorString()));
        client.kill();
        client.waitForFinished();
        return false;
    }
    // What the link took in during Escape's pause goes out right after it.
    yieldFor(1000);
    const QByteArray sent = client.readAllStandardOutput().trimmed();
    const qint64 dropsAfter = udpReceiveDrops();
    const QString drops = dropsBefore < 0 || dropsAfter < 0 ? QStringLiteral("?")
                                                            : QString::number(dropsAfter - dropsBefore);
    const qint64 afterClear = m_chip.textAtClear() < 0 ? -1 : m_chip.textTotal() - m_chip.textAtClear();

    const double seconds = whole.wallMs() / 1000.0;
    const QString flood = QStringLiteral("flood for %1 s from a second process (in turn: 200-byte text, "
                                         "`ESC2nn`, 300 bytes, 64 bytes of binary garbage; "
                                         "%2 datagrams sent, about %3 dropped by the system "
                                         "at the full receive buffer)")
                              .arg(seconds, 0, 'f', 1)
                              .arg(QString::fromLatin1(sent), drops);
    const double growth = peak - rssBefore;
    const double lateGrowth = peak - peakAtHalf;
    m_report.addRow(flood + QStringLiteral(": peak resident set (VmHWM) over the resident set before"),
                    QStringLiteral("**+%1 MB** (%2 MB before, peak %3 MB; +%4 MB in the second half)")
                        .arg(growth, 0, 'f', 2)
                        .arg(rssBefore, 0, 'f', 1)
                        .arg(peak, 0, 'f', 1)
                        .arg(lateGrowth, 0, 'f', 2),
                    QStringLiteral("bounded (< %1 MB more in the second half)").arg(kGoalLateGrowthMB),
                    BenchReport::verdict(peakReset && peak > 0 && peakAtHalf > 0
                                         && lateGrowth < kGoalLateGrowthMB));
    m_report.addRow(QStringLiteral("flood: processor"),
                    QStringLiteral("**%1 %** of a core, the program's thread %2 % (%3 ms in %4 s; "
                                   "the rest is the pty chip's thread)")
                        .arg(whole.percentOfCore(), 0, 'f', 1)
                        .arg(100.0 * threadMs / whole.wallMs(), 0, 'f', 1)
                        .arg(threadMs, 0, 'f', 0)
                        .arg(seconds, 0, 'f', 1),
                    QStringLiteral("< 1 core"), BenchReport::verdict(whole.percentOfCore() < 100.0));
    m_report.addRow(QStringLiteral("flood: the event loop, a 10 ms timer's longest gap"),
                    QStringLiteral("**%1 ms**, the program's thread running %2 ms of it; "
                                   "%3 gaps of 50 ms or more")
                        .arg(ms(longestTickNs), 0, 'f', 1)
                        .arg(longestTickCpuMs, 0, 'f', 1)
                        .arg(slowTicks),
                    QStringLiteral("< 50 ms"),
                    BenchReport::verdict(ms(longestTickNs) < kGoalStallMs));
    m_report.addRow(QStringLiteral("flood: Escape as the client ends, text bytes after the clear (0A)"),
                    QStringLiteral("**%1** (%2 text bytes keyed during the flood)")
                        .arg(afterClear < 0 ? QStringLiteral("no 0A") : QString::number(afterClear))
                        .arg(textAtEnd - textBefore),
                    QStringLiteral("none"), BenchReport::verdict(afterClear == 0));
    return true;
}

int NetBench::runFlooder(int port, int ms)
{
    const int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return 1;
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_port = htons(quint16(port));
    to.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const QByteArray text = QByteArray("cq test de dl1zzz ").repeated(12).left(200);
    const QByteArray tooLong(300, 'e');
    quint32 seed = 2463534242u;
    auto next = [&seed] {
        seed ^= seed << 13;
        seed ^= seed >> 17;
        seed ^= seed << 5;
        return seed;
    };
    QByteArray garbage(64, 0);
    qint64 sent = 0;
    const qint64 endNs = PtyChip::nowNs() + qint64(ms) * 1000000;
    for (int i = 0; PtyChip::nowNs() < endNs; ++i) {
        QByteArray datagram;
        switch (i % 4) {
        case 0:
            datagram = text;
            break;
        case 1:
            datagram = "\x1B" "2" + QByteArray::number(10 + next() % 40);
            break;
        case 2:
            datagram = tooLong;
            break;
        default:
            for (char &c : garbage)
                c = char(next());
            // Never ESC first: a stray abort would be a request, not garbage.
            garbage[0] = char(garbage[0] | 0x80);
            datagram = garbage;
            break;
        }
        const auto *address = reinterpret_cast<const sockaddr *>(&to);
        if (sendto(fd, datagram.constData(), size_t(datagram.size()), 0, address, sizeof to) > 0)
            ++sent;
    }
    ::close(fd);
    std::printf("%lld\n", static_cast<long long>(sent));
    return 0;
}
