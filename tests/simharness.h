// Runs the chip simulator (zavokeyer-sim) on a pseudo-terminal for a test
// and reads back, from its log, everything that crossed the line. Works
// when the program under test lives in the same process: every wait runs
// the event loop.
//
//     SimHarness sim({ "--fast" });
//     QVERIFY(sim.start());
//     ... point the program at sim.linkPath() ...
//     QVERIFY(sim.waitForReceived(3, 2000));
//     QCOMPARE(sim.received().left(3), QByteArray("\x00\x04\x55", 3));
#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>

// One line of the simulator's log.
struct LogEntry {
    // CLOCK_MONOTONIC in ms: comparable with QElapsedTimer::msecsSinceReference().
    double t = 0;
    // "in" (bytes read from the program), "out" (bytes written to it),
    // "key" (a character keyed) or "event".
    QString kind;
    // in/out: the bytes; key: the character.
    QByteArray bytes;
    // key: the character; event: its words ("tune on", "drop 41", "block 0F ...");
    // in/out: the bytes in hex as logged.
    QString text;
};

class SimHarness
{
public:
    // Arguments added after --link, --log and --quiet, e.g. { "--char-ms", "50" }.
    explicit SimHarness(QStringList extraArgs = {});
    ~SimHarness();
    SimHarness(const SimHarness &) = delete;
    SimHarness &operator=(const SimHarness &) = delete;

    // Starts the simulator in a fresh temporary folder and waits for its
    // "ready" line. False (with a warning saying why) if it did not come.
    bool start(int timeoutMs = 5000);
    // Stops the simulator; the temporary folder goes with the harness.
    void stop();
    bool isRunning() const;

    QString linkPath() const;
    QString logPath() const;
    // One line to the simulator's stdin ("pot 20", "raw C5", "unplug", ...).
    void command(const QString &line);

    QByteArray received() const;
    QByteArray sent() const;
    QList<LogEntry> log() const;
    QString keyed() const;

    bool waitForReceived(int count, int timeoutMs);
    bool waitForLog(const std::function<bool(const QList<LogEntry> &)> &pred, int timeoutMs);

private:
    static QList<LogEntry> parseLog(const QByteArray &text);
    QByteArray bytesOfKind(const QString &kind) const;

    QStringList m_extraArgs;
    QTemporaryDir m_dir;
    QProcess m_process;
    QByteArray m_stderr;
};
