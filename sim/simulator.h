// One simulated chip on a pseudo-terminal: wires the chip model to the pty,
// the log, stdout (keyed characters) and stdin (the operator's commands).
#pragma once

#include "chipmodel.h"
#include "ptylink.h"
#include "simlog.h"
#include "simsettings.h"

#include <QByteArray>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

class Simulator : public QObject
{
    Q_OBJECT
public:
    // signalFd: a signalfd for the signals that end the run, or -1.
    Simulator(const SimSettings &settings, int signalFd, QObject *parent = nullptr);

    // Opens the log and the pty and announces the link on stderr.
    bool start(QString *error);

private:
    void receiveFromPort(const QByteArray &bytes);
    void keyNext();
    void readStdin();
    void readSignal();
    void runCommand(const QString &line);
    void plug();
    void unplug();
    // The ready line on stderr and the event in the log, after every plug.
    void announce(const QString &event);
    void quit();
    // Hands everything the chip produced to the port, the log and stdout,
    // and sets the timer for the chip's next moment.
    void flushChip();
    void sendToPort(const QByteArray &bytes, double now);
    void printKeyed(const QString &text);
    void printLine(const QString &line);
    void complain(const QString &message);

    SimSettings m_settings;
    ChipModel m_chip;
    PtyLink m_link;
    SimLog m_log;
    QTimer m_keyTimer;
    QSocketNotifier m_stdin { 0, QSocketNotifier::Read };
    QSocketNotifier m_signals { QSocketNotifier::Read };
    QByteArray m_stdinBuffer;
    // The line settings last logged, since the port was opened.
    QString m_lineLogged;
    // Keyed characters are on stdout without a line end yet.
    bool m_midLine = false;
    // The next parameter block unplugs the adapter, in the host's pause after it.
    bool m_unplugAfterBlock = false;
};
