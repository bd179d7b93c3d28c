// Everything the harness reports comes from the simulator's own log file,
// written line by line as things happen: no state here can drift from what
// really crossed the line.
#include "simharness.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>
#include <QTest>

#include <utility>

SimHarness::SimHarness(QStringList extraArgs)
    : m_extraArgs(std::move(extraArgs))
{
    // stdout joins the test's output; stderr is read here for the ready line.
    m_process.setProcessChannelMode(QProcess::ForwardedOutputChannel);
}

SimHarness::~SimHarness()
{
    stop();
}

bool SimHarness::start(int timeoutMs)
{
    const QStringList args = QStringList{QStringLiteral("--link"), linkPath(), QStringLiteral("--log"),
                                         m_dir.filePath(QStringLiteral("sim.log")), QStringLiteral("--quiet")}
        + m_extraArgs;
    m_process.start(QStringLiteral(ZAVO_SIM_PATH), args);
    const auto readyOrGone = [this] {
        m_stderr += m_process.readAllStandardError();
        const qsizetype ready = m_stderr.indexOf("ready ");
        return (ready >= 0 && m_stderr.indexOf('\n', ready) > ready)
            || m_process.state() == QProcess::NotRunning;
    };
    if (!m_dir.isValid() || !QTest::qWaitFor(readyOrGone, timeoutMs) || m_process.state() != QProcess::Running
        || !QFileInfo(linkPath()).isSymLink()) {
        qWarning() << "SimHarness: the simulator did not get ready:" << m_process.errorString()
                   << m_stderr.trimmed();
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
    if (!m_process.waitForFinished(3000)) {
        m_process.kill();
        m_process.waitForFinished(2000);
    }
    // Complaints about commands would otherwise go unseen.
    for (const QByteArray &line : (m_stderr + m_process.readAllStandardError()).split('\n')) {
        if (line.startsWith("zavokeyer-sim:"))
            qWarning() << "SimHarness:" << line;
    }
}

QString SimHarness::linkPath() const
{
    return m_dir.filePath(QStringLiteral("winkey"));
}

void SimHarness::command(const QString &line)
{
    m_process.write(line.toUtf8() + '\n');
    m_process.waitForBytesWritten(3000);
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
    QFile file(m_dir.filePath(QStringLiteral("sim.log")));
    QList<LogEntry> entries;
    if (!file.open(QIODevice::ReadOnly))
        return entries;
    // Lines "<t> <kind> <rest>"; a line without its end is still being written.
    const QList<QByteArray> lines = file.readAll().split('\n');
    for (qsizetype i = 0; i + 1 < lines.size(); ++i) {
        const QList<QByteArray> parts = lines.at(i).split(' ');
        LogEntry entry;
        bool ok = false;
        entry.t = parts.constFirst().toDouble(&ok);
        if (!ok || parts.size() < 3)
            continue;
        entry.kind = QString::fromLatin1(parts.at(1));
        const QByteArray rest = lines.at(i).mid(parts.at(0).size() + parts.at(1).size() + 2);
        entry.text = QString::fromUtf8(rest);
        if (entry.kind == QLatin1String("in") || entry.kind == QLatin1String("out")) {
            entry.bytes = QByteArray::fromHex(rest);
        } else if (entry.kind == QLatin1String("key")) {
            // "<characters> <wpm>": the characters may be a blank, so the
            // speed is what follows the last space.
            const qsizetype space = rest.lastIndexOf(' ');
            entry.bytes = rest.left(space);
            entry.wpm = rest.mid(space + 1).toInt();
        }
        entries.append(entry);
    }
    return entries;
}

QString SimHarness::keyed() const
{
    return QString::fromUtf8(bytesOfKind(QStringLiteral("key")));
}

QList<KeyedAt> SimHarness::keyedAt() const
{
    QList<KeyedAt> keyed;
    for (const LogEntry &entry : log()) {
        if (entry.kind == QLatin1String("key"))
            keyed.append({ QString::fromUtf8(entry.bytes), entry.wpm });
    }
    return keyed;
}

bool SimHarness::waitForReceived(int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return received().size() >= count; }, timeoutMs);
}

QStringList SimHarness::events(const QString &prefix) const
{
    QStringList texts;
    for (const LogEntry &e : log()) {
        if (e.kind == QLatin1String("event") && e.text.startsWith(prefix))
            texts << e.text;
    }
    return texts;
}

bool SimHarness::waitForEvent(const QString &prefix, int count, int timeoutMs)
{
    return QTest::qWaitFor([&] { return events(prefix).size() >= count; }, timeoutMs);
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
