#include "ptychip.h"

#include <algorithm>

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <string.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr char kAdmin = 0x00;
constexpr char kAdminHostOpen = 0x02;
constexpr char kAdminEcho = 0x04;
constexpr char kGetSpeedPot = 0x07;
constexpr char kClearBuffer = 0x0A;
constexpr char kLoadDefaults = 0x0F;
// The argument bytes of each command 01..1F, so that none is taken for a
// command or for text. Merge letters (1B) has letters, counted as text.
constexpr int kArguments[0x20] = {0, 1, 1, 1, 2, 3, 1, 0, 0, 1, 0, 1, 1, 1, 1, 15,
                                  1, 1, 1, 0, 1, 0, 1, 1, 1, 1, 1, 0, 1, 1, 0, 0};

} // namespace

PtyChip::PtyChip(QObject *parent)
    : QObject(parent)
{
}

PtyChip::~PtyChip()
{
    stop();
}

qint64 PtyChip::nowNs()
{
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return qint64(ts.tv_sec) * 1000000000 + ts.tv_nsec;
}

bool PtyChip::start()
{
    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0 || grantpt(m_master) != 0 || unlockpt(m_master) != 0) {
        m_errorText = QStringLiteral("posix_openpt: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    char name[128] = {};
    if (ptsname_r(m_master, name, sizeof name) != 0) {
        m_errorText = QStringLiteral("ptsname: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_portPath = QString::fromLocal8Bit(name);
    m_slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_slave < 0) {
        m_errorText = QStringLiteral("%1: %2").arg(m_portPath, QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    // Raw from the start: a pty echoes by default, and an echo would hand
    // the program its own bytes back before its port has set the line up.
    termios raw{};
    tcgetattr(m_slave, &raw);
    cfmakeraw(&raw);
    tcsetattr(m_slave, TCSANOW, &raw);
    if (pipe2(m_wakePipe, O_CLOEXEC) != 0) {
        m_errorText = QStringLiteral("pipe: %1").arg(QString::fromLocal8Bit(strerror(errno)));
        return false;
    }
    m_thread = std::thread([this] { listen(); });
    return true;
}

void PtyChip::stop()
{
    if (m_thread.joinable()) {
        const char quit = 'q';
        [[maybe_unused]] const auto n = ::write(m_wakePipe[1], &quit, 1);
        m_thread.join();
    }
    for (int *fd : {&m_master, &m_slave, &m_wakePipe[0], &m_wakePipe[1]}) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
}

void PtyChip::send(const QByteArray &bytes)
{
    if (m_master >= 0)
        [[maybe_unused]] const auto n = ::write(m_master, bytes.constData(), size_t(bytes.size()));
}

std::optional<qint64> PtyChip::startupEndNs() const
{
    std::lock_guard lock(m_mutex);
    return m_startupEndNs;
}

std::optional<qint64> PtyChip::blockStartNs() const
{
    std::lock_guard lock(m_mutex);
    return m_blockStartNs;
}

void PtyChip::forgetStartup()
{
    std::lock_guard lock(m_mutex);
    m_startupEndNs.reset();
    m_blockStartNs.reset();
}

std::optional<qint64> PtyChip::textReachedNs(qint64 total) const
{
    std::lock_guard lock(m_mutex);
    const auto it = std::lower_bound(m_arrivals.cbegin(), m_arrivals.cend(), total,
                                     [](const Arrival &a, qint64 t) { return a.textTotal < t; });
    if (it == m_arrivals.cend())
        return std::nullopt;
    return it->ns;
}

std::optional<qint64> PtyChip::byteReachedNs(qint64 total) const
{
    std::lock_guard lock(m_mutex);
    const auto it = std::lower_bound(m_arrivals.cbegin(), m_arrivals.cend(), total,
                                     [](const Arrival &a, qint64 t) { return a.byteTotal < t; });
    if (it == m_arrivals.cend())
        return std::nullopt;
    return it->ns;
}

void PtyChip::listen()
{
    pollfd fds[2] = {{m_master, POLLIN, 0}, {m_wakePipe[0], POLLIN, 0}};
    char buffer[4096];
    for (;;) {
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        // Stamped before the read: this is when the bytes became readable.
        const qint64 ns = nowNs();
        if (fds[1].revents)
            return;
        if (!(fds[0].revents & POLLIN))
            continue;
        const ssize_t n = ::read(m_master, buffer, sizeof buffer);
        if (n <= 0)
            continue;
        take(QByteArray(buffer, qsizetype(n)), ns);
        emit received();
    }
}

void PtyChip::take(const QByteArray &bytes, qint64 ns)
{
    for (const char c : bytes) {
        switch (m_parse) {
        case Parse::Admin:
            m_parse = c == kAdminEcho ? Parse::EchoArgument : Parse::Command;
            if (c == kAdminHostOpen)
                answer(kRevision);
            continue;
        case Parse::EchoArgument:
            answer(quint8(c));
            m_parse = Parse::Command;
            continue;
        case Parse::Skip:
            if (--m_skip == 0)
                m_parse = Parse::Command;
            continue;
        case Parse::Command:
            break;
        }
        if (c > 0 && c < 0x20 && kArguments[int(c)] > 0) {
            m_parse = Parse::Skip;
            m_skip = kArguments[int(c)];
        }
        if (c == kAdmin) {
            m_parse = Parse::Admin;
        } else if (c == kLoadDefaults) {
            std::lock_guard lock(m_mutex);
            if (!m_blockStartNs)
                m_blockStartNs = ns;
        } else if (c == kClearBuffer) {
            m_textAtClear.store(m_textSeen);
        } else if (c == kGetSpeedPot) {
            answer(0x80 | kPot);
            std::lock_guard lock(m_mutex);
            if (!m_startupEndNs)
                m_startupEndNs = ns;
        } else if (c >= 0x20 && c < 0x7F) {
            if (++m_textSeen == m_xoffAt.load())
                answer(kXoff);
        }
    }
    m_bytesSeen += bytes.size();
    std::lock_guard lock(m_mutex);
    m_arrivals.append({ns, m_textSeen, m_bytesSeen});
    m_textTotal.store(m_textSeen);
    m_byteTotal.store(m_bytesSeen);
}

void PtyChip::answer(quint8 byte)
{
    const char c = char(byte);
    [[maybe_unused]] const auto n = ::write(m_master, &c, 1);
}
