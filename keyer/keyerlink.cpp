#include "keyer/keyerlink.h"

#include "keyer/protocol.h"
#include "keyer/serialfacility.h"
#include "settings/keyersettings.h"
#include "settings/settingsstore.h"
#include "settings/settingstable.h"

#include <QThread>
#include <QTime>

#include <algorithm>
#include <cstdlib>

using namespace Zavo;

// Short enough for panel 1 at the window's font; the reason goes to the
// panel's tool tip.
const QString KeyerLink::kLostText = QStringLiteral("Link lost - waiting (F12)");
const QString KeyerLink::kNoAnswerText = QStringLiteral("No answer - waiting (F12)");
const QString KeyerLink::kNoPortText = QStringLiteral("No port - waiting (F12)");

namespace {

// Message 1's position is a 16-bit number: a longer message is cut here.
constexpr qsizetype kMaxMessage1 = 32767;
// Where the chip's minimum speed sits in the parameter block.
constexpr int kBlockMinSpeed = 7;

KeyerLink::Hooks withDefaults(KeyerLink::Hooks hooks)
{
    if (!hooks.message)
        hooks.message = [](const QString &) {};
    if (!hooks.choosePort)
        hooks.choosePort = [](const QString &) { return std::optional<QString>(); };
    if (!hooks.terminate)
        hooks.terminate = [](int code) { std::exit(code); };
    if (!hooks.clock)
        hooks.clock = [] { return QTime::currentTime().msecsSinceStartOfDay() / 1000.0; };
    if (hooks.stableNameDir.isEmpty())
        hooks.stableNameDir = QStringLiteral("/dev/serial/by-id");
    if (!hooks.characterMs)
        hooks.characterMs = static_cast<int>(SerialFacility::kCharacterMs + 1);
    return hooks;
}

} // namespace

