// Zavo Keyer: entry point. Seeds a first run's store, then brings up the
// main window once the keyer link is initialised.
#include "app/displayplatform.h"
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

int printUsage()
{
    std::printf("Usage: zavokeyer [--first-run-port PORT] [--version | --help]\n\n"
                "Zavo Keyer %s - %s.\n"
                "Sends stored CW messages through a WinKey keyer chip on a serial port.\n"
                "Settings are kept in the per-user store; the keyer settings dialog and the\n"
                "message editor change them. Keys: F1-F5 send, Esc aborts, F6 tunes,\n"
                "F12 re-initialises the link.\n\n"
                "  --first-run-port PORT  when no settings exist yet, use PORT (a device path)\n"
                "                         instead of asking for it\n"
                "  --version              print the version and exit\n"
                "  --help                 print this text and exit\n",
                kVersion, Zavo::Version::kDescription);
    return 0;
}

} // namespace

int main(int argc, char *argv[])
{
    QString firstRunPort;
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--first-run-port") == 0 && i + 1 < argc) {
            firstRunPort = QString::fromLocal8Bit(argv[++i]);
            continue;
        }
        if (std::strcmp(argv[i], "--version") == 0) {
            std::printf("zavokeyer %d.%d.%d\n", Zavo::Version::kMajor, Zavo::Version::kMinor,
                        Zavo::Version::kRevision);
            return 0;
        }
        if (std::strcmp(argv[i], "--help") == 0 || std::strcmp(argv[i], "-h") == 0)
            return printUsage();
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
        const auto port = !firstRunPort.isEmpty() ? std::optional<QString>(firstRunPort) : PortChooser::choose(
            nullptr, QStringLiteral("Welcome to Zavo Keyer. Choose the serial port your WinKey "
                                    "keyer is connected to."));
        if (!port)
            return 1;
        Seed::seedStore(store, *port);
        store.reportUnsaved();
    }

    ZavoMain window(store);
    // An exit() that bypasses the close, as Qt's own when the X server
    // dies, must still key up a tuned transmitter.
    std::atexit(ZavoMain::shutdownLinkAtExit);
    closeOnQuitSignals(&window);
    if (!window.load())
        return 1;
    // The port the operator chose, if the one stored would not open.
    store.reportUnsaved();
    window.show();
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
