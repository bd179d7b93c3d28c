#include "remoteline.h"

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QStandardPaths>
#include <QTcpServer>
#include <QThread>

namespace {

constexpr int kComeUpMs = 5000;

// ser2net lives in sbin, which a user's PATH may not hold.
QString findTool(const QString &name)
{
    const QString found = QStandardPaths::findExecutable(name);
    return found.isEmpty()
        ? QStandardPaths::findExecutable(name, { QStringLiteral("/usr/sbin"), QStringLiteral("/sbin") })
        : found;
}

} // namespace

RemoteLine::~RemoteLine()
{
    stop();
}

bool RemoteLine::fail(const QString &why)
{
    m_errorText = why;
    stop();
    return false;
}

bool RemoteLine::start(const QString &devicePath)
{
    const QString ser2net = findTool(QStringLiteral("ser2net"));
    const QString socat = findTool(QStringLiteral("socat"));
    if (ser2net.isEmpty() || socat.isEmpty())
        return fail(
            QStringLiteral("ser2net or socat is not installed (scripts/install-deps.sh installs them)"));
    if (!m_dir.isValid())
        return fail(QStringLiteral("no temporary folder for ser2net's configuration"));

    // A port the system has just handed out and taken back: free for ser2net.
    QTcpServer probe;
    if (!probe.listen(QHostAddress::LocalHost))
        return fail(QStringLiteral("no free TCP port on loopback"));
    const quint16 port = probe.serverPort();
    probe.close();

    // The station's configuration, less dtr and rts: a pty has no modem lines
    // and ser2net will not open one it is asked to set them on.
    QFile config(m_dir.filePath(QStringLiteral("ser2net.yaml")));
    if (!config.open(QIODevice::WriteOnly)
        || config.write(QStringLiteral("connection: &winkey\n  accepter: tcp(nodelay),127.0.0.1,%1\n"
                                       "  connector: serialdev,%2,1200n81,local\n"
                                       "  options:\n    kickolduser: true\n")
                            .arg(port)
                            .arg(devicePath)
                            .toUtf8())
            < 0
        || !config.flush())
        return fail(QStringLiteral("could not write ser2net's configuration"));
    config.close();

    // In the foreground, with its own pid file and no UUCP lock: a ser2net
    // service of the machine's is neither used nor disturbed.
    m_ser2net.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_ser2net.setStandardOutputFile(QProcess::nullDevice());
    m_ser2net.start(ser2net,
        { QStringLiteral("-n"), QStringLiteral("-u"), QStringLiteral("-c"), config.fileName(),
            QStringLiteral("-P"), m_dir.filePath(QStringLiteral("ser2net.pid")) });
    if (!m_ser2net.waitForStarted(kComeUpMs))
        return fail(QStringLiteral("ser2net did not start: %1").arg(m_ser2net.errorString()));
    // As in the manual, socat connects first (retrying until ser2net listens)
    // and makes its pty once the station answers.
    m_socat.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_socat.start(socat,
        { QStringLiteral("tcp:127.0.0.1:%1,nodelay,retry=50,interval=0.1").arg(port),
            QStringLiteral("pty,link=%1,rawer").arg(localPath()) });
    if (!m_socat.waitForStarted(kComeUpMs))
        return fail(QStringLiteral("socat did not start: %1").arg(m_socat.errorString()));
    const QDeadlineTimer deadline(kComeUpMs);
    while (!QFileInfo::exists(localPath())) {
        if (deadline.hasExpired() || m_socat.state() == QProcess::NotRunning)
            return fail(QStringLiteral("socat made no pty at %1").arg(localPath()));
        QThread::msleep(10);
    }
    return true;
}

void RemoteLine::stop()
{
    for (QProcess *process : { &m_socat, &m_ser2net }) {
        if (process->state() == QProcess::NotRunning)
            continue;
        process->terminate();
        if (!process->waitForFinished(2000)) {
            process->kill();
            process->waitForFinished(2000);
        }
    }
}
