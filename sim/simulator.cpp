// Event-driven run of the simulator: the pty, stdin and a signalfd are
// watched by socket notifiers, and a single timer wakes the chip when its
// current character ends; nothing polls.
#include "simulator.h"

#include "hexbytes.h"

#include <QCoreApplication>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <sys/signalfd.h>
#include <unistd.h>

Simulator::Simulator(const SimSettings &settings, int signalFd, QObject *parent)
    : QObject(parent)
    , m_settings(settings)
    , m_chip(settings.chip)
    , m_link(settings.linkPath)
{
    m_link.setBaud(settings.baud);
    m_keyTimer.setSingleShot(true);
    m_keyTimer.setTimerType(Qt::PreciseTimer);
    if (signalFd >= 0)
        m_signals.setSocket(signalFd);

    connect(&m_link, &PtyLink::received, this, &Simulator::receiveFromPort);
    connect(&m_link, &PtyLink::portOpened, this,
        [this] { m_log.write(SimLog::nowMs(), QStringLiteral("event"), QStringLiteral("port open")); });
    connect(&m_link, &PtyLink::portClosed, this, [this] {
        m_log.write(SimLog::nowMs(), QStringLiteral("event"), QStringLiteral("port close"));
        m_lineLogged.clear();
    });
    connect(&m_keyTimer, &QTimer::timeout, this, &Simulator::keyNext);
    connect(&m_stdin, &QSocketNotifier::activated, this, &Simulator::readStdin);
    connect(&m_signals, &QSocketNotifier::activated, this, &Simulator::readSignal);
}

bool Simulator::start(QString *error)
{
    if (!m_log.open(m_settings.logPath, error) || !m_link.plug(error))
        return false;
    announce(QStringLiteral("ready"));
    m_stdin.setEnabled(true);
    m_signals.setEnabled(m_signals.socket() >= 0);
    return true;
}

void Simulator::receiveFromPort(const QByteArray &bytes)
{
    const double now = SimLog::nowMs();
    // Read here rather than at the open, which the program follows with its
    // settings only a moment later: by the time it writes they are in place.
    const QString line = m_link.lineSettings();
    if (line != m_lineLogged) {
        m_log.write(now, QStringLiteral("event"), QStringLiteral("line ") + line);
        m_lineLogged = line;
    }
    m_log.write(now, QStringLiteral("in"), hexText(bytes));
    if (m_settings.loopback) {
        // No chip behind a loopback plug hears anything.
        sendToPort(bytes, now);
        return;
    }
    m_chip.receive(bytes, now);
    flushChip();
}

void Simulator::keyNext()
{
    m_chip.advance(SimLog::nowMs());
    flushChip();
}

void Simulator::readStdin()
{
    char chunk[1024];
    const ssize_t n = ::read(STDIN_FILENO, chunk, sizeof chunk);
    if (n < 0 && (errno == EINTR || errno == EAGAIN))
        return;
    if (n <= 0) {
        quit();
        return;
    }
    m_stdinBuffer.append(chunk, n);
    qsizetype end;
    while ((end = m_stdinBuffer.indexOf('\n')) >= 0) {
        const QString line = QString::fromLocal8Bit(m_stdinBuffer.left(end)).trimmed();
        m_stdinBuffer.remove(0, end + 1);
        runCommand(line);
    }
}

void Simulator::readSignal()
{
    signalfd_siginfo info {};
    if (::read(int(m_signals.socket()), &info, sizeof info) == ssize_t(sizeof info))
        m_log.write(
            SimLog::nowMs(), QStringLiteral("event"), QStringLiteral("signal %1").arg(info.ssi_signo));
    quit();
}

void Simulator::runCommand(const QString &line)
{
    const QStringList words = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
    if (words.isEmpty())
        return;
    const QString &verb = words.first();
    const double now = SimLog::nowMs();
    if (verb == QLatin1String("pot")) {
        bool ok = false;
        const int pot = words.size() == 2 ? words.at(1).toInt(&ok) : -1;
        if (!ok || pot < 0 || pot > 63) {
            complain(QStringLiteral("pot takes a number from 0 to 63"));
            return;
        }
        m_chip.turnPot(pot, now);
        flushChip();
    } else if (verb == QLatin1String("raw")) {
        const auto bytes = parseHexBytes(QStringView(line).mid(3));
        if (!bytes) {
            complain(QStringLiteral("raw takes hexadecimal bytes, for example: raw C5 8F C4"));
            return;
        }
        sendToPort(*bytes, now);
    } else if (line == QLatin1String("xoff")) {
        m_chip.pauseKeying(now);
        flushChip();
    } else if (line == QLatin1String("xon")) {
        m_chip.resumeKeying(now);
        flushChip();
    } else if (verb == QLatin1String("silent") || verb == QLatin1String("loopback")) {
        const QString mode = words.size() == 2 ? words.at(1) : QString();
        if (mode != QLatin1String("on") && mode != QLatin1String("off")) {
            complain(QStringLiteral("%1 takes on or off").arg(verb));
            return;
        }
        if (verb == QLatin1String("silent"))
            m_chip.setSilent(mode == QLatin1String("on"));
        else
            m_settings.loopback = mode == QLatin1String("on");
        m_log.write(now, QStringLiteral("event"), verb + QLatin1Char(' ') + mode);
    } else if (line == QLatin1String("unplug-after-block")) {
        m_unplugAfterBlock = true;
        m_log.write(now, QStringLiteral("event"), line);
    } else if (line == QLatin1String("unplug")) {
        if (m_link.isPlugged())
            unplug();
        else
            complain(QStringLiteral("already unplugged"));
    } else if (line == QLatin1String("plug")) {
        if (m_link.isPlugged())
            complain(QStringLiteral("already plugged in"));
        else
            plug();
    } else if (line == QLatin1String("quit")) {
        quit();
    } else {
        complain(QStringLiteral("unknown command: %1").arg(line));
    }
}

