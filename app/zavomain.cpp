#include "app/zavomain.h"

#include "app/statuspanels.h"
#include "dialogs/editmsg.h"
#include "dialogs/frmabout.h"
#include "dialogs/portchooser.h"
#include "dialogs/speed.h"
#include "dialogs/uimetrics.h"
#include "keyer/protocol.h"
#include "keyer/serialfacility.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "version.h"

#include <QApplication>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QScreen>
#include <QTextBrowser>
#include <QThread>
#include <QTime>

#include <cmath>
#include <cstdlib>

using namespace Zavo;
namespace M = Ui::Metrics;

namespace {

const QString kWindowSettings = QStringLiteral("Windows Settings");

// Message 1's position is a 16-bit number: a longer message is cut here.
constexpr qsizetype kMaxMessage1 = 32767;
// A window edge further out than this (in twips) is no place on any screen
// but a damaged or mistyped line; it would overflow the pixel conversion.
constexpr double kMaxEdgeTwips = 1.5e6;

struct ButtonDesign {
    const char *name;
    int left;
    int tabIndex;
    const char *toolTip;
    int key;
};

// Left edges 648 twips apart; the tab order puts Tune between Msg4 and Msg5.
constexpr ButtonDesign kButtons[] = {
    {"Msg1", 63, 0, "F1", Qt::Key_F1},
    {"Msg2", 711, 1, "F2", Qt::Key_F2},
    {"Msg3", 1359, 2, "F3", Qt::Key_F3},
    {"Msg4", 2007, 3, "F4", Qt::Key_F4},
    {"Tune", 3303, 5, "F6", Qt::Key_F6},
    {"Msg5", 2655, 6, "F5", Qt::Key_F5},
};

bool isControlKey(int key)
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

ZavoMain::Hooks withDefaults(ZavoMain::Hooks hooks, QWidget *owner)
{
    if (!hooks.message) {
        hooks.message = [owner](const QString &text) {
            QMessageBox box(QMessageBox::Warning, QString::fromLatin1(Version::kTitle), text,
                            QMessageBox::Ok, owner->isVisible() ? owner : nullptr);
            box.exec();
        };
    }
    if (!hooks.choosePort) {
        hooks.choosePort = [](const QString &why) { return PortChooser::choose(nullptr, why); };
    }
    if (!hooks.terminate)
        hooks.terminate = [](int code) { std::exit(code); };
    if (!hooks.clock)
        hooks.clock = [] { return QTime::currentTime().msecsSinceStartOfDay() / 1000.0; };
    if (!hooks.characterMs)
        hooks.characterMs = static_cast<int>(SerialFacility::kCharacterMs + 1);
    return hooks;
}

} // namespace

ZavoMain::ZavoMain(SettingsStore &store, Hooks hooks, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint)
    , m_store(store)
    , m_hooks(withDefaults(std::move(hooks), this))
    , m_port(new SerialFacility(this))
{
    setObjectName(QStringLiteral("ZavoMain"));
    setWindowTitle(QStringLiteral(" Zavo Keyer by Vardel"));
    setWindowIcon(QApplication::windowIcon());
    buildLayout();
    wireUp();
    // Key preview: the window sees each key before whichever of its
    // controls has the focus.
    qApp->installEventFilter(this);
}

ZavoMain::~ZavoMain()
{
    qApp->removeEventFilter(this);
}

