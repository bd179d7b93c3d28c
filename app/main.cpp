// Zavo Keyer: entry point. Refuses a command line it does not understand,
// seeds a first run's store, brings up the main window once the keyer link
// is initialised, and then network keying when it is asked for.
#include "app/commandline.h"
#include "app/displayplatform.h"
#include "app/networkkeying.h"
#include "app/quitsignals.h"
#include "app/zavomain.h"
#include "dialogs/portchooser.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "version.h"

#include <QApplication>
#include <QIcon>
#include <QMessageBox>

#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace {

constexpr const char *kVersion = Zavo::Version::kShown;

QStringList argumentsOf(int argc, char *argv[])
{
    QStringList arguments;
    for (int i = 1; i < argc; ++i)
        arguments << QString::fromLocal8Bit(argv[i]);
    return arguments;
}

int refuse(const QString &why, bool usage)
{
    std::fprintf(stderr, "zavokeyer: %s\n", qPrintable(why));
    if (usage)
        printUsage(stderr);
    return 2;
}

} // namespace

int main(int argc, char *argv[])
{
    // Help, the version and a bad value need no display: they are answered
    // before Qt looks for one.
    const CommandLine options = parseCommandLine(argumentsOf(argc, argv));
    switch (options.action) {
    case CommandLine::Action::Help:
        printUsage(stdout);
        return 0;
    case CommandLine::Action::Version:
        std::printf("zavokeyer %d.%d.%d\n", Zavo::Version::kMajor, Zavo::Version::kMinor, Zavo::Version::kRevision);
        return 0;
    case CommandLine::Action::Refuse:
        return refuse(options.error, false);
    case CommandLine::Action::Run:
        break;
    }

#ifdef SIGXFSZ
    // A file size limit must fail the write (the store then says so and keeps
    // the values), not end the program with them unsaved.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
    // A reader gone from a pipe (stderr into a closed pager) is no reason
    // to drop a keyed transmitter: the write fails instead.
    std::signal(SIGPIPE, SIG_IGN);

    if (const QByteArray platform = DisplayPlatform::toAsk(QProcessEnvironment::systemEnvironment());
        !platform.isEmpty())
        qputenv("QT_QPA_PLATFORM", platform);
    QApplication app(argc, argv);
    // QApplication has taken its own options out of argv; what is left that
    // is none of ours is a mistake.
    if (const QStringList unknown = parseCommandLine(argumentsOf(argc, argv)).unknown; !unknown.isEmpty()) {
        const QString &first = unknown.first();
        return refuse(first.startsWith(QLatin1Char('-')) ? QStringLiteral("unknown option '%1'").arg(first)
                                                         : QStringLiteral("unexpected argument '%1'").arg(first),
                      true);
    }
    QApplication::setApplicationName(QStringLiteral("zavokeyer"));
    QApplication::setApplicationVersion(QString::fromLatin1(kVersion));
    // Lets Wayland desktops tie the window to its menu entry and icon.
    QGuiApplication::setDesktopFileName(QStringLiteral("org.example.zavokeyer"));
    QIcon icon;
    icon.addFile(QStringLiteral(":/icons/zavokeyer-32.png"));
    icon.addFile(QStringLiteral(":/icons/zavokeyer-64.png"));
    QApplication::setWindowIcon(icon);

    SettingsStore store;
    store.setErrorReporter([](const QString &message) {
        QMessageBox::warning(nullptr, QString::fromLatin1(Zavo::Version::kTitle), message);
    });

    // A first run finds no store at all: seed it, with the port the
    // operator picks. Cancel ends here and writes nothing.
    if (!store.exists()) {
        const auto port = !options.firstRunPort.isEmpty()
            ? std::optional<QString>(options.firstRunPort)
            : PortChooser::choose(nullptr, QStringLiteral("Welcome to Zavo Keyer. Choose the serial port "
                                                          "your WinKey keyer is connected to."));
        if (!port)
            return 1;
        Seed::seedStore(store, *port);
        store.reportUnsaved();
    }

    // Read before the window loads, so that its report of hand-edited
    // lines covers this one too.
    const ListenChoice listen = chooseListenAddress(options.cwdaemon, store);
    ZavoMain window(store);
    // An exit() that bypasses the close, as Qt's own when the X server
    // dies, must still key up a tuned transmitter.
    std::atexit(ZavoMain::shutdownLinkAtExit);
    closeOnQuitSignals(&window);
    // Until the window shows, the boxes of the start-up are the only
    // windows: closing one must not end the program.
    QApplication::setQuitOnLastWindowClosed(false);
    // The window shows once the link's first start-up has the chip; a
    // start-up that fails ends the program through the link.
    QObject::connect(&window, &ZavoMain::ready, &window, [&window, &store, listen] {
        // The port the operator chose, if the one stored would not open.
        store.reportUnsaved();
        window.show();
        QApplication::setQuitOnLastWindowClosed(true);
        // Its warnings open and return, as every box does: a quit signal
        // still ends the program while one is up.
        NetworkKeying::start(window.link(), &window, listen, [&window](const QString &message) {
            auto *box = new QMessageBox(QMessageBox::Warning, QString::fromLatin1(Zavo::Version::kTitle),
                                        message, QMessageBox::Ok, &window);
            box->setAttribute(Qt::WA_DeleteOnClose);
            box->open();
        });
    });
    // False: the settings cannot be used, and the box that says so ends
    // the program once it is read.
    window.load();
    const int status = app.exec();
    // Ended by a signal, nobody may be there to answer a box.
    if (const int signal = quitSignal(); signal != 0) {
        store.setErrorReporter([signal](const QString &message) {
            std::fprintf(stderr, "zavokeyer: ended by signal %d (%s). %s\n", signal, strsignal(signal),
                         qPrintable(message));
        });
    }
    // The close stored the window position; what it could not store, and
    // anything still held from an earlier failed Update, is lost now.
    if (store.reportUnsaved(SettingsStore::Moment::Exiting))
        return 1;
    return status;
}
