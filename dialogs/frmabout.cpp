// The About box. The version shown is the one the build was configured with,
// so it cannot drift from the project's.
#include "dialogs/frmabout.h"

#include "dialogs/uimetrics.h"
#include "dialogs/widgethelpers.h"
#include "version.h"

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>

using Layout::place;
using WidgetHelpers::fitWidth;
using WidgetHelpers::setTextColour;

namespace {

QLabel *makeLabel(QWidget *parent, const char *objectName, const QString &text)
{
    auto *label = new QLabel(text, parent);
    label->setObjectName(QLatin1String(objectName));
    label->setTextFormat(Qt::PlainText);
    return label;
}

} // namespace

frmAbout::frmAbout(QWidget *parent)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("About ") + QLatin1String(Zavo::Version::kTitle));
    setFont(Layout::formFont());
    setFixedSize(Layout::size(4665, 1560));
    setSizeGripEnabled(false);
    buildUi();
    connectSignals();
    m_okButton->setFocus();
}

void frmAbout::buildUi()
{
    m_okButton = new QPushButton(QStringLiteral("OK"), this);
    m_okButton->setObjectName(QStringLiteral("cmdOK"));
    place(m_okButton, 3240, 240, 1260, 345);
    m_okButton->setDefault(true);
    m_okButton->setAccessibleName(QStringLiteral("OK"));
    m_okButton->setAccessibleDescription(QStringLiteral("Closes the About box"));

    m_icon = new QLabel(this);
    m_icon->setObjectName(QStringLiteral("picIcon"));
    place(m_icon, 120, 240, 540, 540);
    m_icon->setFrameShape(QFrame::Box);
    m_icon->setAlignment(Qt::AlignCenter);
    const QIcon icon = QApplication::windowIcon();
    if (!icon.isNull())
        m_icon->setPixmap(icon.pixmap(m_icon->contentsRect().size()));
    m_icon->setAccessibleName(QStringLiteral("Program icon"));
    m_icon->setAccessibleDescription(QStringLiteral("The icon of %1")
                                         .arg(QLatin1String(Zavo::Version::kTitle)));

    m_description = makeLabel(this, "lblDescription",
                              QLatin1String(Zavo::Version::kDescription) + QLatin1Char('\n')
                                  + QLatin1String(kWebAddress));
    place(m_description, 120, 960, 3045, 450);
    fitWidth(m_description);
    setTextColour(m_description, Qt::black);

    m_title = makeLabel(this, "lblTitle", QStringLiteral("ZavoKeyer by Vardel"));
    place(m_title, 840, 240, 2325, 360);
    m_title->setFont(Layout::formFont(9.75, true));
    fitWidth(m_title);
    setTextColour(m_title, Qt::black);

    m_version = makeLabel(this, "lblVersion",
                          QStringLiteral("Version %1.%2.%3")
                              .arg(Zavo::Version::kMajor)
                              .arg(Zavo::Version::kMinor)
                              .arg(Zavo::Version::kRevision));
    place(m_version, 840, 600, 1245, 225);
    fitWidth(m_version);
}

void frmAbout::connectSignals()
{
    connect(m_okButton, &QPushButton::clicked, this, &QWidget::close);
}

void frmAbout::keyPressEvent(QKeyEvent *event)
{
    // Escape presses OK, as Enter does, rather than QDialog's own reject.
    if (event->matches(QKeySequence::Cancel)) {
        m_okButton->click();
        return;
    }
    QDialog::keyPressEvent(event);
}
