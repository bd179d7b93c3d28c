#include "keyer/keyerlink.h"

#include "keyer/protocol.h"
#include "keyer/serialfacility.h"
#include "keyer/startup.h"
#include "settings/keyersettings.h"
#include "settings/settingsstore.h"
#include "settings/settingstable.h"

#include <QPointer>
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
// A network request that finds more than this waiting for the wire is
// refused: a client must not fill memory faster than 1200 baud drains it.
constexpr qint64 kNetworkBacklog = 64;
// While tuned nothing but paced characters goes out, so a key-up is on the
// wire well within this.
constexpr qint64 kTuneOffDrainMs = 500;

KeyerLink::Hooks withDefaults(KeyerLink::Hooks hooks)
{
    if (!hooks.message)
        hooks.message = [](const QString &, const std::function<void()> &closed) { closed(); };
    if (!hooks.choosePort) {
        hooks.choosePort = [](const QString &, const std::function<void(std::optional<QString>)> &chosen) {
            chosen(std::nullopt);
        };
    }
    if (!hooks.terminate)
        hooks.terminate = [](int code) { std::exit(code); };
    if (!hooks.clock)
        hooks.clock = [] { return QTime::currentTime().msecsSinceStartOfDay() / 1000.0; };
    if (hooks.stableNameDir.isEmpty())
        hooks.stableNameDir = QStringLiteral("/dev/serial/by-id");
    if (!hooks.timings.characterMs)
        hooks.timings.characterMs = static_cast<int>(SerialFacility::kCharacterMs + 1);
    return hooks;
}

// "COM3 (/dev/ttyS2)", or just the path when that is what was stored.
QString portLabel(const QString &comPort, const QString &device)
{
    return comPort == device ? comPort : QStringLiteral("%1 (%2)").arg(comPort, device);
}

} // namespace

KeyerLink::KeyerLink(SettingsStore &store, Hooks hooks, QObject *parent)
    : QObject(parent)
    , m_store(store)
    , m_hooks(withDefaults(std::move(hooks)))
    , m_port(new SerialFacility(this))
    , m_watch(m_hooks.stableNameDir)
    , m_pacer(*m_port, *m_hooks.timings.characterMs)
    , m_startUp(std::make_unique<ChipStartUp>(*m_port, m_hooks.timings, m_hooks.clock))
{
    // A coarse timer may end a 1200 ms wait 5 % early.
    m_pauseTimer.setSingleShot(true);
    m_pauseTimer.setTimerType(Qt::PreciseTimer);
    // A byte's time on the wire as the pacing reckons it: shortened pacing
    // (a simulator that takes bytes at once) holds nothing back for the
    // wire either.
    m_port->setByteMs(std::min<double>(*m_hooks.timings.characterMs, SerialFacility::kCharacterMs));
    connect(m_startUp.get(), &ChipStartUp::stepChanged, this, &KeyerLink::stepChanged);
    connect(m_startUp.get(), &ChipStartUp::openDue, this, &KeyerLink::openStep);
    connect(m_startUp.get(), &ChipStartUp::unsolicited, this, &KeyerLink::applyReceived);
    connect(m_startUp.get(), &ChipStartUp::revision, this, &KeyerLink::onRevision);
    connect(m_startUp.get(), &ChipStartUp::noReply, this, [this] {
        failedReply(QStringLiteral("the keyer on %1 does not answer").arg(Winkey::portDeviceName(Settings.ComPort)));
    });
    connect(m_startUp.get(), &ChipStartUp::blockDone, this, &KeyerLink::onBlockDone);
    connect(&m_pauseTimer, &QTimer::timeout, this, &KeyerLink::endPause);
    connect(&m_pacer, &Pacer::unitReached, this, [](qint16 charIndex) { CharIndex = charIndex; });
    connect(&m_pacer, &Pacer::held, this, &KeyerLink::onPacedHeld);
    connect(&m_pacer, &Pacer::finished, this, &KeyerLink::onPacedWritten);
    connect(&m_watch, &AdapterWatch::arrived, this, &KeyerLink::onAdapterArrived);
    connect(m_port, &SerialFacility::commEvent, this, &KeyerLink::onCommEvent);
    connect(m_port, &SerialFacility::bytesArrived, this, &KeyerLink::onBytesArrived);
    connect(m_port, &SerialFacility::portLost, this, &KeyerLink::onPortLost);
}

KeyerLink::~KeyerLink() = default;

KeyerLink::Step KeyerLink::step() const
{
    return m_startUp->step();
}

bool KeyerLink::isOpen() const
{
    return m_port->isOpen();
}

