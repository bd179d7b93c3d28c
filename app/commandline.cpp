#include "app/commandline.h"

#include "version.h"

namespace {

const QString kCwdaemon = QStringLiteral("--cwdaemon");

} // namespace

CommandLine parseCommandLine(const QStringList &arguments)
{
    CommandLine line;
    const auto refuse = [&line](const QString &error) {
        line.action = CommandLine::Action::Refuse;
        line.error = error;
    };
    for (qsizetype i = 0; i < arguments.size() && line.action == CommandLine::Action::Run; ++i) {
        const QString &argument = arguments.at(i);
        if (argument == QLatin1String("--first-run-port")) {
            if (i + 1 == arguments.size())
                refuse(QStringLiteral("--first-run-port needs a port (a device path such as /dev/ttyUSB0)"));
            else
                line.firstRunPort = arguments.at(++i);
        } else if (argument == kCwdaemon) {
            line.cwdaemon = ListenAddress{};
        } else if (argument.startsWith(kCwdaemon + QLatin1Char('='))) {
            QString why;
            line.cwdaemon = parseListenAddress(QStringView(argument).sliced(kCwdaemon.size() + 1), &why);
            if (!line.cwdaemon)
                refuse(QStringLiteral("%1: %2").arg(argument, why));
        } else if (argument == QLatin1String("--version")) {
            line.action = CommandLine::Action::Version;
        } else if (argument == QLatin1String("--help") || argument == QLatin1String("-h")) {
            line.action = CommandLine::Action::Help;
        } else {
            line.unknown << argument;
        }
    }
    return line;
}

void printUsage(std::FILE *to)
{
    std::fprintf(to,
                 "Usage: zavokeyer [--first-run-port PORT] [--cwdaemon[=[HOST:]PORT]] [--version | --help]\n\n"
                 "Zavo Keyer %s - %s.\n"
                 "Sends stored CW messages through a WinKey keyer chip on a serial port.\n"
                 "Settings are kept in the per-user store; the keyer settings dialog and the\n"
                 "message editor change them. Keys: F1-F5 send, Esc aborts, F6 tunes,\n"
                 "F12 re-initialises the link.\n\n"
                 "  --first-run-port PORT  when no settings exist yet, use PORT (a device path)\n"
                 "                         instead of asking for it\n"
                 "  --cwdaemon[=[HOST:]PORT]\n"
                 "                         key the CW that loggers (tlf, cqrlog, xlog) send in the\n"
                 "                         cwdaemon protocol, on UDP 127.0.0.1 port 6789 or the\n"
                 "                         port given; HOST is an IPv4 address, localhost or an\n"
                 "                         IPv6 address in brackets ([::1]); Cwdaemon=on under\n"
                 "                         [Network] in the settings file does the same\n"
                 "  --version              print the version and exit\n"
                 "  --help                 print this text and exit\n\n"
                 "Pointing a logger at it (with --cwdaemon; give another port the same way):\n"
                 "  tlf     logcfg.dat: NETKEYER, NETKEYERHOST=127.0.0.1, NETKEYERPORT=6789\n"
                 "  cqrlog  Preferences, CW interface: type cwdaemon, address 127.0.0.1, port 6789,\n"
                 "          for each radio it uses, saved once with OK; until then cqrlog says\n"
                 "          \"No keyer defined for current radio!\"\n"
                 "  xlog    its keyer window: host 127.0.0.1, port 6789\n\n"
                 "Qt's standard options (-platform NAME, -style NAME, ...) are accepted too.\n",
                 Zavo::Version::kShown, Zavo::Version::kDescription);
}