void ZavoMain::buildLayout()
{
    setFont(M::formFont(8.25, true));
    setFixedSize(M::size(3915, 675));

    const QFont buttonFont = M::formFont(8.25, false);
    QList<QPushButton *> byTabIndex(7, nullptr);
    for (const ButtonDesign &design : kButtons) {
        const QString name = QString::fromLatin1(design.name);
        auto *button = new QPushButton(name, this);
        button->setObjectName(name);
        button->setFont(buttonFont);
        button->setToolTip(QString::fromLatin1(design.toolTip));
        button->setAccessibleName(name);
        button->setAccessibleDescription(name == QLatin1String("Tune")
            ? QStringLiteral("Tune: key the transmitter on or off (F6)")
            : QStringLiteral("Send message %1 (%2); right click to edit it")
                  .arg(name.right(1), QString::fromLatin1(design.toolTip)));
        button->setAutoDefault(false);
        button->setMouseTracking(true); // hover shows the message
        M::place(button, design.left, 90, 535, 255);
        byTabIndex[design.tabIndex] = button;
        if (name == QLatin1String("Tune"))
            m_tune = button;
        else
            m_msg[name.right(1).toInt() - 1] = button;
    }
    m_statusBar = new StatusPanels(this);
    m_statusBar->setFont(M::formFont(8.25, false));
    M::place(m_statusBar, 0, 420, 3915, 255);
    byTabIndex[4] = nullptr; // the status bar takes tab index 4 but no focus
    QWidget *previous = nullptr;
    for (QPushButton *button : byTabIndex) {
        if (!button)
            continue;
        if (previous)
            setTabOrder(previous, button);
        previous = button;
    }
}

void ZavoMain::wireUp()
{
    connect(m_port, &SerialFacility::commEvent, this, &ZavoMain::onCommEvent);
    connect(m_port, &SerialFacility::bytesArrived, &m_waker, &Waker::wake);
    connect(m_port, &SerialFacility::portLost, this, &ZavoMain::onPortLost);
    for (const ButtonDesign &design : kButtons) {
        auto *button = findChild<QPushButton *>(QString::fromLatin1(design.name));
        const int key = design.key;
        connect(button, &QPushButton::clicked, this, [this, key] { clickButton(key); });
    }
    connect(m_statusBar, &StatusPanels::panelClicked, this, &ZavoMain::onPanelClicked);
}

QString ZavoMain::panelText(int position) const
{
    return m_statusBar->panelText(position);
}

void ZavoMain::setPanel(int position, const QString &text, bool paintNow)
{
    m_statusBar->setPanelText(position, text);
    // Before a blocking sleep the text must reach the screen now, or the
    // operator never sees it.
    if (paintNow && isVisible())
        m_statusBar->panel(position)->repaint();
    emit panelTextChanged(position, text);
}

void ZavoMain::AlwaysOnTop(QWidget &frm, bool bOnTop)
{
    const bool visible = frm.isVisible();
    frm.setWindowFlag(Qt::WindowStaysOnTopHint, bOnTop);
    if (visible)
        frm.show(); // changing the flags hides a shown window
}

// ---------------------------------------------------------------- start-up

bool ZavoMain::load()
{
    // A store that is no settings file at all is the operator's to sort
    // out: it is neither read nor written over.
    if (const QString why = m_store.unreadableReason(); !why.isEmpty()) {
        m_hooks.message(QStringLiteral("The settings file %1 cannot be used: %2.\n\n"
                                       "Zavo Keyer leaves it as it is and does not start with it. "
                                       "Move it away or delete it; the next start then asks for "
                                       "the port and begins with the usual settings.")
                            .arg(m_store.location(), why));
        m_hooks.terminate(EXIT_FAILURE);
        return false;
    }
    if (m_store.GetSetting(kWindowSettings, QStringLiteral("OnTop")) == QLatin1String("1"))
        AlwaysOnTop(*this, true);

    // The manual sits beside the executable, or where an install put it.
    const QDir appDir(QCoreApplication::applicationDirPath());
    m_helpFile = appDir.filePath(QStringLiteral("zavokeyer.html"));
    const QString installed = appDir.filePath(QStringLiteral("../share/doc/zavokeyer/zavokeyer.html"));
    if (!QFileInfo::exists(m_helpFile) && QFileInfo::exists(installed))
        m_helpFile = QDir::cleanPath(installed);

    placeWindow();
    loadKeyerSettings(m_store);
    reportStoreAtStartUp();
    TuneOn = false;
    Reinit = false;
    if (!Winkey_Init())
        return false;
    m_inSession = true;
    return true;
}