// The one place the state changes. What each state means for the line:
// the chip's bytes are read as they come only while the link is up and
// not in Escape's pause; a link that is not up has no transmitter keyed.
void KeyerLink::setState(State state)
{
    if (m_state == state)
        return;
    m_state = state;
    switch (state) {
    case State::Idle:
        m_watch.stop();
        m_port->setReceiveThreshold(1);
        break;
    case State::Sending:
    case State::Stalled:
        m_port->setReceiveThreshold(1);
        break;
    case State::Down:
    case State::Starting:
        TuneOn = false;
        m_port->setReceiveThreshold(0);
        break;
    case State::Paused:
    case State::Closing:
        m_port->setReceiveThreshold(0);
        break;
    }
    emit stateChanged(state);
}

// Where the link goes next; during Escape's pause, where the pause ends.
void KeyerLink::enter(State state)
{
    if (m_state == State::Paused)
        m_afterPause = state;
    else
        setState(state);
}

void KeyerLink::setPanel(int position, const QString &text, bool paintNow)
{
    // "Aborted!" stands for the whole pause; what a start-up under it has
    // to say shows when it ends.
    if (position == 1 && m_state == State::Paused) {
        m_panelAfterPause = text;
        return;
    }
    emit panelText(position, text, paintNow);
}

template<typename Act>
auto KeyerLink::forSession(Act act)
{
    return [link = QPointer<KeyerLink>(this), session = m_session, act = std::move(act)](auto &&...args) {
        if (link && link->m_session == session && link->m_state != State::Closing)
            act(std::forward<decltype(args)>(args)...);
    };
}

// ---------------------------------------------------------------- start-up

void KeyerLink::initialise()
{
    // A second run beside the first would interleave two byte sequences on
    // the line.
    if (step() != Step::None || m_state == State::Starting || m_state == State::Closing)
        return;
    ++m_session;
    m_startUp->begin();
    m_askAfterStartUp = m_askAfterStartUp || !m_awaited.empty();
    setState(State::Starting);
    if (Reinit) {
        m_port->close();
        Reinit = false;
        return m_startUp->pauseBeforeOpen();
    }
    openStep();
}

void KeyerLink::openStep()
{
    const QString configured = Winkey::portDeviceName(Settings.ComPort);
    const QString device = m_watch.deviceFor(Settings.ComPort, configured);
    m_port->setPortName(device);
    if (m_port->open()) {
        m_watch.noteOpened(Settings.ComPort, device);
        setPanel(2, Winkey::portPanelText(Settings.ComPort), true);
        return m_startUp->portOpened();
    }
    // What stood there when it failed: an adapter plugged in while the
    // operator reads about it is a new arrival.
    m_failedDevice = m_watch.identityNow(Settings.ComPort, configured);
    QString text;
    if (Settings.ComPort.trimmed().isEmpty()) {
        text = QStringLiteral("No serial port is set for the keyer.");
    } else if (m_port->inUse()) {
        text = QStringLiteral("The serial port %1 is in use by another program "
                              "(or another Zavo Keyer). Close that program, or choose "
                              "another port.")
                   .arg(portLabel(Settings.ComPort, device));
    } else {
        text = QStringLiteral("The serial port %1 could not be opened:\n%2")
                   .arg(portLabel(Settings.ComPort, device), m_port->errorText());
#ifdef Q_OS_LINUX
        if (m_port->permissionDenied())
            text += QStringLiteral("\n\nYour user must be in the 'dialout' group to use serial "
                                   "ports: sudo usermod -aG dialout $USER, then log in again.");
#endif
    }
    if (m_automatic) {
        // Busy or not yet ours: udev or a modem prober may let go soon.
        m_watch.attemptFailed(m_port->inUse() || m_port->permissionDenied());
        goDown(kNoPortText, text);
        return finishStartup(false);
    }
    askForPort(text, device);
}

// The operator is told why, then offered the chooser; the start-up waits in
// its Asking step, and the answers act only on this start-up.
void KeyerLink::askForPort(const QString &text, const QString &device)
{
    m_startUp->ask();
    auto chosen = forSession([this, device](const std::optional<QString> &choice) {
        if (step() != Step::Asking)
            return;
        if (!choice) {
            // Without a port at start-up there is nothing to run; later
            // (F12 with the adapter still out) the operator keeps the window.
            if (m_inSession) {
                goDown(kNoPortText, QStringLiteral("%1 is not open").arg(device));
            } else {
                m_startUp->end();
                enter(State::Down);
                m_hooks.terminate(EXIT_FAILURE);
            }
            return finishStartup(false);
        }
        Settings.ComPort = *choice;
        const SettingsTable::Entry &port = SettingsTable::entry(&KeyerSettings::ComPort);
        m_store.SaveSetting(port.section, port.key, *choice);
        m_store.reportUnsaved();
        openStep();
    });
    m_hooks.message(text, forSession([this, text, chosen] {
        if (step() == Step::Asking)
            m_hooks.choosePort(text, chosen);
    }));
}

