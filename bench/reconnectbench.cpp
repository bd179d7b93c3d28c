#include "reconnectbench.h"

#include "cpumeter.h"
#include "benchwait.h"
#include "keyer/keyerlink.h"
#include "samples.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"

#include <QElapsedTimer>
#include <QFile>

using namespace Zavo;

namespace {

// The window must answer within this through a reconnection.
constexpr double kGoalGapMs = 20;

constexpr double kGoalWaitingPercent = 1.0;
// "Within about two seconds": the init's own pauses take one of them.
constexpr double kGoalReconnectMs = 2500.0;

} // namespace

ReconnectBench::ReconnectBench(const BenchOptions &options, BenchReport &report)
    : m_options(options)
    , m_report(report)
{
}

ReconnectBench::~ReconnectBench()
{
    if (m_sim.state() != QProcess::NotRunning) {
        m_sim.closeWriteChannel();
        m_sim.waitForFinished(5000);
    }
}

// Waits until the simulator's log shows the event, counting from the end
// of what it showed before; without a command (the start), from the top:
// the simulator may be up before the log is first looked at.
bool ReconnectBench::command(const QString &line, const QString &event)
{
    QFile log(m_dir.filePath(QStringLiteral("sim.log")));
    const qint64 before = line.isEmpty() ? 0 : log.size();
    m_sim.write((line + QLatin1Char('\n')).toUtf8());
    Waker waker;
    return waitInEventLoop(waker, [&] {
        if (!log.open(QIODevice::ReadOnly))
            return false;
        log.seek(before);
        const bool seen = log.readAll().contains((QStringLiteral(" event ") + event).toUtf8());
        log.close();
        return seen;
    }, 10, 5000);
}

void ReconnectBench::run()
{
    const QString link = m_dir.filePath(QStringLiteral("winkey"));
    m_sim.start(QStringLiteral(ZAVO_SIM_PATH),
                {QStringLiteral("--link"), link, QStringLiteral("--fast"), QStringLiteral("--quiet"),
                 QStringLiteral("--log"), m_dir.filePath(QStringLiteral("sim.log"))});
    if (!m_sim.waitForStarted() || !command(QString(), QStringLiteral("ready"))) {
        m_report.addFailure(QStringLiteral("reconnection: the simulator did not start"));
        return;
    }
    resetProcessState();
    SettingsStore store(m_dir.filePath(QStringLiteral("store.conf")));
    Seed::seedStore(store, link);
    loadKeyerSettings(store);
    int messages = 0;
    KeyerLink::Hooks hooks;
    hooks.message = [&messages](const QString &, const std::function<void()> &) { ++messages; };
    KeyerLink keyer(store, hooks);
    QString panel1;
    QObject::connect(&keyer, &KeyerLink::panelText, [&panel1](int position, const QString &text, bool) {
        if (position == 1)
            panel1 = text;
    });
    bool up = false;
    bool ended = false;
    QObject::connect(&keyer, &KeyerLink::started, [&](bool ok) {
        up = ok;
        ended = true;
    });
    keyer.initialise();
    Waker startUp;
    QObject::connect(&keyer, &KeyerLink::started, &startUp, &Waker::wake);
    waitInEventLoop(startUp, [&ended] { return ended; }, 0, 10000);
    if (!up) {
        m_report.addFailure(QStringLiteral("reconnection: the link did not come up"));
        return;
    }
    keyer.setInSession(true);

    Samples replug;
    CpuMeter waiting;
    double waitingCpuMs = 0;
    double waitingWallMs = 0;
    const int rounds = m_options.shortMode ? 1 : 5;
    const int waitMs = m_options.shortMode ? 500 : m_options.idleMs;
    Waker waker;
    qint64 longestGapNs = 0;
    for (int round = 0; round < rounds; ++round) {
        if (!command(QStringLiteral("unplug"), QStringLiteral("unplug"))
            || !waitInEventLoop(waker, [&] { return !keyer.isOpen(); }, 10, 5000)) {
            m_report.addFailure(QStringLiteral("reconnection: the unplug was not seen"));
            return;
        }
        waiting.start();
        yieldFor(waitMs);
        waiting.stop();
        waitingCpuMs += waiting.cpuMs();
        waitingWallMs += waiting.wallMs();
        QElapsedTimer timer;
        timer.start();
        // The event loop through the reconnection: a 5 ms timer's longest gap.
        QElapsedTimer sinceTick;
        QTimer ticker;
        ticker.setTimerType(Qt::PreciseTimer);
        QObject::connect(&ticker, &QTimer::timeout, [&] {
            longestGapNs = std::max(longestGapNs, sinceTick.nsecsElapsed());
            sinceTick.restart();
        });
        sinceTick.start();
        ticker.start(5);
        if (!command(QStringLiteral("plug"), QStringLiteral("plug "))
            || !waitInEventLoop(waker, [&] { return panel1.startsWith(QLatin1String("Winkey Online")); }, 5, 10000)) {
            m_report.addFailure(QStringLiteral("reconnection: the link did not come back"));
            return;
        }
        ticker.stop();
        longestGapNs = std::max(longestGapNs, sinceTick.nsecsElapsed());
        replug.add(double(timer.elapsed()));
    }
    const double gapMs = double(longestGapNs) / 1e6;
    m_report.addRow(QStringLiteral("the event loop's longest gap (a 5 ms timer) through a reconnection, %1 rounds").arg(replug.count()),
                    QStringLiteral("%1 ms").arg(gapMs, 0, 'f', 1), QStringLiteral("< 20 ms"),
                    BenchReport::verdict(gapMs < kGoalGapMs));
    const double percent = waitingWallMs > 0 ? 100.0 * waitingCpuMs / waitingWallMs : 0.0;
    m_report.addRow(QStringLiteral("processor, waiting %1 s for an unplugged adapter").arg(waitingWallMs / 1000.0, 0, 'f', 1),
                    QStringLiteral("%1 %").arg(percent, 0, 'f', 3), QStringLiteral("< 1 % of a core"),
                    BenchReport::verdict(percent < kGoalWaitingPercent));
    m_report.addRow(QStringLiteral("replug to \"Winkey Online\", %1 rounds").arg(replug.count()),
                    QStringLiteral("median %1 ms, worst %2 ms").arg(replug.median(), 0, 'f', 0).arg(replug.percentile(100), 0, 'f', 0),
                    QStringLiteral("about 2 s"), BenchReport::verdict(replug.median() < kGoalReconnectMs));
    if (messages > 0)
        m_report.addFailure(QStringLiteral("reconnection: %1 message boxes were raised").arg(messages));
}
