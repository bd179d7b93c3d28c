// Pseudo-terminal, symbolic link and open/close watch.
#include "ptylink.h"

#include "simlog.h"

#include <QFile>
#include <QFileInfo>
#include <QStringList>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <utility>
#include <fcntl.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

PtyLink::PtyLink(const QString &linkPath, QObject *parent)
    : QObject(parent)
    , m_linkPath(linkPath)
{
    m_retry.setSingleShot(true);
    m_retry.setInterval(kRetryMs);

    connect(&m_masterReadable, &QSocketNotifier::activated, this, &PtyLink::readMaster);
    connect(&m_masterWritable, &QSocketNotifier::activated, this, &PtyLink::writeMaster);
    connect(&m_watchReadable, &QSocketNotifier::activated, this, &PtyLink::readWatch);
    connect(&m_retry, &QTimer::timeout, this, [this] { m_masterReadable.setEnabled(isPlugged()); });
    m_pace.setTimerType(Qt::PreciseTimer);
    connect(&m_pace, &QTimer::timeout, this, &PtyLink::carry);
}

void PtyLink::setBaud(int baud)
{
    m_byteMs = baud > 0 ? 10000.0 / baud : 0;
    m_pace.setInterval(std::max(1, int(m_byteMs)));
}

PtyLink::~PtyLink()
{
    unplug();
}

bool PtyLink::plug(QString *error)
{
    if (isPlugged())
        return true;
    const auto fail = [&](const QString &what) {
        *error = QStringLiteral("%1: %2").arg(what, QString::fromLocal8Bit(std::strerror(errno)));
        unplug();
        return false;
    };

    m_master = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (m_master < 0)
        return fail(QStringLiteral("posix_openpt"));
    if (grantpt(m_master) != 0 || unlockpt(m_master) != 0)
        return fail(QStringLiteral("grantpt/unlockpt"));
    char name[128] = {};
    if (ptsname_r(m_master, name, sizeof name) != 0)
        return fail(QStringLiteral("ptsname"));
    m_devicePath = QString::fromLocal8Bit(name);

    // Raw bytes both ways: no echo, no line editing, no CR/LF mapping. The
    // settings belong to the slave, so the program finds them in place. The
    // speed is a fresh USB adapter's, 9600: a program that never sets its
    // own shows so in the log.
    termios tio {};
    if (tcgetattr(m_master, &tio) != 0)
        return fail(QStringLiteral("tcgetattr"));
    cfmakeraw(&tio);
    cfsetspeed(&tio, B9600);
    if (tcsetattr(m_master, TCSANOW, &tio) != 0)
        return fail(QStringLiteral("tcsetattr"));
    if (fcntl(m_master, F_SETFL, fcntl(m_master, F_GETFL) | O_NONBLOCK) != 0)
        return fail(QStringLiteral("fcntl"));
    int packetMode = m_byteMs > 0 ? 1 : 0;
    if (ioctl(m_master, TIOCPKT, &packetMode) != 0)
        return fail(QStringLiteral("TIOCPKT"));

    m_keepAlive = ::open(name, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    if (m_keepAlive < 0)
        return fail(QStringLiteral("open %1").arg(m_devicePath));

    // Opened after our own descriptor, so only other openers are counted.
    // Without inotify every byte is delivered, as if the port were open.
    m_openers = 0;
    m_watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_watch >= 0 && inotify_add_watch(m_watch, name, IN_OPEN | IN_CLOSE) < 0) {
        ::close(m_watch);
        m_watch = -1;
    }

    if (!publishLink(error)) {
        unplug();
        return false;
    }

    m_masterReadable.setSocket(m_master);
    m_masterReadable.setEnabled(true);
    m_masterWritable.setSocket(m_master);
    if (m_watch >= 0) {
        m_watchReadable.setSocket(m_watch);
        m_watchReadable.setEnabled(true);
    }
    return true;
}

void PtyLink::unplug()
{
    m_retry.stop();
    m_masterReadable.setEnabled(false);
    m_masterWritable.setEnabled(false);
    m_watchReadable.setEnabled(false);
    if (m_master >= 0)
        removeLink();
    for (int *fd : { &m_watch, &m_keepAlive, &m_master }) {
        if (*fd >= 0)
            ::close(*fd);
        *fd = -1;
    }
    m_openers = 0;
    m_pending.clear();
    m_line.clear();
    m_pace.stop();
    m_devicePath.clear();
}

bool PtyLink::isListening()
{
    if (!isPlugged())
        return false;
    // The program opens the port and writes at once; its open must be
    // counted before we decide whether anybody listens.
    readWatch();
    return m_watch < 0 || m_openers > 0;
}

void PtyLink::write(const QByteArray &bytes)
{
    if (!isListening())
        return;
    m_pending.append(bytes);
    writeMaster();
}

