#include "updatebench.h"

#include "app/statuspanels.h"
#include "app/zavomain.h"
#include "dialogs/speed.h"
#include "benchwait.h"
#include "ptychip.h"
#include "samples.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "synclog.h"

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLineEdit>
#include <QMouseEvent>
#include <QProcess>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>

#include <cstdio>

namespace {

// Before the block: 250 ms before the port is reopened, 600 ms after, 50 ms
// in the calibration.
constexpr double kReinitSleepsMs = 900;
constexpr double kGoalToBlockMs = 50;
constexpr int kSlowSyncUs = 20000;
constexpr int kRoundTimeoutMs = 10000;

int failed(const char *what)
{
    std::fprintf(stderr, "zavokeyer-bench --update-child: %s\n", what);
    return 1;
}

Speed *openSettings(ZavoMain &window)
{
    // A left click on the speed panel, as the operator opens the dialog.
    QLabel *panel = window.statusBar().panel(3);
    const QPointF at = QRectF(panel->rect()).center();
    QMouseEvent release(QEvent::MouseButtonRelease, at, panel->mapToGlobal(at), Qt::LeftButton, Qt::NoButton,
                        Qt::NoModifier);
    QCoreApplication::sendEvent(panel, &release);
    for (QWidget *widget : QApplication::topLevelWidgets()) {
        if (auto *speed = qobject_cast<Speed *>(widget); speed && speed->isVisible())
            return speed;
    }
    return nullptr;
}

// Every key the Update stores gets a new value, all within the limits: the
// lowest bit of each number flipped, each box toggled, each list moved on.
void changeEverything(Speed &speed)
{
    for (QLineEdit *box : speed.findChildren<QLineEdit *>())
        box->setText(QString::number(box->text().toInt() ^ 1));
    for (QCheckBox *box : speed.findChildren<QCheckBox *>())
        box->setChecked(!box->isChecked());
    for (QComboBox *list : speed.findChildren<QComboBox *>()) {
        const int index = (list->currentIndex() + 1) % list->count();
        list->setCurrentIndex(index);
        emit list->activated(index);
    }
}

QString spread(const Samples &s)
{
    return QStringLiteral("median **%1 ms**, max %2 ms (min %3)")
        .arg(s.median(), 0, 'f', 1)
        .arg(s.max(), 0, 'f', 1)
        .arg(s.min(), 0, 'f', 1);
}

bool measureOn(const BenchOptions &options, BenchReport &report, const SyncLog &log)
{
    QProcess child;
    child.setProcessEnvironment(log.environment(QProcessEnvironment::systemEnvironment()));
    child.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    child.start(QCoreApplication::applicationFilePath(),
                {QStringLiteral("--update-child"), QString::number(options.updates)});
    if (!child.waitForFinished(30000 + options.updates * kRoundTimeoutMs) || child.exitCode() != 0) {
        child.kill();
        report.addFailure(QStringLiteral("settings Update (%1): the rounds did not run (%2)")
                              .arg(log.diskText(), child.errorString()));
        return false;
    }
    Samples writeMs;
    Samples toBlockMs;
    Samples syncs;
    Samples renames;
    Samples otherSyncs;
    QString folder;
    for (const QByteArray &line : child.readAllStandardOutput().split('\n')) {
        if (line.startsWith("store "))
            folder = QFile::decodeName(line.mid(6));
        const QList<QByteArray> fields = line.split(' ');
        if (fields.size() != 3 || fields.first() != "round")
            continue;
        const qint64 clickNs = fields.at(1).toLongLong();
        const qint64 blockNs = fields.at(2).toLongLong();
        const SyncLog::Counts counts = log.between(clickNs, blockNs, folder);
        writeMs.add(counts.lastNs ? double(counts.lastNs - clickNs) / 1e6 : 0.0);
        toBlockMs.add(double(blockNs - clickNs) / 1e6 - kReinitSleepsMs);
        syncs.add(counts.syncs);
        renames.add(counts.renames);
        otherSyncs.add(counts.otherSyncs);
    }
    if (toBlockMs.isEmpty()) {
        report.addFailure(QStringLiteral("settings Update (%1): no round reported").arg(log.diskText()));
        return false;
    }
    const QString disk = log.diskText();
    const qsizetype rounds = toBlockMs.count();
    report.addRow(QStringLiteral("settings Update (17 keys, all changed), %1, %2 rounds: click to the first byte "
                                 "of the parameter block, minus the 0.9 s of sleeps")
                      .arg(disk)
                      .arg(rounds),
                  spread(toBlockMs), QStringLiteral("< 50 ms"),
                  BenchReport::verdict(toBlockMs.median() < kGoalToBlockMs));
    report.addRow(QStringLiteral("settings Update, %1: the store's write, click to its last fsync or rename").arg(disk),
                  spread(writeMs), QStringLiteral("(part of the above)"));
    report.addRow(QStringLiteral("settings Update, %1: fsync and rename calls per Update on the store's folder "
                                 "(and syncs of other files before the block: the serial port's lock file)")
                      .arg(disk),
                  QStringLiteral("%1..%2 fsync, %3..%4 rename (other: %5..%6 fsync)")
                      .arg(syncs.min())
                      .arg(syncs.max())
                      .arg(renames.min())
                      .arg(renames.max())
                      .arg(otherSyncs.min())
                      .arg(otherSyncs.max()),
                  QStringLiteral("one rename per action"), BenchReport::verdict(renames.max() <= 1));
    return true;
}

} // namespace

