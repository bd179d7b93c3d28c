// zavokeyer-bench: measures Zavo Keyer against its goals for speed,
// processor use, start-up time, settings writes, network keying and memory,
// and prints the findings as a Markdown table (docs/BENCHMARKS.md keeps a
// full run's). Run by hand:
//   zavokeyer-bench            the full run, a few minutes
//   zavokeyer-bench --short    a few seconds, for the test command
#include "benchoptions.h"
#include "benchreport.h"
#include "keyerbench.h"
#include "netbench.h"
#include "reconnectbench.h"
#include "startupbench.h"
#include "updatebench.h"

#include <QApplication>
#include <QDateTime>

#include <cstdio>
#include <cstring>

namespace {

int usage(int code)
{
    std::fprintf(code == 0 ? stdout : stderr,
                 "Usage: zavokeyer-bench [--short] [--presses N] [--startups N] [--updates N] [--app PATH]\n\n"
                 "  --short       a few seconds in all: fewer presses, short holds\n"
                 "  --presses N   presses of F1 and of F2 for the key-to-wire times (default 1000)\n"
                 "  --startups N  rounds of start-ups of the real program, each a first run\n"
                 "                and a later start, on each of two disks (default 10)\n"
                 "  --updates N   settings Updates on each of two disks (default 10)\n"
                 "  --app PATH    the zavokeyer binary (default: the one built alongside)\n");
    return code;
}

bool positive(const char *text, int &value)
{
    char *end = nullptr;
    const long n = std::strtol(text, &end, 10);
    if (!end || *end || n < 1 || n > 1000000)
        return false;
    value = int(n);
    return true;
}

} // namespace

int main(int argc, char *argv[])
{
    BenchOptions options;
    options.appPath = QStringLiteral(ZAVO_APP_PATH);
    int presses = 0;
    int startups = 0;
    int updates = 0;
    // The benchmark runs itself for the Update's rounds, with the slow-disk shim loaded.
    if (argc == 3 && std::strcmp(argv[1], "--update-child") == 0 && positive(argv[2], updates)) {
        QApplication app(argc, argv);
        return UpdateBench::runChild(updates);
    }
    // And for the network flood's client, so that its sending is not counted as ours.
    int floodPort = 0;
    int floodMs = 0;
    if (argc == 4 && std::strcmp(argv[1], "--flood-child") == 0 && positive(argv[2], floodPort)
        && positive(argv[3], floodMs))
        return NetBench::runFlooder(floodPort, floodMs);
    for (int i = 1; i < argc; ++i) {
        const char *arg = argv[i];
        const char *value = i + 1 < argc ? argv[i + 1] : nullptr;
        if (std::strcmp(arg, "--short") == 0) {
            const QString app = options.appPath;
            options = BenchOptions::shortRun();
            options.appPath = app;
        } else if (std::strcmp(arg, "--presses") == 0 && value && positive(value, presses)) {
            ++i;
        } else if (std::strcmp(arg, "--startups") == 0 && value && positive(value, startups)) {
            ++i;
        } else if (std::strcmp(arg, "--updates") == 0 && value && positive(value, updates)) {
            ++i;
        } else if (std::strcmp(arg, "--app") == 0 && value) {
            options.appPath = QString::fromLocal8Bit(value);
            ++i;
        } else if (std::strcmp(arg, "--help") == 0) {
            return usage(0);
        } else {
            return usage(2);
        }
    }
    if (presses > 0)
        options.presses = presses;
    if (startups > 0)
        options.startups = startups;
    if (updates > 0)
        options.updates = updates;

    // Headless unless told otherwise: the window is real, the screen need not be.
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    if (qEnvironmentVariableIsEmpty("QT_LOGGING_RULES"))
        qputenv("QT_LOGGING_RULES", "qt.qpa.*=false");
    QApplication app(argc, argv);

    BenchReport report;
    const QString machineBefore = BenchReport::machine();
    {
        KeyerBench keyer(options, report);
        keyer.run();
    }
    if (!report.failed()) {
        ReconnectBench reconnect(options, report);
        reconnect.run();
    }
    if (!report.failed()) {
        NetBench net(options, report);
        net.run();
    }
    if (!report.failed()) {
        StartupBench startup(options, report);
        startup.run();
    }
    if (!report.failed())
        UpdateBench::measure(options, report);
    report.addNote(QStringLiteral("before: %1").arg(machineBefore));
    report.addNote(QStringLiteral("after: %1").arg(BenchReport::machine()));

    const QString title = QStringLiteral("zavokeyer-bench%1, %2")
                              .arg(options.shortMode ? QStringLiteral(" --short") : QString(),
                                   QDateTime::currentDateTime().toString(Qt::ISODate));
    std::fputs(qUtf8Printable(report.markdown(title)), stdout);
    std::fflush(stdout);
    return report.failed() ? 1 : 0;
}
