// Runs the chip simulator on a pseudo-terminal and reads back, from its log,
// what crossed the line. Every wait runs the event loop (for in-process programs).
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>

#include <utility>

// One line of the simulator's log.
struct LogEntry {
    double t = 0; // CLOCK_MONOTONIC in ms, as QElapsedTimer::msecsSinceReference()
    QString kind; // "in" (from the program), "out" (to it), "key" or "event"
    QByteArray bytes; // in/out: the bytes; key: the character (both letters of a merge)
    QString text; // the rest of the line as logged ("tune on", "drop 41", "A 30", ...)
    int wpm = 0; // key: the speed the character was keyed at
};

// A character the chip keyed (both letters of a merge, " " for a blank) and its speed in WPM.
using KeyedAt = std::pair<QString, int>;

class SimHarness
{
public:
    // Arguments added after --link, --log and --quiet, e.g. { "--char-ms", "50" }.
    explicit SimHarness(QStringList extraArgs = {});
    ~SimHarness();
    SimHarness(const SimHarness &) = delete;
    SimHarness &operator=(const SimHarness &) = delete;

    // Starts the simulator and waits for its "ready" line; false (with a
    // warning saying why) if it did not come.
    bool start(int timeoutMs = 5000);
    void stop();

    QString linkPath() const;
    // One line to the simulator's stdin ("pot 20", "raw C5", "unplug", ...).
    void command(const QString &line);

    QByteArray received() const;
    QByteArray sent() const;
    QList<LogEntry> log() const;
    // The characters keyed, in order.
    QString keyed() const;
    // Each character keyed with the speed it was keyed at, e.g. {"C", 30}, {" ", 30}, {"SN", 30}.
    QList<KeyedAt> keyedAt() const;

    bool waitForReceived(int count, int timeoutMs);
    // The events the log holds that start with prefix ("port open", "plug ", ...).
    QStringList events(const QString &prefix) const;
    bool waitForEvent(const QString &prefix, int count = 1, int timeoutMs = 5000);

private:
    QByteArray bytesOfKind(const QString &kind) const;

    QStringList m_extraArgs;
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_stderr;
};