void Simulator::plug()
{
    QString error;
    if (!m_link.plug(&error)) {
        complain(error);
        return;
    }
    announce(QStringLiteral("plug"));
}

void Simulator::announce(const QString &event)
{
    m_log.write(SimLog::nowMs(), QStringLiteral("event"), event + QLatin1Char(' ') + m_link.devicePath());
    // Tests wait for this line before they open the link.
    std::fprintf(stderr, "ready %s -> %s\n", qPrintable(m_link.linkPath()), qPrintable(m_link.devicePath()));
}

void Simulator::unplug()
{
    m_link.unplug();
    m_lineLogged.clear();
    // The chip loses its power with the adapter.
    m_chip.reset();
    m_chip.takeOutput();
    m_chip.takeEvents();
    m_keyTimer.stop();
    m_log.write(SimLog::nowMs(), QStringLiteral("event"), QStringLiteral("unplug"));
    if (m_midLine)
        printLine(QString());
}

void Simulator::quit()
{
    m_stdin.setEnabled(false);
    m_signals.setEnabled(false);
    m_keyTimer.stop();
    m_link.unplug();
    if (m_midLine)
        printLine(QString());
    QCoreApplication::exit(0);
}

void Simulator::flushChip()
{
    const double now = SimLog::nowMs();
    const QList<ChipEvent> events = m_chip.takeEvents();
    bool block = false;
    for (const ChipEvent &event : events) {
        switch (event.kind) {
        case ChipEvent::Kind::Keyed:
            // The character, then the speed it is keyed at: "A 30", "  30" for a blank.
            m_log.write(
                event.t, QStringLiteral("key"), event.text + QLatin1Char(' ') + QString::number(event.wpm));
            if (!m_settings.quiet)
                printKeyed(event.text);
            break;
        case ChipEvent::Kind::Tune:
            m_log.write(event.t, QStringLiteral("event"), QStringLiteral("tune ") + event.text);
            printLine(QStringLiteral("TUNE ") + event.text.toUpper());
            break;
        case ChipEvent::Kind::Note:
            m_log.write(event.t, QStringLiteral("event"), event.text);
            block = block || event.text.startsWith(QLatin1String("block "));
            break;
        }
    }
    const QByteArray output = m_chip.takeOutput();
    if (!output.isEmpty())
        sendToPort(output, now);
    if (block && m_unplugAfterBlock) {
        m_unplugAfterBlock = false;
        unplug();
        return;
    }
    if (m_midLine && !m_chip.isKeying() && m_chip.buffered() == 0)
        printLine(QString());

    if (const auto deadline = m_chip.nextDeadline())
        m_keyTimer.start(std::max(0, int(std::ceil(*deadline - now))));
    else
        m_keyTimer.stop();
}

void Simulator::sendToPort(const QByteArray &bytes, double now)
{
    if (!m_link.isListening()) {
        const QString why = m_link.isPlugged() ? QStringLiteral("port closed") : QStringLiteral("unplugged");
        m_log.write(now, QStringLiteral("event"), QStringLiteral("lost %1 (%2)").arg(hexText(bytes), why));
        return;
    }
    // Logged first: whoever reads the bytes finds them in the log already.
    m_log.write(now, QStringLiteral("out"), hexText(bytes));
    m_link.write(bytes);
}

void Simulator::printKeyed(const QString &text)
{
    std::fputs(qPrintable(text), stdout);
    std::fflush(stdout);
    m_midLine = true;
}

void Simulator::printLine(const QString &line)
{
    if (m_midLine)
        std::fputc('\n', stdout);
    m_midLine = false;
    if (!line.isEmpty())
        std::fprintf(stdout, "%s\n", qPrintable(line));
    std::fflush(stdout);
}

void Simulator::complain(const QString &message)
{
    std::fprintf(stderr, "zavokeyer-sim: %s\n", qPrintable(message));
}