void KeyerLink::onRevision(quint8 revision)
{
    m_linkDownText.clear();
    emit linkDetail(QString());
    setPanel(1, QStringLiteral("Winkey Online - Firmware Rev.") + QString::number(revision));

    ModeRegister = Winkey::modeRegister(Settings.IambicMode, Settings.CTSpace,
                                        Settings.AutoSpace, Settings.PaddleSwap);
    SpeedRange = Winkey::speedRange(Settings.MaxSpeed, Settings.MinSpeed);
    const Winkey::ParameterBlock block = Winkey::parameterBlock(
        static_cast<quint8>(ModeRegister), SettingsTable::blockParameters(Settings, SpeedRange));
    m_port->write(block.bytes);
    m_chipMinSpeed = static_cast<quint8>(block.bytes.at(Winkey::Block::kMinSpeed));
    // The chip is back to the operator's own values: whatever a logger had
    // changed is gone with the block.
    m_logger.startOver(block.bytes);
    m_knobReads = 0;
    m_statusReads = 0;
    QStringList lines;
    for (const Winkey::RejectedParameter &r : block.rejected)
        lines << QStringLiteral("%1 = \"%2\" (%3)").arg(r.key, r.text, r.reason);
    m_rejectedText = lines.join(QLatin1Char('\n'));
    m_startUp->blockWritten();
}

void KeyerLink::onBlockDone()
{
    m_startUp->end();
    enter(State::Idle);
    m_port->write(Winkey::getSpeedPot());
    ++m_knobReads;
    m_port->write(m_logger.pttOffOnReturn());
    if (std::exchange(m_tuneLost, false))
        m_port->write(Winkey::tuneCommand(false));
    // Something was going out when this start-up began: the chip's buffer
    // may still be full, or a logger's text still keying. Its status says
    // so, where the start-up threw the chip's word away.
    if (std::exchange(m_askAfterStartUp, false)) {
        m_port->write(QByteArray(1, Winkey::kStatusRequest));
        ++m_statusReads;
    }
    if (!m_rejectedText.isEmpty())
        reportRejected(std::exchange(m_rejectedText, QString()));
    finishStartup(true);
}

// A reply did not come. At start-up the program ends once the operator has
// read why; mid-session (F12, an Update) the link goes down at once and the
// box only tells: its answer changes nothing.
void KeyerLink::failedReply(const QString &why)
{
    const QString text = QStringLiteral("No Response from Winkey on Com") + Settings.ComPort
        + QStringLiteral("\r\nCheck Port, Cable or Winkey");
    if (!m_inSession) {
        // Nothing more goes to a chip that does not answer.
        m_startUp->end();
        m_port->close();
        enter(State::Down);
        m_hooks.message(text, forSession([this] {
            m_hooks.terminate(EXIT_FAILURE);
            finishStartup(false);
        }));
        return;
    }
    if (m_automatic)
        m_watch.attemptFailed();
    else
        m_failedDevice = m_watch.identityNow(Settings.ComPort, Winkey::portDeviceName(Settings.ComPort));
    const bool ask = !m_automatic;
    goDown(kNoAnswerText, why);
    if (ask)
        m_hooks.message(text, [] {});
    finishStartup(false);
}

void KeyerLink::finishStartup(bool ok)
{
    // What waited behind a reconnection was asked for by the operator.
    m_automatic = false;
    emit started(ok);
    if (m_state == State::Idle || m_state == State::Down)
        runQueued();
}

void KeyerLink::reportRejected(const QString &list)
{
    const QString text = QStringLiteral("These settings cannot be sent to the keyer:\n%1\n\n"
                                        "The usual values were sent in their place for now; "
                                        "your settings are kept unchanged. Correct them in the "
                                        "keyer settings.")
                             .arg(list);
    // A reconnection by itself asks nothing: the panel's tool tip says it.
    if (m_automatic)
        emit linkDetail(text);
    else
        m_hooks.message(text, [] {});
}

// ---------------------------------------------------------------- receiving

