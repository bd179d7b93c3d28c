#include "app/zavomain.h"

#include "app/displayplatform.h"
#include "app/statuspanels.h"
#include "dialogs/editmsg.h"
#include "dialogs/frmabout.h"
#include "dialogs/helpviewer.h"
#include "dialogs/portchooser.h"
#include "dialogs/speed.h"
#include "dialogs/uimetrics.h"
#include "dialogs/widgethelpers.h"
#include "settings/keyersettings.h"
#include "settings/numbers.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "settings/settingstable.h"
#include "version.h"

#include <QApplication>
#include <QCloseEvent>
#include <QKeyEvent>
#include <QLabel>
#include <QMessageBox>
#include <QPushButton>
#include <QTextBrowser>

#include <cmath>
#include <cstdlib>

using namespace Zavo;
namespace M = Layout;

namespace {

// A window edge further out than this (in twips) is no place on any screen
// but a damaged or mistyped line; it would overflow the pixel conversion.
constexpr double kMaxEdgeTwips = 1.5e6;

// The window whose link an exit() must still key up.
ZavoMain *g_liveWindow = nullptr;

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

ZavoMain::Hooks withDefaults(ZavoMain::Hooks hooks, QWidget *owner)
{
    // Boxes open and return: the event loop, and with it the link and a
    // quit signal, goes on while the operator reads.
    if (!hooks.message) {
        hooks.message = [owner](const QString &text, const std::function<void()> &closed) {
            auto *box = new QMessageBox(QMessageBox::Warning, QString::fromLatin1(Version::kTitle), text,
                                        QMessageBox::Ok, owner->isVisible() ? owner : nullptr);
            box->setAttribute(Qt::WA_DeleteOnClose);
            QObject::connect(box, &QMessageBox::finished, box, [closed] {
                if (closed)
                    closed();
            });
            box->open();
        };
    }
    if (!hooks.choosePort) {
        hooks.choosePort = [](const QString &why, const std::function<void(std::optional<QString>)> &chosen) {
            PortChooser::chooseLater(nullptr, why, chosen);
        };
    }
    if (!hooks.terminate)
        hooks.terminate = [](int code) { std::exit(code); };
    return hooks;
}

} // namespace

ZavoMain::ZavoMain(SettingsStore &store, Hooks hooks, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::MSWindowsFixedSizeDialogHint | Qt::WindowTitleHint
                          | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
                          | Qt::WindowCloseButtonHint)
    , m_store(store)
    , m_hooks(withDefaults(std::move(hooks), this))
    , m_link(store, m_hooks)
{
    setObjectName(QStringLiteral("ZavoMain"));
    WidgetHelpers::readWindowAs(staticMetaObject, QAccessible::Window);
    setWindowTitle(QStringLiteral(" Zavo Keyer by Vardel"));
    setWindowIcon(QApplication::windowIcon());
    buildLayout();
    wireUp();
    // Key preview: the window sees each key before whichever of its
    // controls has the focus.
    qApp->installEventFilter(this);
    qApp->installNativeEventFilter(&m_repeats);
    g_liveWindow = this;
}

ZavoMain::~ZavoMain()
{
    if (g_liveWindow == this)
        g_liveWindow = nullptr;
    qApp->removeNativeEventFilter(&m_repeats);
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
        if (name != QLatin1String("Tune"))
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
    connect(&m_link, &KeyerLink::panelText, this, &ZavoMain::setPanel);
    connect(&m_link, &KeyerLink::linkDetail, this,
            [this](const QString &reason) { m_statusBar->setPanelDetail(1, reason); });
    connect(&m_link, &KeyerLink::pauseStarted, this, [this] { m_holding = true; });
    connect(&m_link, &KeyerLink::pauseEnded, this, &ZavoMain::replayHeldInput);
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
    // Before a pause the text must reach the screen now, or the operator
    // never sees it.
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
                            .arg(m_store.location(), why),
                        [terminate = m_hooks.terminate] { terminate(EXIT_FAILURE); });
        return false;
    }
    const auto &onTop = SettingsTable::window(SettingsTable::Window::OnTop);
    if (m_store.GetSetting(onTop.section, onTop.key) == QLatin1String("1"))
        AlwaysOnTop(*this, true);

    // The manual sits beside the executable, or where an install put it.
    m_helpFile = HelpViewer::locate();

    placeWindow();
    loadKeyerSettings(m_store);
    reportStoreAtStartUp();
    TuneOn = false;
    Reinit = false;
    // The first start-up decides whether the window is shown; later ones
    // (F12, an Update, a reconnection) only tell the panels.
    connect(&m_link, &KeyerLink::started, this, [this](bool ok) {
        if (!ok || m_closing || m_ready)
            return;
        m_ready = true;
        m_link.setInSession(true);
        emit ready();
    });
    Winkey_Init();
    return true;
}

void ZavoMain::Winkey_Init()
{
    m_link.initialise();
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
                        .arg(m_store.location(), notes.join(QLatin1Char('\n'))),
                    [] {});
}

