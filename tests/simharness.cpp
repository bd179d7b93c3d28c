// The simulator harness. Everything it reports comes from the simulator's
// own log file, written line by line as things happen, so the harness holds
// no state of its own that could drift from what really crossed the line.
#include "simharness.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <utility>

namespace {

constexpr int kQuitWaitMs = 3000;
constexpr int kKillWaitMs = 2000;

} // namespace

SimHarness::SimHarness(QStringList extraArgs)
    : m_extraArgs(std::move(extraArgs))
{
    // The simulator's stdout (TUNE lines, keyed text without --quiet) joins
    // the test's own output; stderr is read here for the ready line.
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
}

SimHarness::~SimHarness()
{
    stop();
}

bool SimHarness::start(int timeoutMs)
{
    if (isRunning())
        return true;
    if (!m_dir.isValid()) {
        qWarning() << "SimHarness: no temporary folder:" << m_dir.errorString();
        return false;
    }
    QStringList args { QStringLiteral("--link"), linkPath(), QStringLiteral("--log"), logPath(),
        QStringLiteral("--quiet") };
    args += m_extraArgs;
    m_stderr.clear();
    m_process.start(QStringLiteral(ZAVO_SIM_PATH), args);
    if (!m_process.waitForStarted(timeoutMs)) {
        qWarning() << "SimHarness: cannot start" << ZAVO_SIM_PATH << m_process.errorString();
        return false;
    }
    const auto readyOrGone = [this] {
        m_stderr += m_process.readAllStandardError();
        const qsizetype ready = m_stderr.indexOf("ready ");
        return (ready >= 0 && m_stderr.indexOf('\n', ready) > ready)
            || m_process.state() == QProcess::NotRunning;
    };
    if (!QTest::qWaitFor(readyOrGone, timeoutMs) || !isRunning() || !QFileInfo(linkPath()).isSymLink()) {
        qWarning() << "SimHarness: the simulator did not get ready:" << m_stderr.trimmed();
        stop();
        return false;
    }
    return true;
}

void SimHarness::stop()
{
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.write("quit\n");
    m_process.closeWriteChannel();
    if (!m_process.waitForFinished(kQuitWaitMs)) {
        m_process.terminate();
        if (!m_process.waitForFinished(kKillWaitMs)) {
            m_process.kill();
            m_process.waitForFinished(kKillWaitMs);
        }
    }
    m_stderr += m_process.readAllStandardError();
    // Complaints about commands would otherwise go unseen.
    for (const QByteArray &line : m_stderr.split('\n')) {
        if (line.startsWith("zavokeyer-sim:"))
            qWarning() << "SimHarness:" << line;
    }
}

bool SimHarness::isRunning() const
{
    return m_process.state() == QProcess::Running;
}

QString SimHarness::linkPath() const
{
    return m_dir.filePath(QStringLiteral("winkey"));
}

QString SimHarness::logPath() const
{
    return m_dir.filePath(QStringLiteral("sim.log"));
}

void SimHarness::command(const QString &line)
{
    if (!isRunning()) {
        qWarning() << "SimHarness: the simulator is not running, dropped command" << line;
        return;
    }
    m_process.write(line.toUtf8() + '\n');
    m_process.waitForBytesWritten(kQuitWaitMs);
}

QByteArray SimHarness::received() const
{
    return bytesOfKind(QStringLiteral("in"));
}

QByteArray SimHarness::sent() const
{
    return bytesOfKind(QStringLiteral("out"));
}

QList<LogEntry> SimHarness::log() const
{
    QFile file(logPath());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return parseLog(file.readAll());
}

QString SimHarness::keyed() const
{
    QString text;
    for (const LogEntry &entry : log()) {
        if (entry.kind == QLatin1String("key"))
            text += entry.text;
    }
    return text;
}

bool SimHarness::waitForReceived(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return received().size() >= count; }, timeoutMs);
}

bool SimHarness::waitForLog(const std::function<bool(const QList<LogEntry> &)> &pred, int timeoutMs)
{
    return QTest::qWaitFor([&] { return pred(log()); }, timeoutMs);
}

QList<LogEntry> SimHarness::parseLog(const QByteArray &text)
{
    QList<LogEntry> entries;
    qsizetype start = 0;
    // A line without its end is still being written: it counts next time.
    for (qsizetype end; (end = text.indexOf('\n', start)) >= 0; start = end + 1) {
        const QByteArray line = text.mid(start, end - start);
        const qsizetype firstBlank = line.indexOf(' ');
        const qsizetype secondBlank = line.indexOf(' ', firstBlank + 1);
        if (firstBlank <= 0 || secondBlank < 0)
            continue;
        LogEntry entry;
        bool ok = false;
        entry.t = line.left(firstBlank).toDouble(&ok);
        if (!ok)
            continue;
        entry.kind = QString::fromLatin1(line.mid(firstBlank + 1, secondBlank - firstBlank - 1));
        const QByteArray rest = line.mid(secondBlank + 1);
        entry.text = QString::fromUtf8(rest);
        if (entry.kind == QLatin1String("in") || entry.kind == QLatin1String("out"))
            entry.bytes = QByteArray::fromHex(rest);
        else if (entry.kind == QLatin1String("key"))
            entry.bytes = rest;
        entries.append(entry);
    }
    return entries;
}

QByteArray SimHarness::bytesOfKind(const QString &kind) const
{
    QByteArray bytes;
    for (const LogEntry &entry : log()) {
        if (entry.kind == kind)
            bytes += entry.bytes;
    }
    return bytes;
}