void KeyerLink::applyReceived(quint8 byte)
{
    const Winkey::ReceiveEffect effect =
        Winkey::classifyByte(byte, m_chipMinSpeed.value_or(Settings.MinSpeed), XoffActive);
    XoffActive = effect.xoffActive;
    bool showSpeed = true;
    bool showStatus = true;
    if (byte >= 0x80 && byte < Winkey::kStatusBase) {
        m_knobWpm = int(byte) - 0x80 + m_chipMinSpeed.value_or(Settings.MinSpeed);
        // A report nobody asked for is the operator turning the knob: it
        // sets the speed again, whatever a logger had asked for.
        if (m_knobReads > 0) {
            --m_knobReads;
            // A logger's speed stands: the chip keys at that, not the knob's.
            showSpeed = m_logger.wpm() == 0;
        } else if (isUp()) {
            m_port->write(m_logger.knobTurned());
        }
    } else if (byte >= Winkey::kStatusBase) {
        // The answer to our own status request says where the chip is; panel
        // 1 keeps what the operator was shown.
        if (m_statusReads > 0) {
            --m_statusReads;
            showStatus = false;
        }
        applyStatus(byte);
    }
    if (effect.panel3 && showSpeed)
        setPanel(3, *effect.panel3);
    if (effect.panel1 && showStatus)
        setPanel(1, *effect.panel1);
    // The chip said XON: a held message goes on.
    if (m_state == State::Stalled && !XoffActive) {
        setState(State::Sending);
        m_pacer.resume();
    }
}

// A logger's text is keyed once the chip, having said busy since it went,
// says idle; paddles breaking in took it off the air.
void KeyerLink::applyStatus(quint8 byte)
{
    if (byte & Winkey::kStatusBreakIn) {
        // The operator took the paddles: the chip dropped the logger's text,
        // and the rest of it, and what it had queued, goes no more either.
        const bool stopped = m_paced && m_paced->network;
        const bool speedChanged = stopped && m_paced->speedChanged;
        if (stopped)
            stopPaced();
        dropQueuedNetworkTexts(TextOutcome::Aborted);
        endAwaited(TextOutcome::Aborted);
        if (stopped) {
            if (speedChanged)
                m_port->write(QByteArray(1, Winkey::kCancelBufferedSpeed));
            setState(State::Idle);
            runQueuedLater();
        }
        return;
    }
    if (m_loggerText.onChip) {
        if (byte & Winkey::kStatusBusy)
            m_loggerText.busySeen = true;
        else if (m_loggerText.busySeen && !(m_paced && m_paced->network))
            m_loggerText = {};
    }
    if (m_awaited.empty())
        return;
    if (byte & Winkey::kStatusBusy) {
        for (Awaited &awaited : m_awaited)
            awaited.busySeen = true;
        return;
    }
    std::vector<quint64> keyed;
    std::erase_if(m_awaited, [&keyed](const Awaited &awaited) {
        const bool done = awaited.busySeen && awaited.written;
        if (done)
            keyed.push_back(awaited.tag);
        return done;
    });
    endTexts(std::move(keyed), TextOutcome::Keyed);
}

void KeyerLink::onCommEvent(int code)
{
    if (code != SerialFacility::kEventReceive)
        return;
    // Every waiting byte, once each, in the order it came.
    while (m_port->inBufferCount() > 0 && m_port->receiveThreshold() > 0)
        applyReceived(static_cast<quint8>(m_port->input().at(0)));
}

void KeyerLink::onBytesArrived()
{
    m_startUp->bytesArrived();
}

void KeyerLink::onPortLost(const QString &reason)
{
    if (m_state == State::Closing)
        return;
    // At start-up, before any chip answered, a device that goes is one
    // that does not answer.
    if (step() != Step::None && !m_inSession && !m_startUp->chipAnswered())
        return failedReply(reason);
    const bool starting = step() != Step::None;
    m_failedDevice = m_watch.identityNow(Settings.ComPort, Winkey::portDeviceName(Settings.ComPort));
    goDown(kLostText, reason);
    if (starting)
        finishStartup(m_startUp->chipAnswered());
}

void KeyerLink::onAdapterArrived()
{
    // Only a link that is down tries; in a pause or a start-up the watch
    // tells again on its next look.
    if (m_state != State::Down)
        return;
    // The same re-initialisation as F12, but nobody is asked anything: a
    // device that is not the keyer must not raise a message box unasked.
    m_automatic = true;
    m_port->close();
    initialise();
}