namespace UpdateBench {

int runChild(int rounds)
{
    PtyChip chip;
    QTemporaryDir dir;
    if (!dir.isValid() || !chip.start())
        return failed("no pty or no temporary folder");
    Zavo::resetProcessState();
    SettingsStore store(dir.filePath(QStringLiteral("store.conf")));
    Seed::seedStore(store, chip.portPath());

    ZavoMain::Hooks hooks;
    hooks.message = [](const QString &text, const std::function<void()> &closed) {
        std::fprintf(stderr, "the window says: %s\n", qUtf8Printable(text));
        closed();
    };
    hooks.choosePort = [](const QString &, const std::function<void(std::optional<QString>)> &chosen) {
        chosen(std::nullopt);
    };
    hooks.terminate = [](int) { std::fprintf(stderr, "the window wanted to end the program\n"); };
    ZavoMain window(store, hooks);
    // The shim names files as /proc does: by their canonical path.
    std::printf("store %s\n", QFile::encodeName(QFileInfo(dir.path()).canonicalFilePath()).constData());
    Waker waker;
    QObject::connect(&chip, &PtyChip::received, &waker, &Waker::wake);
    const auto startedUp = [&chip] { return chip.startupEndNs().has_value(); };
    if (!window.load() || !waitInEventLoop(waker, startedUp, 0, kRoundTimeoutMs))
        return failed("the link did not come up");
    window.show();

    for (int i = 0; i < rounds; ++i) {
        Speed *speed = openSettings(window);
        if (!speed)
            return failed("the speed panel opened no settings window");
        speed->setWarner([](QWidget *, const QString &, const QString &text) {
            std::fprintf(stderr, "the settings window refused: %s\n", qUtf8Printable(text));
        });
        changeEverything(*speed);
        auto *update = speed->findChild<QPushButton *>(QStringLiteral("UpdateCmd"));
        chip.forgetStartup();
        const qint64 clickNs = PtyChip::nowNs();
        update->click();
        // The knob's byte comes last, 250 ms after the block.
        if (!waitInEventLoop(waker, startedUp, 20, kRoundTimeoutMs) || !chip.blockStartNs())
            return failed("the Update sent no parameter block");
        std::printf("round %lld %lld\n", static_cast<long long>(clickNs), static_cast<long long>(*chip.blockStartNs()));
        // The next click on the panel must make a new dialog, as the
        // operator's would once the event loop has deleted this one.
        const QPointer<Speed> closed(speed);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        if (closed)
            return failed("the settings window stayed after its Update");
    }
    std::fflush(stdout);
    window.close();
    return 0;
}

bool measure(const BenchOptions &options, BenchReport &report)
{
    for (const int delayUs : {0, kSlowSyncUs}) {
        const SyncLog log(delayUs);
        if (!log.isValid() || !measureOn(options, report, log))
            return false;
    }
    return true;
}

} // namespace UpdateBench
