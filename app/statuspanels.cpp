#include "app/statuspanels.h"

#include "dialogs/uimetrics.h"

#include <QAccessible>
#include <QEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMouseEvent>

namespace {

struct PanelDesign {
    const char *key;
    const char *toolTip;
    int widthTwips;
    int minimumTwips;
    bool stretches;
};

constexpr PanelDesign kPanels[] = {
    {"Status.Panel", "Click for Help", 2510, 2300, true},
    {"Config.Panel", "Click for About", 600, 600, false},
    {"Speed.Panel", "Click for Speed Settings", 750, 750, false},
};

} // namespace

StatusPanels::StatusPanels(QWidget *parent)
    : QWidget(parent)
{
    setObjectName(QStringLiteral("StatusBar1"));
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
        label->setToolTip(QString::fromLatin1(design.toolTip));
        label->setAccessibleDescription(QString::fromLatin1(design.toolTip));
        label->setMinimumWidth(Ui::Metrics::px(design.minimumTwips));
        if (!design.stretches)
            label->setFixedWidth(Ui::Metrics::px(design.widthTwips));
        label->setCursor(Qt::PointingHandCursor);
        label->installEventFilter(this);
        layout->addWidget(label, design.stretches ? 1 : 0);
        m_panels.append({label, key});
    }
}

void StatusPanels::setPanelText(int position, const QString &text)
{
    QLabel *label = panel(position);
    if (!label)
        return;
    label->setText(text);
    label->setAccessibleName(text);
    // A blind operator hears the status texts: tell the screen reader.
    if (QAccessible::isActive()) {
        QAccessibleEvent event(label, QAccessible::NameChanged);
        QAccessible::updateAccessibility(&event);
    }
}

QString StatusPanels::panelText(int position) const
{
    const QLabel *label = panel(position);
    return label ? label->text() : QString();
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