// Every way down comes here: what was going out stops, what waited is
// dropped (the next start-up sends the stored settings anyway), the
// transmitter counts as unkeyed, and the adapter is awaited.
void KeyerLink::goDown(const QString &text, const QString &reason)
{
    ++m_session;
    m_startUp->end();
    stopPaced();
    endQueuedTexts(m_queue, TextOutcome::Dropped);
    m_queue.clear();
    m_queuedNetworkCost = 0;
    endAwaited(TextOutcome::Dropped);
    m_logger.end();
    m_knobReads = 0;
    m_statusReads = 0;
    m_askAfterStartUp = false;
    // A chip that kept its power may still be keying: tuned, or its key-up
    // unsent or just sent when the line went. The next start-up keys it up.
    const QList<QByteArray> unsent = m_port->discardOutput();
    m_tuneLost = m_tuneLost || TuneOn || unsent.contains(Winkey::tuneCommand(false))
        || (m_tuneOffAt.isValid() && !m_tuneOffAt.hasExpired(kTuneOffDrainMs));
    m_port->close();
    XoffActive = false;
    m_linkDownText = text;
    if (m_state == State::Paused) {
        m_afterPause = State::Down; // the pause's end shows it
    } else {
        setState(State::Down);
        setPanel(1, text);
    }
    TuneOn = false;
    emit linkDetail(reason);
    // An attempt of the watch's own keeps it watching (attemptFailed said
    // what to wait for); any other way down starts it afresh.
    if (!(m_automatic && m_watch.isWatching()))
        m_watch.start(Settings.ComPort, Winkey::portDeviceName(Settings.ComPort), m_failedDevice);
    m_failedDevice.reset();
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
    if (key != kSettingsUpdate && !handlesKey(key))
        return;
    const bool reinit = key == Qt::Key_F12 || key == kSettingsUpdate;
    // A message goes out as it was when its key was pressed.
    Action action;
    action.key = key;
    if (key >= Qt::Key_F1 && key <= Qt::Key_F5)
        action.text = Settings.message(key - Qt::Key_F1 + 1);
    switch (m_state) {
    case State::Closing:
        return;
    case State::Paused:
        // The window holds the operator's input through the pause; what
        // comes anyway waits for its end, in order.
        break;
    case State::Starting:
        if (key == Qt::Key_Escape)
            return escape();
        // F12 during a start-up is the start-up already running; an Update
        // must still reach the chip, after it.
        if (key == Qt::Key_F12)
            return;
        break;
    case State::Stalled:
        // The operator's way out of a chip that holds XOFF: at once, and
        // what the message had left is dropped.
        if (reinit) {
            if (m_paced && m_paced->network && m_paced->tag != 0) {
                const quint64 tag = m_paced->tag;
                if (std::erase_if(m_awaited, [tag](const Awaited &a) { return a.tag == tag; }) > 0)
                    endTexts({tag}, TextOutcome::Aborted);
            }
            stopPaced();
            m_askAfterStartUp = true;
            return run(action, false);
        }
        [[fallthrough]];
    case State::Sending:
        if (key == Qt::Key_Escape)
            return escape();
        break;
    case State::Down:
    case State::Idle:
        // Escape never waits behind a logger's request that has yet to run.
        if (key == Qt::Key_Escape)
            return escape();
        break;
    }
    submit(std::move(action));
}

// Runs now when nothing goes out and nothing waits; otherwise waits its turn.
void KeyerLink::submit(Action action)
{
    if ((m_state == State::Idle || m_state == State::Down) && m_queue.empty())
        return run(action, false);
    m_queuedNetworkCost += action.cost;
    m_queue.push_back(std::move(action));
}

bool KeyerLink::networkRequest(const Cwdaemon::Request &request, quint64 tag)
{
    using Kind = Cwdaemon::Kind;
    switch (request.kind) {
    case Kind::Abort:
        // The logger's Escape is the operator's. In Escape's pause the air
        // is being cleared already: more of them would only hold the keys.
        // What the loggers sent in the pause they meant to stop, though.
        if (m_state == State::Paused) {
            dropQueuedNetworkTexts(TextOutcome::Aborted);
            return false;
        }
        press(Qt::Key_Escape);
        return true;
    case Kind::Text:
    case Kind::Reset:
    case Kind::Speed:
    case Kind::Tone:
    case Kind::Weighting:
    case Kind::Ptt:
    case Kind::Tune:
    case Kind::PttDelay:
        break;
    default:
        // Exit, the keying device, sound: nothing a client may change here.
        return false;
    }
    if (m_state == State::Down || m_state == State::Closing)
        return false;
    // The loggers' text that has not gone yet goes no more; a sender that
    // waits for its reply hears break.
    if (request.kind == Kind::Reset)
        dropQueuedNetworkTexts(TextOutcome::Aborted);
    const int cost = request.kind == Kind::Text ? int(request.text.size()) + 1 : 1;
    if (m_queuedNetworkCost + cost > Cwdaemon::kMaxQueued)
        return false;
    // Always through the queue, so that a client's requests all reach it
    // at once and an Escape finds them there; it runs from the event loop,
    // never inside the caller.
    m_queuedNetworkCost += cost;
    m_queue.push_back(Action{kNetwork, QString(), request, tag, cost});
    if (m_state == State::Idle)
        runQueuedLater();
    return true;
}

void KeyerLink::dropQueuedNetworkTexts(TextOutcome outcome)
{
    std::deque<Action> kept;
    std::deque<Action> dropped;
    for (Action &action : m_queue) {
        const bool text = action.key == kNetwork && action.request.kind == Cwdaemon::Kind::Text;
        (text ? dropped : kept).push_back(std::move(action));
    }
    m_queue.swap(kept);
    for (const Action &action : dropped)
        m_queuedNetworkCost -= action.cost;
    endQueuedTexts(dropped, outcome);
}

