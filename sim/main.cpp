// zavokeyer-sim: a WinKey chip on a pseudo-terminal, for tests, demos and
// operators without the hardware.
#include "hexbytes.h"
#include "simsettings.h"
#include "simulator.h"

#include <QCommandLineParser>
#include <QCoreApplication>

#include <csignal>
#include <cstdio>
#include <sys/signalfd.h>

namespace {

// Whole-number option within [low, high]; false (with a message) otherwise.
bool readNumber(
    const QCommandLineParser &parser, const QCommandLineOption &option, int low, int high, int *value)
{
    if (!parser.isSet(option))
        return true;
    bool ok = false;
    const int number = parser.value(option).toInt(&ok);
    if (!ok || number < low || number > high) {
        std::fprintf(stderr, "zavokeyer-sim: --%s takes a number from %d to %d\n",
            qPrintable(option.names().constFirst()), low, high);
        return false;
    }
    *value = number;
    return true;
}

// Signals become readable bytes on a descriptor, so the event loop ends the
// run and every destructor (the one that removes the link included) runs.
int blockTerminationSignals()
{
    std::signal(SIGPIPE, SIG_IGN);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGHUP);
    if (sigprocmask(SIG_BLOCK, &set, nullptr) != 0)
        return -1;
    return signalfd(-1, &set, SFD_NONBLOCK | SFD_CLOEXEC);
}

} // namespace

int main(int argc, char *argv[])
{
    const int signalFd = blockTerminationSignals();
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("zavokeyer-sim"));

    QCommandLineParser parser;
    parser.setApplicationDescription(
        QStringLiteral("Simulates a WinKey keyer chip on a pseudo-terminal published under --link.\n"
                       "Commands on stdin, one per line: pot N, raw HEX..., xoff, xon, silent on|off,\n"
                       "loopback on|off, unplug, unplug-after-block, plug, quit."));
    parser.addHelpOption();
    const QCommandLineOption link(QStringLiteral("link"),
        QStringLiteral("Symbolic link to the pty (required)."), QStringLiteral("path"));
    const QCommandLineOption revision(QStringLiteral("revision"),
        QStringLiteral("Firmware revision byte (default 23)."), QStringLiteral("n"));
    const QCommandLineOption pot(
        QStringLiteral("pot"), QStringLiteral("Speed knob, 0 to 63 (default 15)."), QStringLiteral("n"));
    const QCommandLineOption silent(QStringLiteral("silent"), QStringLiteral("Answer nothing at all."));
    const QCommandLineOption fast(QStringLiteral("fast"), QStringLiteral("Key every character at once."));
    const QCommandLineOption charMs(QStringLiteral("char-ms"),
        QStringLiteral("Every character takes exactly N ms."), QStringLiteral("n"));
    const QCommandLineOption buffer(
        QStringLiteral("buffer"), QStringLiteral("Text buffer size (default 128)."), QStringLiteral("n"));
    const QCommandLineOption replyPrefix(QStringLiteral("reply-prefix"),
        QStringLiteral("Bytes sent before every echo and revision answer, "
                       "e.g. C0 or C0,8F."),
        QStringLiteral("hex"));
    const QCommandLineOption loopback(QStringLiteral("loopback"),
        QStringLiteral("Be a loopback plug: send back every byte, answer nothing."));
    const QCommandLineOption baud(QStringLiteral("baud"),
        QStringLiteral("Take the program's bytes at the pace of N baud."), QStringLiteral("n"));
    const QCommandLineOption log(QStringLiteral("log"),
        QStringLiteral("Log every byte and event to this file."), QStringLiteral("file"));
    const QCommandLineOption quiet(QStringLiteral("quiet"), QStringLiteral("Do not print keyed characters."));
    parser.addOptions({ link, revision, pot, silent, fast, charMs, buffer, replyPrefix, loopback, baud, log, quiet });
    parser.process(app);

    if (!parser.positionalArguments().isEmpty()) {
        std::fprintf(stderr, "zavokeyer-sim: unexpected argument %s\n",
            qPrintable(parser.positionalArguments().constFirst()));
        return 2;
    }
    if (parser.value(link).isEmpty()) {
        std::fprintf(stderr, "zavokeyer-sim: --link PATH is required (see --help)\n");
        return 2;
    }

    SimSettings settings;
    settings.linkPath = parser.value(link);
    settings.logPath = parser.value(log);
    settings.quiet = parser.isSet(quiet);
    settings.loopback = parser.isSet(loopback);
    settings.chip.silent = parser.isSet(silent);
    settings.chip.fast = parser.isSet(fast);
    if (!readNumber(parser, revision, 0, 255, &settings.chip.revision)
        || !readNumber(parser, pot, 0, 63, &settings.chip.pot)
        || !readNumber(parser, charMs, 0, 60000, &settings.chip.charMs)
        || !readNumber(parser, buffer, 3, 65536, &settings.chip.bufferSize)
        || !readNumber(parser, baud, 0, 4000000, &settings.baud))
        return 2;
    if (parser.isSet(replyPrefix)) {
        const auto bytes = parseHexBytes(parser.value(replyPrefix));
        if (!bytes) {
            std::fprintf(stderr, "zavokeyer-sim: --reply-prefix takes hexadecimal bytes, e.g. C0 or C0,8F\n");
            return 2;
        }
        settings.chip.replyPrefix = *bytes;
    }

    Simulator simulator(settings, signalFd);
    QString error;
    if (!simulator.start(&error)) {
        std::fprintf(stderr, "zavokeyer-sim: %s\n", qPrintable(error));
        return 1;
    }
    return app.exec();
}