void ZavoMain::reportStoreAtStartUp()
{
    const QStringList notes = m_store.takeHandEditNotes();
    if (notes.isEmpty())
        return;
    m_hooks.message(QStringLiteral("These lines of the settings file %1 were edited by hand and "
                                   "read differently from how they look:\n\n%2\n\n"
                                   "Zavo Keyer uses them as read and leaves the file as it is. To "
                                   "keep such a text exactly as typed, put it in double quotes "
                                   "and write \\\" for a quote and \\\\ for a backslash, or "
                                   "change it in Zavo Keyer.")
                        .arg(m_store.location(), notes.join(QLatin1Char('\n'))));
}

void ZavoMain::placeWindow()
{
    auto edge = [this](const char *key, int seed) {
        const auto value = Winkey::parseNumber(m_store.GetSetting(kWindowSettings, QString::fromLatin1(key)));
        if (!value || std::abs(*value) > kMaxEdgeTwips)
            return static_cast<float>(seed);
        return static_cast<float>(*value);
    };
    const float top = edge("FormTop", Seed::kFormTop);
    const float left = edge("FormLeft", Seed::kFormLeft);
    QPoint pos(M::px(left), M::px(top));

    // A position that lies off every screen (a monitor since removed) would
    // leave the operator without a window: use the primary screen instead.
    const QRect wanted(pos, frameGeometry().size().expandedTo(size()));
    bool visibleSomewhere = false;
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect overlap = screen->availableGeometry().intersected(wanted);
        if (overlap.width() >= 20 && overlap.height() >= 10)
            visibleSomewhere = true;
    }
    if (!visibleSomewhere) {
        if (const QScreen *primary = QGuiApplication::primaryScreen()) {
            const QRect area = primary->availableGeometry();
            pos = area.center() - QPoint(width() / 2, height() / 2);
        }
    }
    move(pos);
}

void ZavoMain::closeEvent(QCloseEvent *event)
{
    m_closing = true;
    m_port->close();
    const QPoint pos = this->pos();
    m_store.SaveSetting(kWindowSettings, QStringLiteral("FormTop"),
                        QString::number(static_cast<float>(M::twips(pos.y())), 'g', 7));
    m_store.SaveSetting(kWindowSettings, QStringLiteral("FormLeft"),
                        QString::number(static_cast<float>(M::twips(pos.x())), 'g', 7));
    // Closing a window that is not open is harmless.
    if (m_speed)
        m_speed->close();
    if (m_editor)
        m_editor->close();
    if (m_about)
        m_about->close();
    if (m_help)
        m_help->close();
    event->accept();
    m_waker.wake(); // every wait sees the window going
}

// ---------------------------------------------------------------- the link

void ZavoMain::blockingSleep(int ms)
{
    QThread::msleep(static_cast<unsigned long>(ms));
}

bool ZavoMain::openPort()
{
    for (;;) {
        m_port->setPortName(Winkey::portDeviceName(Settings.ComPort));
        if (m_port->open())
            return true;
        QString text = Settings.ComPort.trimmed().isEmpty()
            ? QStringLiteral("No serial port is set for the keyer.")
            : QStringLiteral("The serial port %1 (%2) could not be opened:\n%3")
                  .arg(Settings.ComPort, Winkey::portDeviceName(Settings.ComPort), m_port->errorText());
#ifdef Q_OS_LINUX
        if (m_port->permissionDenied())
            text += QStringLiteral("\n\nYour user must be in the 'dialout' group to use serial "
                                   "ports: sudo usermod -aG dialout $USER, then log in again.");
#endif
        m_hooks.message(text);
        const auto choice = m_hooks.choosePort(text);
        if (m_closing)
            return false;
        if (!choice) {
            // Without a port at start-up there is nothing to run; later
            // (F12 with the adapter still out) the operator keeps the window.
            if (m_inSession) {
                linkDown(QStringLiteral("No link: %1 is not open - F12 retries")
                             .arg(Winkey::portPanelText(Settings.ComPort)));
                return false;
            }
            m_hooks.terminate(EXIT_FAILURE);
            return false;
        }
        Settings.ComPort = *choice;
        m_store.SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"), *choice);
    }
}

