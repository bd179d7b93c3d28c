#include "startupbench.h"

#include "cpumeter.h"
#include "ptychip.h"
#include "samples.h"

#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

// The sleeps the start-up takes before the get-speed-pot byte (see keyerbench.cpp).
constexpr double kStartupSleepsMs = 900;
constexpr double kGoalOwnMs = 150;
constexpr double kGoalPeakMB = 35;
constexpr int kStartupTimeoutMs = 20000;
// Time for the window to be shown and painted once the last byte is out.
constexpr int kSettleMs = 500;

QString runs(qsizetype n)
{
    return n == 1 ? QStringLiteral("1 run") : QStringLiteral("%1 runs").arg(n);
}

QString startupResult(const Samples &own, const Samples &all)
{
    return QStringLiteral("median **%1 ms** (min..max %2..%3); in all %4 ms")
        .arg(own.median(), 0, 'f', 1)
        .arg(own.min(), 0, 'f', 1)
        .arg(own.max(), 0, 'f', 1)
        .arg(all.median(), 0, 'f', 1);
}

} // namespace

StartupBench::StartupBench(const BenchOptions &options, BenchReport &report, QObject *parent)
    : QObject(parent)
    , m_options(options)
    , m_report(report)
{
}

bool StartupBench::startOnce(PtyChip &chip, const QString &configHome, Run &run, QString &error)
{
    chip.forgetStartup();
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), configHome);
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    env.insert(QStringLiteral("QT_LOGGING_RULES"), QStringLiteral("qt.qpa.*=false"));
    child.setProcessEnvironment(env);
    child.setStandardOutputFile(QProcess::nullDevice());
    child.setProgram(m_options.appPath);
    // Given on every start; the program uses it only when it finds no store.
    child.setArguments({QStringLiteral("--first-run-port"), chip.portPath()});

    connect(&chip, &PtyChip::received, &m_waker, &Waker::wake);
    connect(&child, &QProcess::finished, &m_waker, &Waker::wake);
    connect(&child, &QProcess::errorOccurred, &m_waker, &Waker::wake);

    const qint64 startedNs = PtyChip::nowNs();
    child.start();
    waitInEventLoop(m_waker, [&] { return chip.startupEndNs() || child.state() == QProcess::NotRunning; }, 0,
                    kStartupTimeoutMs);
    disconnect(&chip, &PtyChip::received, &m_waker, &Waker::wake);
    const auto endNs = chip.startupEndNs();
    if (!endNs || child.state() == QProcess::NotRunning) {
        error = QStringLiteral("%1 did not reach the get-speed-pot byte (%2): %3")
                    .arg(m_options.appPath, child.errorString(),
                         QString::fromLocal8Bit(child.readAllStandardError()).trimmed());
        child.kill();
        child.waitForFinished(5000);
        return false;
    }
    run.startupMs = double(*endNs - startedNs) / 1e6;
    yieldFor(kSettleMs);
    run.peakMB = CpuMeter::peakResidentMB(pid_t(child.processId()));
    const bool alive = child.state() == QProcess::Running;
    child.terminate();
    if (!child.waitForFinished(5000)) {
        child.kill();
        child.waitForFinished(5000);
    }
    if (!alive) {
        error = QStringLiteral("%1 ended right after its start-up: %2")
                    .arg(m_options.appPath, QString::fromLocal8Bit(child.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

bool StartupBench::run()
{
    Samples firstAll;
    Samples firstOwn;
    Samples laterAll;
    Samples laterOwn;
    Samples peak;
    for (int i = 0; i < m_options.startups; ++i) {
        PtyChip chip;
        QTemporaryDir configHome;
        if (!configHome.isValid() || !chip.start()) {
            m_report.addFailure(QStringLiteral("start-up round %1: %2").arg(i + 1).arg(chip.errorText()));
            return false;
        }
        Run first;
        Run later;
        QString error;
        if (!startOnce(chip, configHome.path(), first, error) || !startOnce(chip, configHome.path(), later, error)) {
            m_report.addFailure(QStringLiteral("start-up round %1: %2").arg(i + 1).arg(error));
            return false;
        }
        firstAll.add(first.startupMs);
        firstOwn.add(first.startupMs - kStartupSleepsMs);
        laterAll.add(later.startupMs);
        laterOwn.add(later.startupMs - kStartupSleepsMs);
        peak.add(first.peakMB);
        peak.add(later.peakMB);
    }
    m_report.addRow(QStringLiteral("start-up of zavokeyer, first run with `--first-run-port` (seeds the store), "
                                   "%1: start to get-speed-pot byte, minus the 0.9 s of sleeps")
                        .arg(runs(firstOwn.count())),
                    startupResult(firstOwn, firstAll), QStringLiteral("< 150 ms"),
                    BenchReport::verdict(firstOwn.median() < kGoalOwnMs));
    m_report.addRow(QStringLiteral("start-up of zavokeyer, later start (store in place), %1: the same")
                        .arg(runs(laterOwn.count())),
                    startupResult(laterOwn, laterAll), QStringLiteral("< 150 ms"),
                    BenchReport::verdict(laterOwn.median() < kGoalOwnMs));
    m_report.addRow(QStringLiteral("peak resident set (VmHWM) of zavokeyer, window up after start-up, %1")
                        .arg(runs(peak.count())),
                    QStringLiteral("median **%1 MB** (min..max %2..%3)")
                        .arg(peak.median(), 0, 'f', 1)
                        .arg(peak.min(), 0, 'f', 1)
                        .arg(peak.max(), 0, 'f', 1),
                    QStringLiteral("< 35 MB"), BenchReport::verdict(peak.max() < kGoalPeakMB));
    return true;
}
