#include "startupbench.h"

#include "cpumeter.h"
#include "ptychip.h"
#include "samples.h"
#include "synclog.h"

#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QProcessEnvironment>
#include <QTemporaryDir>

namespace {

// The sleeps the start-up takes before the get-speed-pot byte (see keyerbench.cpp).
constexpr double kStartupSleepsMs = 900;
constexpr double kGoalOwnMs = 150;
// A first start may cost this much more than a later one: its seed is one write.
constexpr double kGoalFirstRunOverheadMs = 10;
constexpr double kGoalPeakMB = 35;
constexpr int kSlowSyncUs = 20000;
constexpr int kStartupTimeoutMs = 20000;
// Time for the window to be shown and painted once the last byte is out.
constexpr int kSettleMs = 500;

QString runs(qsizetype n)
{
    return n == 1 ? QStringLiteral("1 run") : QStringLiteral("%1 runs").arg(n);
}

// "3 fsync, 1 rename" per action, or the spread when the rounds differ.
QString callsText(const Samples &syncs, const Samples &renames)
{
    const auto count = [](const Samples &s) {
        return s.min() == s.max() ? QString::number(s.min()) : QStringLiteral("%1..%2").arg(s.min()).arg(s.max());
    };
    return QStringLiteral("%1 fsync, %2 rename").arg(count(syncs), count(renames));
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

bool StartupBench::startOnce(PtyChip &chip, const QString &configHome, const SyncLog &log, Run &run, QString &error)
{
    chip.forgetStartup();
    QProcess child;
    QProcessEnvironment env = log.environment(QProcessEnvironment::systemEnvironment());
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
    // Ended as by the desktop at logout: the close stores the window's place.
    child.terminate();
    if (!child.waitForFinished(5000)) {
        child.kill();
        child.waitForFinished(5000);
    }
    // The shim names files as /proc does: by their canonical path.
    const QString folder = QFileInfo(configHome).canonicalFilePath();
    const SyncLog::Counts start = log.between(startedNs, *endNs, folder);
    const SyncLog::Counts close = log.between(*endNs, PtyChip::nowNs(), folder);
    run.startSyncs = start.syncs;
    run.startRenames = start.renames;
    run.closeSyncs = close.syncs;
    run.closeRenames = close.renames;
    if (!alive) {
        error = QStringLiteral("%1 ended right after its start-up: %2")
                    .arg(m_options.appPath, QString::fromLocal8Bit(child.readAllStandardError()).trimmed());
        return false;
    }
    return true;
}

bool StartupBench::run()
{
    for (const int delayUs : {0, kSlowSyncUs}) {
        const SyncLog log(delayUs);
        if (!log.isValid()) {
            m_report.addFailure(QStringLiteral("start-up: no temporary folder for the sync log"));
            return false;
        }
        if (!runRounds(log))
            return false;
    }
    return true;
}

bool StartupBench::runRounds(const SyncLog &log)
{
    Samples firstAll;
    Samples firstOwn;
    Samples laterAll;
    Samples laterOwn;
    Samples overhead;
    Samples peak;
    Samples seedSyncs;
    Samples seedRenames;
    Samples laterSyncs;
    Samples laterRenames;
    Samples closeSyncs;
    Samples closeRenames;
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
        // The window is placed in whole pixels: from a place in odd twips,
        // typed by hand, the later start's close has both edges to write.
        const auto oddPlace = [&configHome] {
            QFile store(configHome.filePath(QStringLiteral("Vardel Zavo Keyer.conf")));
            if (!store.open(QIODevice::ReadWrite))
                return false;
            const QByteArray bytes =
                store.readAll().replace("FormTop=6825", "FormTop=1201").replace("FormLeft=7920", "FormLeft=1801");
            return store.seek(0) && store.write(bytes) == bytes.size();
        };
        if (!startOnce(chip, configHome.path(), log, first, error) || !oddPlace()
            || !startOnce(chip, configHome.path(), log, later, error)) {
            m_report.addFailure(QStringLiteral("start-up round %1: %2").arg(i + 1).arg(error));
            return false;
        }
        firstAll.add(first.startupMs);
        firstOwn.add(first.startupMs - kStartupSleepsMs);
        laterAll.add(later.startupMs);
        laterOwn.add(later.startupMs - kStartupSleepsMs);
        overhead.add(first.startupMs - later.startupMs);
        peak.add(first.peakMB);
        peak.add(later.peakMB);
        seedSyncs.add(first.startSyncs);
        seedRenames.add(first.startRenames);
        laterSyncs.add(later.startSyncs);
        laterRenames.add(later.startRenames);
        closeSyncs.add(later.closeSyncs);
        closeRenames.add(later.closeRenames);
    }
    const QString disk = log.diskText();
    m_report.addRow(QStringLiteral("start-up of zavokeyer, first run with `--first-run-port` (seeds the store), "
                                   "%1, %2: start to get-speed-pot byte, minus the 0.9 s of sleeps")
                        .arg(disk, runs(firstOwn.count())),
                    startupResult(firstOwn, firstAll), QStringLiteral("< 150 ms"),
                    BenchReport::verdict(firstOwn.median() < kGoalOwnMs));
    m_report.addRow(QStringLiteral("start-up of zavokeyer, later start (store in place), %1, %2: the same")
                        .arg(disk, runs(laterOwn.count())),
                    startupResult(laterOwn, laterAll), QStringLiteral("< 150 ms"),
                    BenchReport::verdict(laterOwn.median() < kGoalOwnMs));
    // Paired round by round: the two starts of a round share the machine's mood.
    const bool asItIs = log.delayUs() == 0;
    m_report.addRow(QStringLiteral("first start's overhead over a later start, %1: first less later, same round")
                        .arg(disk),
                    QStringLiteral("median **%1 ms** (min..max %2..%3)")
                        .arg(overhead.median(), 0, 'f', 1)
                        .arg(overhead.min(), 0, 'f', 1)
                        .arg(overhead.max(), 0, 'f', 1),
                    asItIs ? QStringLiteral("<= 10 ms") : QStringLiteral("(for comparison)"),
                    asItIs ? BenchReport::verdict(overhead.median() <= kGoalFirstRunOverheadMs)
                           : BenchReport::Verdict::None);
    if (asItIs) {
        m_report.addRow(QStringLiteral("fsync and rename calls on the store's folder per action, %1 rounds: "
                                       "the first start (its seed); a later start; that start's close (two edges)")
                            .arg(closeSyncs.count()),
                        QStringLiteral("%1; %2; %3")
                            .arg(callsText(seedSyncs, seedRenames), callsText(laterSyncs, laterRenames),
                                 callsText(closeSyncs, closeRenames)),
                        QStringLiteral("one rename per action"),
                        BenchReport::verdict(seedRenames.max() <= 1 && closeRenames.max() <= 1));
        m_report.addRow(QStringLiteral("peak resident set (VmHWM) of zavokeyer, window up after start-up, %1")
                            .arg(runs(peak.count())),
                        QStringLiteral("median **%1 MB** (min..max %2..%3)")
                            .arg(peak.median(), 0, 'f', 1)
                            .arg(peak.min(), 0, 'f', 1)
                            .arg(peak.max(), 0, 'f', 1),
                        QStringLiteral("< 35 MB"), BenchReport::verdict(peak.max() < kGoalPeakMB));
    }
    return true;
}
