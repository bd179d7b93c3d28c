// The status bar of the main window. A blind operator follows the link
// state through it, so every panel always carries an accessible name (its
// text, or what it stands for while blank) and each change is announced.
#include "app/statuspanels.h"

#include "dialogs/uimetrics.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>

namespace {

struct PanelDesign {
    const char *key;
    const char *toolTip;
    // The tool tip speaks of the mouse only; a screen reader user needs the key too.
    const char *description;
    // Spoken while the panel is blank, so that it never goes nameless.
    const char *blankName;
    int widthTwips;
    int minimumTwips;
    bool stretches;
};

constexpr PanelDesign kPanels[] = {
    {"Status.Panel", "Click for Help",
     "Link state and the message being sent. Click it or press Alt+H for help.", "No status",
     2510, 2300, true},
    {"Config.Panel", "Click for About",
     "The keyer's serial port. Click it or press Alt+A for About.", "No port", 600, 600, false},
    {"Speed.Panel", "Click for Speed Settings",
     "Speed set on the keyer's knob. Click it or press Alt+S for the keyer settings.", "No speed",
     750, 750, false},
};

// QLabel's own indent beside a frame, half an x, leaves "Winkey Online -
// Firmware Rev.23" a pixel short of panel 1 at 96 dpi.
constexpr int kIndentPixels = 1;

// A plain QWidget shows up as a nameless filler; as a status bar, a screen
// reader's "read the status bar" command finds the panels.
QAccessibleInterface *statusBarInterface(const QString &className, QObject *object)
{
    if (className == QLatin1String(StatusPanels::staticMetaObject.className()) && object
        && object->isWidgetType()) {
        return new QAccessibleWidget(static_cast<QWidget *>(object), QAccessible::StatusBar);
    }
    return nullptr;
}

} // namespace

StatusPanels::StatusPanels(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("StatusBar1"));
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(statusBarInterface);
        return true;
    }();
    Q_UNUSED(factoryInstalled);
    setAccessibleName(QStringLiteral("Status bar"));
    setAccessibleDescription(QStringLiteral("Link state, serial port and keyer speed"));
    auto *layout = new QHBoxLayout(this);
    layout->setContentsMargins(0, 1, 0, 0);
    layout->setSpacing(2);
    for (const PanelDesign &design : kPanels) {
        auto *label = new QLabel(this);
        const QString key = QString::fromLatin1(design.key);
        label->setObjectName(key);
        label->setFrameStyle(QFrame::Panel | QFrame::Sunken);
        label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);
        label->setTextFormat(Qt::PlainText);
        label->setIndent(kIndentPixels);
        label->setToolTip(QString::fromLatin1(design.toolTip));
        label->setAccessibleName(QString::fromLatin1(design.blankName));
        label->setAccessibleDescription(QString::fromLatin1(design.description));
        label->setMinimumWidth(Layout::px(design.minimumTwips));
        if (!design.stretches)
            label->setFixedWidth(Layout::px(design.widthTwips));
        label->setCursor(Qt::PointingHandCursor);
        label->installEventFilter(this);
        layout->addWidget(label, design.stretches ? 1 : 0);
        m_panels.append({label, key, QString::fromLatin1(design.blankName),
                         QString::fromLatin1(design.toolTip), QString::fromLatin1(design.description), {}, {}});
    }
}

void StatusPanels::setPanelDetail(int position, const QString &detail)
{
    if (!panel(position))
        return;
    Panel &p = m_panels[position - 1];
    p.detail = detail;
    showText(p);
}

void StatusPanels::showText(Panel &p)
{
    const int room = p.label->contentsRect().width() - p.label->indent();
    const QString shown = p.label->fontMetrics().elidedText(p.text, Qt::ElideRight, room);
    p.label->setText(shown);
    QStringList tip{p.toolTip};
    QStringList description;
    if (shown != p.text) {
        tip << p.text;
        description << p.text;
    }
    if (!p.detail.isEmpty()) {
        tip << p.detail;
        description << p.detail;
    }
    description << p.description;
    p.label->setToolTip(tip.join(QLatin1Char('\n')));
    p.label->setAccessibleDescription(description.join(QStringLiteral(". ")));
}

void StatusPanels::setPanelText(int position, const QString &text)
{
    QLabel *label = panel(position);
    if (!label)
        return;
    m_panels[position - 1].text = text;
    showText(m_panels[position - 1]);
    label->setAccessibleName(text.trimmed().isEmpty() ? m_panels[position - 1].blankName : text);
    // A blind operator hears the status texts: tell the screen reader, also
    // when the same text comes again (a message sent twice). The reader then
    // asks for the name, which is answered from the event loop: a caller
    // that blocks after this call keeps the text from being heard.
    if (QAccessible::isActive()) {
        QAccessibleEvent event(label, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

QString StatusPanels::panelText(int position) const
{
    return panel(position) ? m_panels[position - 1].text : QString();
}

QString StatusPanels::panelKey(int position) const
{
    return position >= 1 && position <= m_panels.size() ? m_panels[position - 1].key : QString();
}

QLabel *StatusPanels::panel(int position) const
{
    return position >= 1 && position <= m_panels.size() ? m_panels[position - 1].label : nullptr;
}

bool StatusPanels::eventFilter(QObject *watched, QEvent *event)
{
    // Texts come before the window is laid out, and panel 1 stretches.
    if (event->type() == QEvent::Resize || event->type() == QEvent::FontChange) {
        for (Panel &p : m_panels) {
            if (p.label == watched)
                showText(p);
        }
    }
    if (event->type() == QEvent::MouseButtonRelease) {
        const auto *mouse = static_cast<QMouseEvent *>(event);
        if (mouse->button() == Qt::LeftButton) {
            for (const Panel &p : std::as_const(m_panels)) {
                if (p.label == watched && p.label->rect().contains(mouse->position().toPoint())) {
                    emit panelClicked(p.key);
                    return true;
                }
            }
        }
    }
    return QWidget::eventFilter(watched, event);
}