void ZavoMain::noResponse()
{
    m_hooks.message(QStringLiteral("No Response from Winkey on Com") + Settings.ComPort
                    + QStringLiteral("\r\nCheck Port, Cable or Winkey"));
    if (!m_inSession) {
        m_hooks.terminate(EXIT_FAILURE);
        return;
    }
    // Mid-session (F12, a settings update) the operator keeps the window;
    // nothing more goes to a chip that does not answer.
    m_port->close();
    linkDown(QStringLiteral("No response from the keyer - F12 retries"));
}

void ZavoMain::linkDown(const QString &text)
{
    m_linkDownText = text;
    setPanel(1, text);
}

bool ZavoMain::linkIsDown()
{
    if (m_port->isOpen())
        return false;
    if (m_linkDownText.isEmpty())
        m_linkDownText = QStringLiteral("No link - F12 reconnects");
    return true;
}

std::optional<quint8> ZavoMain::awaitReply(std::optional<quint8> wanted)
{
    const double start = m_hooks.clock();
    Winkey::DeadlineClock deadline(Winkey::timeoutAt(2, start), start);
    std::optional<quint8> reply;
    bool late = false;
    auto done = [&] {
        // Status bytes and speed reports can come at any time; they are
        // never the answer, so they go to the receive path.
        while (!reply && m_port->inBufferCount() > 0) {
            const auto byte = static_cast<quint8>(m_port->input().at(0));
            if (Winkey::isUnsolicited(byte))
                applyReceived(byte);
            else if (!wanted || byte == *wanted)
                reply = byte;
            // Anything else is line noise, or a device that is not the chip:
            // no answer either way.
        }
        late = deadline.passed(m_hooks.clock());
        return reply || late || m_closing || !m_port->isOpen();
    };
    waitInEventLoop(m_waker, done, 20);
    return reply;
}

bool ZavoMain::Winkey_Init()
{
    // A second run started from inside the waits of the first (F12, a
    // second Update) would interleave two byte sequences on the line.
    if (m_initRunning)
        return false;
    m_initRunning = true;
    struct Done {
        bool &flag;
        ~Done() { flag = false; }
    } done{m_initRunning};

    if (Reinit) {
        m_port->close();
        Reinit = false;
        blockingSleep(250);
    }
    m_port->setReceiveThreshold(0);
    if (!openPort())
        return false;
    setPanel(2, Winkey::portPanelText(Settings.ComPort), true);
    blockingSleep(600);

    m_port->write(Winkey::calibrateHead());
    blockingSleep(50);
    m_port->write(Winkey::calibrateTail());

    // Whatever waited from before the port was (re)opened answers nothing,
    // and an XOFF from then has lost the C4 that would have ended it.
    m_port->discardInput();
    XoffActive = false;
    m_port->write(Winkey::echoTest());
    if (!awaitReply(static_cast<quint8>(Winkey::kEchoByte))) {
        if (m_closing || (m_inSession && !m_port->isOpen()))
            return false;
        noResponse();
        return false;
    }
    // One answer is all the echo test wants; anything after it is stale.
    while (m_port->inBufferCount() > 0) {
        const auto byte = static_cast<quint8>(m_port->input().at(0));
        if (Winkey::isUnsolicited(byte))
            applyReceived(byte);
    }

    RxValue.clear();
    m_port->write(Winkey::hostOpen());
    const auto revision = awaitReply();
    if (!revision) {
        if (m_closing || (m_inSession && !m_port->isOpen()))
            return false;
        noResponse();
        return false;
    }
    RxValue = QString::number(*revision);
    m_linkDownText.clear();
    setPanel(1, QStringLiteral("Winkey Online - Firmware Rev.") + RxValue);

    ModeRegister = Winkey::modeRegister(Settings.IambicMode, Settings.CTSpace, Settings.AutoSpace,
                                        Settings.PaddleSwap);
    SpeedRange = Winkey::speedRange(Settings.MaxSpeed, Settings.MinSpeed);
    const Winkey::ParameterBlock block = Winkey::parameterBlock(
        Settings, static_cast<quint8>(ModeRegister), SpeedRange);
    m_port->write(block.bytes);
    blockingSleep(250);
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
}