void ZavoMain::placeWindow()
{
    auto edge = [this](SettingsTable::Window which, int seed) {
        const auto &entry = SettingsTable::window(which);
        const auto value = Winkey::parseNumber(m_store.GetSetting(entry.section, entry.key));
        if (!value || std::abs(*value) > kMaxEdgeTwips)
            return static_cast<float>(seed);
        return static_cast<float>(*value);
    };
    const float top = edge(SettingsTable::Window::FormTop, Seed::kFormTop);
    const float left = edge(SettingsTable::Window::FormLeft, Seed::kFormLeft);
    M::moveOnScreen(this, QPoint(M::px(left), M::px(top)));
}

void ZavoMain::shutdownLinkAtExit()
{
    if (g_liveWindow)
        g_liveWindow->m_link.shutdown();
}

void ZavoMain::closeEvent(QCloseEvent *event)
{
    m_closing = true;
    // Nothing held or queued may run once the window is going.
    m_held.clear();
    m_link.shutdown();
    const QPoint pos = this->pos();
    auto store = [this](SettingsTable::Window which, int pixels) {
        const auto &entry = SettingsTable::window(which);
        m_store.SaveSetting(entry.section, entry.key, QString::number(static_cast<float>(M::twips(pixels)), 'g', 7));
    };
    // A place made up by the platform would put the next start somewhere
    // the operator never had the window.
    // Nor has a window that was never shown (closed during its start-up) any
    // place of its own.
    if (m_ready && DisplayPlatform::placeIsKnown(QGuiApplication::platformName())) {
        const SettingsStore::Batch batch(m_store);
        store(SettingsTable::Window::FormTop, pos.y());
        store(SettingsTable::Window::FormLeft, pos.x());
    }
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
}

// ---------------------------------------------------------------- input

int ZavoMain::messageButton(const QObject *object) const
{
    for (int n = 1; n <= 5; ++n) {
        if (object == m_msg[n - 1])
            return n;
    }
    return 0;
}

void ZavoMain::replayHeldInput()
{
    m_holding = false;
    std::vector<HeldEvent> held;
    held.swap(m_held);
    for (HeldEvent &h : held) {
        if (h.receiver && !m_closing)
            QCoreApplication::postEvent(h.receiver, h.event.release());
    }
}

bool ZavoMain::isKeyRepeat(const QKeyEvent *event) const
{
    // Posted presses (the buttons) carry no scan code and are never repeats.
    return event->isAutoRepeat()
        || (event->nativeScanCode() != 0 && m_repeats.lastPressRepeated(event->nativeScanCode()));
}

bool ZavoMain::eventFilter(QObject *watched, QEvent *event)
{
    if (m_holding && isOperatorInput(event->type()) && (watched->isWindowType() || watched->isWidgetType())) {
        // The link's own keys go to it at once: it keeps them, with the
        // loggers' requests, in the order they came and runs them when the
        // pause ends. Held here they would be overtaken.
        if (event->type() == QEvent::KeyPress) {
            const auto *key = static_cast<QKeyEvent *>(event);
            auto *target = qobject_cast<QWidget *>(watched);
            if (target && target->window() == this && KeyerLink::handlesKey(key->key())) {
                if (!m_closing && !isKeyRepeat(key))
                    m_link.press(key->key());
                return true;
            }
        }
        if (!m_closing)
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
        if (const int n = messageButton(watched); n > 0 && !TuneOn && m_link.isUp())
            setPanel(1, Settings.message(n), false);
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
    if (KeyerLink::handlesKey(key)) {
        event->accept();
        // Holding a key down must not flood the chip: one press, one action.
        if (!isKeyRepeat(event))
            m_link.press(key);
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

namespace {

void bringToFront(QWidget *window)
{
    window->show();
    window->raise();
    window->activateWindow();
}

} // namespace

void ZavoMain::showEditor(int n)
{
    const QString index = QString::number(n);
    // The same message again only brings the open editor forward: what the
    // operator has typed there stays.
    if (m_editor && m_editor->isVisible() && EditIndex == index) {
        bringToFront(m_editor);
        return;
    }
    EditIndex = index;
    if (!m_editor)
        m_editor = new EditMsg(m_store, this);
    // Another message reloads the editor, so that its box, its caption and
    // the key it stores always name the same message.
    m_editor->load();
    bringToFront(m_editor);
}

void ZavoMain::showAbout()
{
    if (!m_about)
        m_about = new frmAbout(this);
    bringToFront(m_about);
}

void ZavoMain::showSettings()
{
    if (!m_speed) {
        m_speed = new Speed(m_store, this);
        connect(m_speed, &Speed::reinitRequested, &m_link, &KeyerLink::settingsUpdate);
    }
    bringToFront(m_speed);
}

void ZavoMain::showHelp()
{
    if (!m_help)
        m_help = HelpViewer::create(this, m_helpFile);
    bringToFront(m_help);
}