int KeyerLink::keyingWpm() const
{
    if (m_logger.wpm() != 0)
        return m_logger.wpm();
    return m_knobWpm.value_or(Settings.MinSpeed);
}

// One input; waited says it comes from the queue, after something else.
void KeyerLink::run(const Action &action, bool waited)
{
    switch (action.key) {
    case kNetwork:
        return runNetwork(action);
    case kSettingsUpdate:
        Reinit = true;
        return reinitialise();
    case Qt::Key_F12:
        return reinitialise();
    case Qt::Key_Escape:
        return escape();
    default:
        break;
    }
    // Nothing can reach the chip; the operator is told why instead.
    if (m_state == State::Down || !m_port->isOpen()) {
        setPanel(1, m_linkDownText.isEmpty() ? kNoPortText : m_linkDownText);
        return;
    }
    if (action.key == Qt::Key_F1)
        return sendPaced(action.text);
    if (action.key == Qt::Key_F6)
        return toggleTune();
    if (TuneOn)
        return;
    // A message that waited its turn, or one pressed while the chip says
    // XOFF, goes paced like message 1: the chip's buffer cannot take four
    // messages in one go.
    if (waited || XoffActive)
        return sendPaced(action.text);
    sendMessage(action.text);
}

// What was pressed while the link was busy runs now, in the order pressed,
// until something takes the link out of Idle (a paced message, a start-up).
void KeyerLink::runQueued()
{
    while (!m_queue.empty() && (m_state == State::Idle || m_state == State::Down)) {
        const Action action = m_queue.front();
        m_queue.pop_front();
        m_queuedNetworkCost -= action.cost;
        run(action, true);
    }
}

// From the event loop a moment later, once.
void KeyerLink::runQueuedLater()
{
    if (std::exchange(m_runQueuedPosted, true))
        return;
    QMetaObject::invokeMethod(
        this,
        [this] {
            m_runQueuedPosted = false;
            if (m_state == State::Idle || m_state == State::Down)
                runQueued();
        },
        Qt::QueuedConnection);
}

// Escape drops what waits to go on the air: the keys and the loggers'
// texts, PTT on and tune. Settings are not air time: a stored setting or an
// F12 still reaches the chip after the pause, once, and a logger's speed,
// weighting, tone, PTT times, PTT off or reset in its turn.
void KeyerLink::dropQueuedKeys()
{
    using Kind = Cwdaemon::Kind;
    std::deque<Action> kept;
    std::deque<Action> dropped;
    std::optional<std::size_t> reinitAt;
    m_queuedNetworkCost = 0;
    for (Action &action : m_queue) {
        if (action.key == Qt::Key_F12 || action.key == kSettingsUpdate) {
            // An Update covers an F12: both re-initialise with the stored values.
            if (!reinitAt) {
                reinitAt = kept.size();
                kept.push_back(std::move(action));
            } else if (action.key == kSettingsUpdate) {
                kept[*reinitAt] = std::move(action);
            }
            continue;
        }
        const Kind kind = action.request.kind;
        const bool setting = action.key == kNetwork
            && (kind == Kind::Speed || kind == Kind::Weighting || kind == Kind::Tone || kind == Kind::PttDelay
                || kind == Kind::Reset || (kind == Kind::Ptt && action.request.value == 0));
        if (setting) {
            m_queuedNetworkCost += action.cost;
            kept.push_back(std::move(action));
        } else {
            dropped.push_back(std::move(action));
        }
    }
    m_queue.swap(kept);
    endQueuedTexts(dropped, TextOutcome::Aborted);
}