void ZavoMain::applyReceived(quint8 byte)
{
    RxValue = QString::number(byte);
    const Winkey::ReceiveEffect effect = Winkey::classifyByte(byte, Settings.MinSpeed, XoffActive);
    XoffActive = effect.xoffActive;
    if (effect.panel3) {
        RxValue = effect.panel3->chopped(4);
        setPanel(3, *effect.panel3);
    }
    if (effect.panel1)
        setPanel(1, *effect.panel1);
    m_waker.wake();
}

void ZavoMain::onCommEvent(int code)
{
    if (code != SerialFacility::kEventReceive)
        return;
    // Every waiting byte, once each, in the order it came.
    while (m_port->inBufferCount() > 0)
        applyReceived(static_cast<quint8>(m_port->input().at(0)));
}

void ZavoMain::onPortLost(const QString &reason)
{
    ++m_abortGeneration; // a send in progress has nowhere to go
    m_f1Pending = 0;
    // The C4 that would end an XOFF can no longer come.
    XoffActive = false;
    linkDown(QStringLiteral("Link lost (%1) - F12 reconnects").arg(reason));
    m_waker.wake();
}

// ---------------------------------------------------------------- keys

namespace {

bool isOperatorInput(QEvent::Type type)
{
    switch (type) {
    case QEvent::KeyPress:
    case QEvent::KeyRelease:
    case QEvent::MouseButtonPress:
    case QEvent::MouseButtonRelease:
    case QEvent::MouseButtonDblClick:
    case QEvent::MouseMove:
    case QEvent::Wheel:
    case QEvent::ContextMenu:
        return true;
    default:
        return false;
    }
}

} // namespace

int ZavoMain::messageButton(const QObject *object) const
{
    for (int n = 1; n <= 5; ++n) {
        if (object == m_msg[n - 1])
            return n;
    }
    return 0;
}

bool ZavoMain::eventFilter(QObject *watched, QEvent *event)
{
    if (m_holding && isOperatorInput(event->type()) && (watched->isWindowType() || watched->isWidgetType())) {
        m_held.push_back({watched, std::unique_ptr<QEvent>(event->clone())});
        return true;
    }
    switch (event->type()) {
    case QEvent::KeyPress: {
        auto *target = qobject_cast<QWidget *>(watched);
        if (!target || target->window() != this)
            break;
        auto *key = static_cast<QKeyEvent *>(event);
        // A key the window does not use goes on to the control as it came:
        // left marked ignored, Tab would move the focus twice.
        const bool wasAccepted = key->isAccepted();
        key->setAccepted(true);
        keyPressEvent(key);
        if (key->isAccepted())
            return true;
        key->setAccepted(wasAccepted);
        return false;
    }
    case QEvent::MouseMove:
        // With the link down panel 1 keeps saying so.
        if (const int n = messageButton(watched); n > 0 && !TuneOn && m_port->isOpen())
            setPanel(1, Settings.message(n));
        break;
    case QEvent::MouseButtonPress:
    case QEvent::ContextMenu: {
        // A right press, or the keyboard's menu key on a focused message
        // button, opens the editor for that message.
        const bool wanted = event->type() == QEvent::MouseButtonPress
            ? static_cast<QMouseEvent *>(event)->button() == Qt::RightButton
            : static_cast<QContextMenuEvent *>(event)->reason() == QContextMenuEvent::Keyboard;
        if (const int n = messageButton(watched); wanted && n > 0) {
            showEditor(n);
            return true;
        }
        break;
    }
    default:
        break;
    }
    return QWidget::eventFilter(watched, event);
}