QString PtyLink::lineSettings() const
{
    termios tio {};
    if (m_keepAlive < 0 || tcgetattr(m_keepAlive, &tio) != 0)
        return {};
    static constexpr std::pair<speed_t, int> kSpeeds[] = {
        {B0, 0}, {B50, 50}, {B75, 75}, {B110, 110}, {B134, 134}, {B150, 150}, {B200, 200},
        {B300, 300}, {B600, 600}, {B1200, 1200}, {B1800, 1800}, {B2400, 2400}, {B4800, 4800},
        {B9600, 9600}, {B19200, 19200}, {B38400, 38400}, {B57600, 57600}, {B115200, 115200},
        {B230400, 230400}, {B460800, 460800}, {B921600, 921600},
    };
    const speed_t speed = cfgetospeed(&tio);
    QString baud = QStringLiteral("code %1").arg(speed);
    for (const auto &[code, rate] : kSpeeds) {
        if (code == speed)
            baud = QString::number(rate);
    }
    QStringList handshake;
    if (tio.c_cflag & CRTSCTS)
        handshake << QStringLiteral("crtscts");
    if (tio.c_iflag & IXON)
        handshake << QStringLiteral("ixon");
    if (tio.c_iflag & IXOFF)
        handshake << QStringLiteral("ixoff");
    if (handshake.isEmpty())
        handshake << QStringLiteral("none");
    return QStringLiteral("%1 baud stop %2 handshake %3")
        .arg(baud, (tio.c_cflag & CSTOPB) ? QStringLiteral("2") : QStringLiteral("1"), handshake.join(u' '));
}

void PtyLink::readMaster()
{
    // An open that came with these bytes is reported before them.
    readWatch();
    QByteArray bytes;
    char chunk[512];
    for (;;) {
        const ssize_t n = ::read(m_master, chunk, sizeof chunk);
        if (n > 0 && m_byteMs > 0) {
            // In packet mode every read starts with a status byte: 0 for data.
            if (chunk[0] & TIOCPKT_FLUSHWRITE) {
                bytes.clear();
                m_line.clear();
            }
            if (chunk[0] == TIOCPKT_DATA)
                bytes.append(chunk + 1, n - 1);
            continue;
        }
        if (n > 0) {
            bytes.append(chunk, n);
            continue;
        }
        if (n < 0 && errno == EINTR)
            continue;
        if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
            // EIO means no slave is open; our own descriptor should prevent
            // that, but if it happens anyway, look again a little later
            // rather than poll a hung-up master in a tight loop.
            m_masterReadable.setEnabled(false);
            m_retry.start();
        }
        break;
    }
    if (m_byteMs > 0) {
        // An idle line starts on the first of these bytes now.
        if (m_line.isEmpty())
            m_carriedAt = SimLog::nowMs();
        m_line += bytes;
        if (!m_line.isEmpty() && !m_pace.isActive())
            m_pace.start();
    } else if (!bytes.isEmpty()) {
        emit received(bytes);
    }
}

void PtyLink::carry()
{
    const auto due = std::min(m_line.size(), qsizetype((SimLog::nowMs() - m_carriedAt) / m_byteMs));
    const QByteArray bytes = m_line.left(due);
    m_line.remove(0, due);
    m_carriedAt += double(due) * m_byteMs;
    if (m_line.isEmpty())
        m_pace.stop();
    if (!bytes.isEmpty())
        emit received(bytes);
}

void PtyLink::writeMaster()
{
    while (!m_pending.isEmpty() && m_master >= 0) {
        const ssize_t n = ::write(m_master, m_pending.constData(), size_t(m_pending.size()));
        if (n > 0) {
            m_pending.remove(0, n);
        } else if (n < 0 && errno == EINTR) {
            continue;
        } else if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
            break;
        } else {
            m_pending.clear();
        }
    }
    m_masterWritable.setEnabled(!m_pending.isEmpty() && m_master >= 0);
}

void PtyLink::readWatch()
{
    if (m_watch < 0)
        return;
    alignas(inotify_event) char events[4096];
    for (;;) {
        const ssize_t n = ::read(m_watch, events, sizeof events);
        if (n <= 0)
            break;
        for (ssize_t offset = 0; offset < n;) {
            inotify_event event;
            std::memcpy(&event, events + offset, sizeof event);
            offset += ssize_t(sizeof event) + event.len;
            if (event.mask & IN_OPEN) {
                if (++m_openers == 1)
                    emit portOpened();
            } else if ((event.mask & IN_CLOSE) && m_openers > 0) {
                if (--m_openers == 0) {
                    // Closing a real port discards what it had not read yet.
                    tcflush(m_keepAlive, TCIFLUSH);
                    // QSerialPort opens ttys exclusively; our descriptor keeps the
                    // tty alive, so a program that died with the port open would
                    // leave it locked against its own next start.
                    ioctl(m_keepAlive, TIOCNXCL);
                    m_pending.clear();
                    emit portClosed();
                }
            }
        }
    }
}

bool PtyLink::publishLink(QString *error)
{
    const QByteArray link = QFile::encodeName(m_linkPath);
    struct stat st {
    };
    if (lstat(link.constData(), &st) == 0 && !S_ISLNK(st.st_mode)) {
        *error = QStringLiteral("%1 exists and is not a symbolic link").arg(m_linkPath);
        return false;
    }
    // A temporary name renamed over the old link: the path never vanishes
    // between two runs that reuse it.
    const QByteArray temporary = link + ".new" + QByteArray::number(getpid());
    ::unlink(temporary.constData());
    if (symlink(QFile::encodeName(m_devicePath).constData(), temporary.constData()) != 0
        || rename(temporary.constData(), link.constData()) != 0) {
        *error = QStringLiteral("cannot create the link %1: %2")
                     .arg(m_linkPath, QString::fromLocal8Bit(std::strerror(errno)));
        ::unlink(temporary.constData());
        return false;
    }
    return true;
}

void PtyLink::removeLink()
{
    // Another simulator may have taken the path over meanwhile: leave its link alone.
    if (QFileInfo(m_linkPath).symLinkTarget() == m_devicePath)
        QFile::remove(m_linkPath);
}