void KeyerLink::escape()
{
    // A long message may still be in the driver's queue: the abort goes
    // before it, not seconds after. A start-up's commands are left to go,
    // and before the echo test the chip has nothing to clear: a byte between
    // the calibration's parts would spoil it.
    const bool starting = m_state == State::Starting;
    const Step at = step();
    const bool spokenTo = !starting || at == Step::Echo || at == Step::Revision || at == Step::BlockPause;
    // Only whole units are dropped: the clear always arrives as a command.
    const QList<QByteArray> dropped = starting ? QList<QByteArray>() : m_port->discardOutput();
    if (spokenTo)
        m_port->write(Winkey::abortCommand());
    // Not every chip ends a key-down on a clear-buffer. A key-up written
    // a moment ago may have been among what was just dropped.
    const QByteArray keyUp = Winkey::tuneCommand(false);
    if (TuneOn || dropped.contains(keyUp) || (m_tuneOffAt.isValid() && !m_tuneOffAt.hasExpired(kTuneOffDrainMs))) {
        m_port->write(keyUp);
        m_tuneOffAt.start();
    }
    TuneOn = false;
    // A logger's PTT goes with its text. Its PTT off may have been dropped,
    // or be waiting in the chip's buffer, which the clear empties: once a
    // logger has keyed PTT, or a PTT off was dropped, the clear is followed
    // by a PTT off, which the empty buffer runs at once.
    const QByteArray pttOff = m_logger.pttOffAfterClear();
    const QByteArray dropsPtt = LoggerSession::pttOff();
    m_port->write(pttOff.isEmpty() && dropped.contains(dropsPtt) ? dropsPtt : pttOff);
    // A knob read that was dropped is answered by nothing.
    m_knobReads -= int(dropped.count(Winkey::getSpeedPot()));
    m_knobReads = std::max(m_knobReads, 0);
    stopPaced();
    endAwaited(TextOutcome::Aborted);
    dropQueuedKeys();
    m_afterPause = (m_state == State::Sending || m_state == State::Stalled) ? State::Idle : m_state;
    setPanel(1, QStringLiteral("Aborted!"), true);
    m_panelAfterPause.reset();
    // For the operator and the chip this is a pause: keys, clicks and
    // received bytes wait until it is over and are then handled in order.
    // A start-up under it goes on with its own steps.
    setState(State::Paused);
    emit pauseStarted();
    m_pauseTimer.start(m_hooks.timings.escapePauseMs);
}

void KeyerLink::endPause()
{
    if (m_state != State::Paused)
        return;
    const State next = m_afterPause;
    const QString shown = next == State::Down ? m_linkDownText : m_panelAfterPause.value_or(QString());
    m_panelAfterPause.reset();
    emit panelText(1, shown, false);
    // Entering the state reads what the chip said meanwhile, after the panel
    // is set.
    setState(next);
    emit pauseEnded();
    // A start-up under this pause goes on by itself and runs the queue.
    if (next != State::Starting)
        runQueued();
}

// ---------------------------------------------------------------- pacing

// A paced message goes out through the pacer; while the chip says XOFF it
// holds (Stalled) until XON.
void KeyerLink::startPaced(Paced paced, std::vector<Pacer::Unit> units)
{
    m_paced = std::move(paced);
    setState(State::Sending);
    m_pacer.start(std::move(units));
}

void KeyerLink::onPacedHeld(bool first)
{
    // The first wait says nothing in panel 1.
    if (!first)
        setPanel(1, QStringLiteral("WinKey Status - XOFF"));
    setState(State::Stalled);
}

// Everything of the paced message is with the chip.
void KeyerLink::onPacedWritten(bool keyed)
{
    const Paced paced = std::move(*m_paced);
    m_paced.reset();
    if (paced.speedChanged)
        m_port->write(QByteArray(1, Winkey::kCancelBufferedSpeed));
    setPanel(1, paced.shown);
    if (paced.network && paced.tag != 0) {
        const auto awaited = std::find_if(m_awaited.begin(), m_awaited.end(),
                                          [&paced](const Awaited &a) { return a.tag == paced.tag; });
        if (awaited == m_awaited.end()) {
            // Ended already (the paddles broke in while it waited for XON).
        } else if (!keyed) {
            // Nothing the chip keys, so nothing it will say busy for.
            m_awaited.erase(awaited);
            endTexts({paced.tag}, TextOutcome::Keyed);
        } else {
            // Once all of it is with the chip, the chip's next idle is its
            // end. A chip that keyed it all already says so to this request.
            awaited->written = true;
            m_port->write(QByteArray(1, Winkey::kStatusRequest));
            ++m_statusReads;
        }
    }
    setState(State::Idle);
    runQueued();
}

// What the paced message had left goes no more; who stopped it says what
// becomes of its sender's reply.
void KeyerLink::stopPaced()
{
    m_pacer.stop();
    m_paced.reset();
}

// Message 1, or a message that waited its turn: one character at a time.
void KeyerLink::sendPaced(const QString &text)
{
    Paced paced;
    std::vector<Pacer::Unit> units;
    const auto n = std::min(text.size(), kMaxMessage1);
    units.reserve(std::size_t(n));
    for (qsizetype i = 0; i < n; ++i) {
        const auto character = Winkey::textByte(text, i);
        units.push_back({character ? QByteArray(1, *character) : QByteArray(), qint16(i + 1), true});
    }
    paced.shown = text;
    startPaced(std::move(paced), std::move(units));
}

// ---------------------------------------------------------------- network