void ZavoMain::keyPressEvent(QKeyEvent *event)
{
    const int key = event->key();
    if (isControlKey(key)) {
        event->accept();
        // Holding a key down must not flood the chip: one press, one action.
        if (!event->isAutoRepeat())
            handleKeyDown(key);
        return;
    }
    // The typed letter q is swallowed before any control sees it.
    if (event->text() == QLatin1String("q")) {
        event->accept();
        return;
    }
    if (event->modifiers() == Qt::AltModifier) {
        switch (key) {
        case Qt::Key_S:
            event->accept();
            showSettings();
            return;
        case Qt::Key_A:
            event->accept();
            showAbout();
            return;
        case Qt::Key_H:
            event->accept();
            showHelp();
            return;
        default:
            break;
        }
    }
    event->ignore();
}

bool ZavoMain::handleKeyDown(int key)
{
    switch (key) {
    case Qt::Key_Escape:
        abortSending();
        return true;
    case Qt::Key_F1:
    case Qt::Key_F2:
    case Qt::Key_F3:
    case Qt::Key_F4:
    case Qt::Key_F5:
    case Qt::Key_F6:
        // Nothing can reach the chip; the operator is told why instead.
        if (linkIsDown()) {
            setPanel(1, m_linkDownText);
            return true;
        }
        if (key == Qt::Key_F1)
            sendMessage1();
        else if (key == Qt::Key_F6)
            toggleTune();
        else
            sendMessage(key - Qt::Key_F1 + 1);
        return true;
    case Qt::Key_F12:
        reinitialise();
        return true;
    default:
        return false;
    }
}

void ZavoMain::abortSending()
{
    m_port->write(Winkey::abortCommand());
    TuneOn = false;
    // Ends a message 1 in progress too: its tail must not follow the abort.
    ++m_abortGeneration;
    m_f1Pending = 0;
    setPanel(1, QStringLiteral("Aborted!"), true);
    const int threshold = m_port->receiveThreshold();
    holdFor(1200);
    setPanel(1, linkIsDown() ? m_linkDownText : QString());
    // What the chip said meanwhile is read now, after the panel is cleared.
    m_port->setReceiveThreshold(threshold);
    m_waker.wake();
}

void ZavoMain::holdFor(int ms)
{
    // For the operator and the chip this is a blocking pause: keys, clicks
    // and received bytes all wait until it is over and are then handled in
    // order. Unlike a sleep of the thread it still paints the window and
    // answers the screen reader, which is how a blind operator hears
    // "Aborted!" at all.
    m_port->setReceiveThreshold(0);
    m_holding = true;
    waitInEventLoop(m_waker, [this] { return m_closing; }, 0, ms);
    m_holding = false;
    std::vector<HeldEvent> held;
    held.swap(m_held);
    for (HeldEvent &h : held) {
        if (h.receiver)
            QCoreApplication::postEvent(h.receiver, h.event.release());
    }
}

bool ZavoMain::sendAborted(quint64 generation) const
{
    return generation != m_abortGeneration || m_closing;
}