KeyerLink::KeyerLink(SettingsStore &store, Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_hooks(withDefaults(std::move(hooks)))
    , m_port(new SerialFacility(this))
    , m_watch(m_hooks.stableNameDir)
{
    connect(&m_watch, &AdapterWatch::arrived, this, &KeyerLink::onAdapterArrived);
    connect(m_port, &SerialFacility::commEvent, this, &KeyerLink::onCommEvent);
    connect(m_port, &SerialFacility::bytesArrived, &m_waker, &Waker::wake);
    connect(m_port, &SerialFacility::portLost, this, &KeyerLink::onPortLost);
}

KeyerLink::~KeyerLink() = default;

bool KeyerLink::isOpen() const
{
    return m_port->isOpen();
}

void KeyerLink::setPanel(int position, const QString &text, bool paintNow)
{
    emit panelText(position, text, paintNow);
}

void KeyerLink::sleep(int ms)
{
    // The chip needs these pauses undisturbed: nothing else is handled.
    QThread::msleep(static_cast<unsigned long>(ms));
}

// ---------------------------------------------------------------- start-up

bool KeyerLink::openPort()
{
    for (;;) {
        const QString device = m_watch.deviceFor(Settings.ComPort, Winkey::portDeviceName(Settings.ComPort));
        m_port->setPortName(device);
        if (m_port->open()) {
            m_watch.noteOpened(Settings.ComPort, device);
            return true;
        }
        QString text;
        if (Settings.ComPort.trimmed().isEmpty()) {
            text = QStringLiteral("No serial port is set for the keyer.");
        } else if (m_port->inUse()) {
            text = QStringLiteral("The serial port %1 (%2) is in use by another program "
                                  "(or another Zavo Keyer). Close that program, or choose "
                                  "another port.")
                       .arg(Settings.ComPort, device);
        } else {
            text = QStringLiteral("The serial port %1 (%2) could not be opened:\n%3")
                       .arg(Settings.ComPort, device, m_port->errorText());
#ifdef Q_OS_LINUX
            if (m_port->permissionDenied())
                text += QStringLiteral("\n\nYour user must be in the 'dialout' group to use serial "
                                       "ports: sudo usermod -aG dialout $USER, then log in again.");
#endif
        }
        if (m_automatic) {
            linkDown(kNoPortText, text);
            return false;
        }
        m_hooks.message(text);
        // A signal to end may come while the operator reads the message.
        if (m_closing)
            return false;
        const auto choice = m_hooks.choosePort(text);
        if (m_closing)
            return false;
        if (!choice) {
            // Without a port at start-up there is nothing to run; later
            // (F12 with the adapter still out) the operator keeps the window.
            if (m_inSession) {
                linkDown(kNoPortText, QStringLiteral("%1 is not open").arg(device));
                return false;
            }
            m_hooks.terminate(EXIT_FAILURE);
            return false;
        }
        Settings.ComPort = *choice;
        const SettingsTable::Entry &port = SettingsTable::entry(&KeyerSettings::ComPort);
        m_store.SaveSetting(port.section, port.key, *choice);
        m_store.reportUnsaved();
    }
}

std::optional<quint8> KeyerLink::awaitReply(std::optional<quint8> wanted)
{
    const double start = m_hooks.clock();
    Winkey::DeadlineClock deadline(Winkey::timeoutAt(2, start), start);
    std::optional<quint8> reply;
    auto done = [&] {
        // Status bytes and speed reports can come at any time; they are
        // never the answer, so they go to the receive path.
        while (!reply && m_port->inBufferCount() > 0) {
            const auto byte = static_cast<quint8>(m_port->input().at(0));
            if (Winkey::isUnsolicited(byte))
                applyReceived(byte);
            else if (!wanted || byte == *wanted)
                reply = byte;
            // Anything else is line noise, or a device that is not the chip.
        }
        return reply || deadline.passed(m_hooks.clock()) || m_closing || !m_port->isOpen();
    };
    waitInEventLoop(m_waker, done, 20);
    return reply;
}

// A reply did not come: say so, unless the wait ended because the program
// is closing or the link went meanwhile (which has said so already).
bool KeyerLink::failedReply()
{
    if (m_closing || (m_inSession && !m_port->isOpen()))
        return false;
    if (!m_automatic) {
        m_hooks.message(QStringLiteral("No Response from Winkey on Com") + Settings.ComPort
                        + QStringLiteral("\r\nCheck Port, Cable or Winkey"));
    }
    if (!m_inSession) {
        m_hooks.terminate(EXIT_FAILURE);
        return false;
    }
    // Mid-session (F12, a settings update) the operator keeps the window;
    // nothing more goes to a chip that does not answer.
    m_port->close();
    linkDown(kNoAnswerText, QStringLiteral("the keyer on %1 does not answer")
                                .arg(Winkey::portDeviceName(Settings.ComPort)));
    return false;
}

bool KeyerLink::initialise()
{
    // A second run started from inside the waits of the first would
    // interleave two byte sequences on the line.
    if (m_initRunning || m_closing)
        return false;
    m_initRunning = true;
    const bool ok = [this] {
        if (Reinit) {
            m_port->close();
            Reinit = false;
            sleep(250);
        }
        m_port->setReceiveThreshold(0);
        if (!openPort())
            return false;
        setPanel(2, Winkey::portPanelText(Settings.ComPort), true);
        sleep(600);

        m_port->write(Winkey::calibrateHead());
        sleep(50);
        m_port->write(Winkey::calibrateTail());

        // Whatever waited from before the port was (re)opened answers
        // nothing, and an XOFF from then has lost the C4 that would end it.
        m_port->discardInput();
        XoffActive = false;
        m_port->write(Winkey::echoTest());
        if (!awaitReply(static_cast<quint8>(Winkey::kEchoByte)))
            return failedReply();
        // One answer is all the echo test wants; anything after it is stale.
        while (m_port->inBufferCount() > 0) {
            const auto byte = static_cast<quint8>(m_port->input().at(0));
            if (Winkey::isUnsolicited(byte))
                applyReceived(byte);
        }

        m_port->write(Winkey::hostOpen());
        const auto revision = awaitReply();
        if (!revision)
            return failedReply();
        m_linkDownText.clear();
        emit linkDetail(QString());
        setPanel(1, QStringLiteral("Winkey Online - Firmware Rev.") + QString::number(*revision));

        ModeRegister = Winkey::modeRegister(Settings.IambicMode, Settings.CTSpace,
                                            Settings.AutoSpace, Settings.PaddleSwap);
        SpeedRange = Winkey::speedRange(Settings.MaxSpeed, Settings.MinSpeed);
        const Winkey::ParameterBlock block = Winkey::parameterBlock(
            static_cast<quint8>(ModeRegister), SettingsTable::blockParameters(Settings, SpeedRange));
        m_port->write(block.bytes);
        m_chipMinSpeed = static_cast<quint8>(block.bytes.at(kBlockMinSpeed));
        sleep(250);
        m_port->setReceiveThreshold(1);
        m_port->write(Winkey::getSpeedPot());

        if (!block.rejected.isEmpty()) {
            QStringList lines;
            for (const Winkey::RejectedParameter &r : block.rejected)
                lines << QStringLiteral("%1 = \"%2\" (%3)").arg(r.key, r.text, r.reason);
            m_hooks.message(QStringLiteral("These settings cannot be sent to the keyer:\n%1\n\n"
                                           "The usual values were sent in their place for now; "
                                           "your settings are kept unchanged. Correct them in the "
                                           "keyer settings.")
                                .arg(lines.join(QLatin1Char('\n'))));
        }
        return true;
    }();
    m_initRunning = false;
    if (ok) {
        m_watch.stop();
    } else if (m_inSession && !m_closing) {
        // Down: wait for the adapter to come back. A failed attempt of our
        // own waits for the next arrival, not for this device again.
        if (m_automatic && m_watch.isWatching())
            m_watch.attemptFailed();
        else
            m_watch.start(Settings.ComPort, Winkey::portDeviceName(Settings.ComPort));
    }
    runQueued();
    return ok;
}

// ---------------------------------------------------------------- receiving

void KeyerLink::applyReceived(quint8 byte)
{
    const Winkey::ReceiveEffect effect =
        Winkey::classifyByte(byte, m_chipMinSpeed.value_or(Settings.MinSpeed), XoffActive);
    XoffActive = effect.xoffActive;
    if (effect.panel3)
        setPanel(3, *effect.panel3);
    if (effect.panel1)
        setPanel(1, *effect.panel1);
    m_waker.wake();
}

void KeyerLink::onCommEvent(int code)
{
    if (code != SerialFacility::kEventReceive)
        return;
    // Every waiting byte, once each, in the order it came.
    while (m_port->inBufferCount() > 0)
        applyReceived(static_cast<quint8>(m_port->input().at(0)));
}

void KeyerLink::onPortLost(const QString &reason)
{
    ++m_generation; // a send in progress has nowhere to go
    m_queue.clear();
    // The C4 that would end an XOFF can no longer come.
    XoffActive = false;
    linkDown(kLostText, reason);
    m_waker.wake();
    if (m_inSession && !m_closing && !m_initRunning)
        m_watch.start(Settings.ComPort, Winkey::portDeviceName(Settings.ComPort));
}

void KeyerLink::onAdapterArrived()
{
    if (m_closing || isBusy() || m_draining)
        return;
    // The same re-initialisation as F12, but nobody is asked anything: a
    // device that is not the keyer must not raise a message box unasked.
    m_automatic = true;
    m_port->close();
    initialise();
    m_automatic = false;
}

void KeyerLink::linkDown(const QString &text, const QString &reason)
{
    m_linkDownText = text;
    setPanel(1, text);
    emit linkDetail(reason);
}

bool KeyerLink::linkIsDown()
{
    if (m_port->isOpen())
        return false;
    if (m_linkDownText.isEmpty())
        m_linkDownText = kNoPortText;
    return true;
}

// ---------------------------------------------------------------- keys

bool KeyerLink::handlesKey(int key)
{
    switch (key) {
    case Qt::Key_Escape:
    case Qt::Key_F1:
    case Qt::Key_F2:
    case Qt::Key_F3:
    case Qt::Key_F4:
    case Qt::Key_F5:
    case Qt::Key_F6:
    case Qt::Key_F12:
        return true;
    default:
        return false;
    }
}

void KeyerLink::press(int key)
{
    if (m_closing || !handlesKey(key))
        return;
    if (key == Qt::Key_Escape) {
        abortSending();
        return;
    }
    // A re-initialisation asked for during one is the same request.
    if (key == Qt::Key_F12 && m_initRunning)
        return;
    Action action{key, key == Qt::Key_F1 ? Settings.Message1 : QString()};
    if (isBusy() || m_draining) {
        m_queue.push_back(std::move(action));
        return;
    }
    run(action);
}

void KeyerLink::settingsUpdate()
{
    if (m_closing || m_initRunning)
        return;
    if (isBusy() || m_draining) {
        m_queue.push_back({-1, {}});
        return;
    }
    run({-1, {}});
}

void KeyerLink::run(const Action &action)
{
    switch (action.key) {
    case -1:
        reinitialise(true);
        return;
    case Qt::Key_F12:
        reinitialise(false);
        return;
    default:
        break;
    }
    // Nothing can reach the chip; the operator is told why instead.
    if (linkIsDown()) {
        setPanel(1, m_linkDownText);
        return;
    }
    if (action.key == Qt::Key_F1)
        sendMessage1(action.text);
    else if (action.key == Qt::Key_F6)
        toggleTune();
    else
        sendMessage(action.key - Qt::Key_F1 + 1);
}

// What was pressed while the link was busy runs now, in the order pressed.
void KeyerLink::runQueued()
{
    if (m_draining)
        return;
    m_draining = true;
    while (!m_queue.empty() && !m_closing && !isBusy()) {
        const Action action = m_queue.front();
        m_queue.pop_front();
        run(action);
    }
    m_draining = false;
}

void KeyerLink::abortSending()
{
    m_port->write(Winkey::abortCommand());
    TuneOn = false;
    // Ends a message 1 in progress too: its tail must not follow the abort,
    // and nothing that waited for it goes either.
    ++m_generation;
    m_queue.clear();
    setPanel(1, QStringLiteral("Aborted!"), true);
    // For the operator and the chip this is a blocking pause: keys, clicks
    // and received bytes all wait until it is over and are then handled in
    // order. Unlike a sleep of the thread it still lets the window paint
    // and answer the screen reader.
    const int threshold = m_port->receiveThreshold();
    m_port->setReceiveThreshold(0);
    emit pauseStarted();
    waitInEventLoop(m_waker, [this] { return m_closing; }, 0, 1200);
    if (m_closing)
        return;
    setPanel(1, linkIsDown() ? m_linkDownText : QString());
    // What the chip said meanwhile is read now, after the panel is cleared.
    m_port->setReceiveThreshold(threshold);
    emit pauseEnded();
    m_waker.wake();
}

void KeyerLink::sendMessage1(const QString &text)
{
    m_sending = true;
    const quint64 generation = m_generation;
    auto aborted = [this, generation] { return generation != m_generation || m_closing; };
    auto xoffCleared = [&] { return !XoffActive || aborted(); };

    [&] {
        if (XoffActive)
            waitInEventLoop(m_waker, xoffCleared);
        const auto n = std::min(text.size(), kMaxMessage1);
        for (qsizetype i = 0; i < n && !aborted(); ++i) {
            CharIndex = static_cast<qint16>(i + 1);
            const auto character = Winkey::textByte(text, i);
            if (!character)
                continue; // nothing the chip can key, so nothing to pace
            m_port->write(QByteArray(1, *character));
            // Give the character its time on the wire so that an XOFF the
            // chip sends for it is seen before the next one goes.
            waitInEventLoop(m_waker, aborted, 0, *m_hooks.characterMs);
            if (XoffActive && !aborted()) {
                setPanel(1, QStringLiteral("WinKey Status - XOFF"));
                waitInEventLoop(m_waker, xoffCleared);
            }
        }
        if (!aborted())
            setPanel(1, text);
    }();
    m_sending = false;
    runQueued();
}

void KeyerLink::sendMessage(int n)
{
    if (TuneOn)
        return;
    const QString text = Settings.message(n);
    m_port->write(Winkey::textBytes(text));
    setPanel(1, text);
}

void KeyerLink::toggleTune()
{
    if (TuneOn) {
        m_port->write(Winkey::tuneCommand(false));
        setPanel(1, QString());
        TuneOn = false;
    } else {
        m_port->write(Winkey::tuneCommand(true));
        setPanel(1, QStringLiteral("Tune"));
        TuneOn = true;
    }
}

void KeyerLink::reinitialise(bool fromUpdate)
{
    if (fromUpdate) {
        Reinit = true;
    } else {
        m_port->close();
    }
    initialise();
}

void KeyerLink::shutdown()
{
    m_closing = true;
    m_queue.clear();
    m_watch.stop();
    // A transmitter left keyed by tune must not outlive the program.
    if (TuneOn && m_port->isOpen())
        m_port->write(Winkey::tuneCommand(false));
    m_port->close();
    m_waker.wake(); // every wait sees the program going
}