void KeyerLink::runNetwork(const Action &action)
{
    using Kind = Cwdaemon::Kind;
    const Cwdaemon::Request &request = action.request;
    if (m_state == State::Down || !m_port->isOpen() || !m_logger.isReady())
        return endTexts({action.tag}, TextOutcome::Dropped);
    if (request.kind == Kind::Text)
        return sendNetworkText(action);
    // A key-up or a reset always goes: refusing it would leave the
    // transmitter keyed or the logger's values standing.
    const bool keyUp = request.kind == Kind::Reset || (request.kind == Kind::Ptt && request.value == 0);
    if (m_port->bytesToWrite() > kNetworkBacklog && !keyUp)
        return;
    if (request.kind == Kind::Tune) {
        // The operator's own tune is left alone.
        if (TuneOn || request.value == 0)
            return;
        toggleTune();
        const quint64 tune = m_tuneId;
        QTimer::singleShot(request.value * 1000, this, [this, tune] {
            if (TuneOn && m_tuneId == tune && isUp())
                toggleTune();
        });
        return;
    }
    for (const QByteArray &command : m_logger.commands(request))
        m_port->write(command);
    if (request.kind == Kind::Speed)
        setPanel(3, QStringLiteral("%1 WPM").arg(request.value));
    else if (request.kind == Kind::Reset)
        ++m_knobReads; // its knob read
}

// A logger's text: paced like message 1, its '+' and '-' as the chip's
// buffered speed changes, so each falls exactly between two characters on
// the air; the text's end goes back to the speed before it.
void KeyerLink::sendNetworkText(const Action &action)
{
    const QByteArray &keys = action.request.text;
    // Not while tuned, as the other messages.
    if (TuneOn)
        return endTexts({action.tag}, TextOutcome::Dropped);
    // From here on the chip's busy and idle say how far this text has got.
    if (action.tag != 0)
        m_awaited.push_back({action.tag});
    Paced paced;
    paced.network = true;
    paced.tag = action.tag;
    paced.shown = action.request.shown;
    std::vector<Pacer::Unit> units;
    for (const LoggerSession::TextUnit &unit : m_logger.textUnits(keys, keyingWpm(), paced.speedChanged)) {
        units.push_back({unit.bytes, 0, unit.keyed});
        if (unit.keyed)
            m_loggerText = {true, false};
    }
    startPaced(std::move(paced), std::move(units));
}

void KeyerLink::endTexts(std::vector<quint64> tags, TextOutcome outcome)
{
    for (const quint64 tag : tags) {
        if (tag != 0)
            emit networkTextEnded(tag, outcome);
    }
}

void KeyerLink::endQueuedTexts(const std::deque<Action> &dropped, TextOutcome outcome)
{
    std::vector<quint64> tags;
    for (const Action &action : dropped) {
        if (action.key == kNetwork)
            tags.push_back(action.tag);
    }
    endTexts(std::move(tags), outcome);
}

// The loggers' texts with the chip are over: taken off the air, or gone
// with the link.
void KeyerLink::endAwaited(TextOutcome outcome)
{
    m_loggerText = {};
    std::vector<quint64> tags;
    for (const Awaited &awaited : m_awaited)
        tags.push_back(awaited.tag);
    m_awaited.clear();
    endTexts(std::move(tags), outcome);
}

void KeyerLink::sendMessage(const QString &text)
{
    m_port->writeText(Winkey::textBytes(text));
    setPanel(1, text);
}

void KeyerLink::toggleTune()
{
    ++m_tuneId;
    if (TuneOn) {
        m_port->write(Winkey::tuneCommand(false));
        m_tuneOffAt.start();
        setPanel(1, QString());
        TuneOn = false;
    } else {
        m_port->write(Winkey::tuneCommand(true));
        setPanel(1, QStringLiteral("Tune"));
        TuneOn = true;
    }
}

// The transmitter must not stay keyed while the port closes.
void KeyerLink::keyUp()
{
    // Nor a logger's text go on keying: it is cleared first, or the PTT off
    // below would wait behind it in the chip's buffer. Its sender hears break.
    if (std::exchange(m_loggerText, {}).onChip && m_port->isOpen()) {
        m_port->discardOutput();
        m_port->write(Winkey::abortCommand());
        endAwaited(TextOutcome::Aborted);
    }
    if (TuneOn && m_port->isOpen())
        m_port->write(Winkey::tuneCommand(false));
    TuneOn = false;
    // Nor the PTT a logger keyed.
    releaseNetworkPtt();
}

void KeyerLink::releaseNetworkPtt()
{
    m_port->write(m_logger.releasePtt());
}

void KeyerLink::reinitialise()
{
    keyUp();
    // An Update's start-up closes the port itself (after its pause); F12
    // closes it here.
    if (!Reinit)
        m_port->close();
    initialise();
}

void KeyerLink::shutdown()
{
    if (m_state != State::Closing) {
        ++m_session;
        m_queue.clear();
        m_watch.stop();
        m_pauseTimer.stop();
        stopPaced();
        m_startUp->end();
        keyUp();
        setState(State::Closing);
    }
    m_port->close();
}