void ZavoMain::sendMessage1()
{
    // A second F1 while one is going out waits its turn instead of
    // restarting the shared position and garbling the text on the air.
    if (m_f1Busy) {
        ++m_f1Pending;
        return;
    }
    m_f1Busy = true;
    const quint64 generation = m_abortGeneration;
    auto aborted = [this, generation] { return sendAborted(generation); };
    auto xoffCleared = [&] { return !XoffActive || aborted(); };

    for (;;) {
        if (XoffActive)
            waitInEventLoop(m_waker, xoffCleared);
        if (aborted())
            break;
        // The loop counts in int: the 16-bit position itself would wrap
        // round to -32768 after its last value and start over.
        const int n = static_cast<int>(std::min(Settings.Message1.size(), kMaxMessage1));
        for (int i = 1; i <= n; ++i) {
            CharIndex = static_cast<qint16>(i);
            // Read at the moment of writing: the editor may have shortened it.
            const auto character = i <= Settings.Message1.size()
                ? Winkey::textByte(Settings.Message1, i - 1)
                : std::nullopt;
            if (!character)
                continue; // nothing the chip can key, so nothing to pace
            m_port->write(QByteArray(1, *character));
            // Give the character its time on the wire so that an XOFF the
            // chip sends for it is seen before the next one goes.
            waitInEventLoop(m_waker, aborted, 0, *m_hooks.characterMs);
            if (aborted())
                break;
            if (XoffActive) {
                setPanel(1, QStringLiteral("WinKey Status - XOFF"));
                waitInEventLoop(m_waker, xoffCleared);
            }
            if (aborted())
                break;
        }
        if (aborted())
            break;
        setPanel(1, Settings.Message1);
        if (m_f1Pending == 0)
            break;
        --m_f1Pending;
    }
    m_f1Busy = false;
}

void ZavoMain::sendMessage(int n)
{
    if (TuneOn)
        return;
    const QString text = Settings.message(n);
    m_port->write(Winkey::textBytes(text));
    setPanel(1, text);
}

void ZavoMain::toggleTune()
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

void ZavoMain::reinitialise()
{
    if (m_initRunning)
        return;
    m_port->close();
    Winkey_Init();
}

// ---------------------------------------------------------------- controls

void ZavoMain::clickButton(int key)
{
    // The buttons send nothing themselves: they post the function key,
    // which the key handler turns into bytes, and return at once.
    QCoreApplication::postEvent(this, new QKeyEvent(QEvent::KeyPress, key, Qt::NoModifier));
}

void ZavoMain::onPanelClicked(const QString &key)
{
    if (key == QLatin1String("Status.Panel"))
        showHelp();
    else if (key == QLatin1String("Config.Panel"))
        showAbout();
    else if (key == QLatin1String("Speed.Panel"))
        showSettings();
}

void ZavoMain::showEditor(int n)
{
    EditIndex = QString::number(n);
    if (!m_editor)
        m_editor = new EditMsg(m_store, this);
    // Reload an open editor too, so that its box, its caption and the key
    // it stores always name the same message.
    m_editor->load();
    m_editor->show();
    m_editor->raise();
    m_editor->activateWindow();
}

void ZavoMain::showAbout()
{
    if (!m_about)
        m_about = new frmAbout(this);
    m_about->show();
    m_about->raise();
    m_about->activateWindow();
}

void ZavoMain::showSettings()
{
    if (!m_speed) {
        m_speed = new Speed(m_store, this);
        connect(m_speed, &Speed::reinitRequested, this, &ZavoMain::runSettingsUpdate);
    }
    m_speed->show();
    m_speed->raise();
    m_speed->activateWindow();
}

void ZavoMain::runSettingsUpdate()
{
    Reinit = true;
    Winkey_Init();
}

void ZavoMain::showHelp()
{
    if (!m_help) {
        m_help = new QTextBrowser(this);
        m_help->setWindowFlag(Qt::Window);
        m_help->setAttribute(Qt::WA_DeleteOnClose);
        m_help->setObjectName(QStringLiteral("HelpViewer"));
        m_help->setWindowTitle(QStringLiteral("Zavo Keyer Help"));
        m_help->setOpenExternalLinks(true);
        m_help->resize(640, 560);
        if (QFileInfo::exists(m_helpFile))
            m_help->setSource(QUrl::fromLocalFile(m_helpFile));
        else
            m_help->setPlainText(QStringLiteral("The manual was not found at %1.").arg(m_helpFile));
    }
    m_help->show();
    m_help->raise();
    m_help->activateWindow();
}
