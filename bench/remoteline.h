// A remote station's line on loopback, for the benchmark: Debian's ser2net
// serves a serial device over TCP as a station would, and socat gives it a
// local pseudo-terminal as the operator's machine would. The program opens
// localPath() and its bytes reach the device through both.
#pragma once

#include <QProcess>
#include <QString>
#include <QTemporaryDir>

class RemoteLine
{
public:
    RemoteLine() = default;
    ~RemoteLine();
    RemoteLine(const RemoteLine &) = delete;
    RemoteLine &operator=(const RemoteLine &) = delete;

    // Starts both for the device at devicePath; false (with errorText) when
    // either is missing or does not come up.
    bool start(const QString &devicePath);
    void stop();
    QString errorText() const { return m_errorText; }
    QString localPath() const { return m_dir.filePath(QStringLiteral("winkey")); }

private:
    bool fail(const QString &why);

    QTemporaryDir m_dir;
    QProcess m_ser2net;
    QProcess m_socat;
    QString m_errorText;
};
