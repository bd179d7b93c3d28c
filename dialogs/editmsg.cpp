// The message editor. The chip sends printable ASCII only, so that is all the
// operator can type; a message that came from the store otherwise (edited by
// hand) is still shown and kept whole until the operator changes it.
#include "dialogs/editmsg.h"

#include "dialogs/uimetrics.h"
#include "dialogs/widgethelpers.h"
#include "settings/keyersettings.h"
#include "settings/settingsstore.h"
#include "settings/settingstable.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTimer>
#include <QToolTip>
#include <QValidator>

using Layout::place;
using WidgetHelpers::describe;
using WidgetHelpers::fitWidth;
using WidgetHelpers::setTextColour;

const QString EditMsg::kLegend =
    QStringLiteral("AR    <      SK    >  KN     :      AC   @  AS     =     DN    /");

namespace {

constexpr int kMessageCount = 5;

// Breaks of the legend: after the blanks before "KN" and before "AS", so the
// rows read the same whatever the font's widths make of word wrap.
constexpr int kLegendBreaks[] = {44, 22};

// Long enough to read the longer reason twice.
constexpr int kReasonShownMs = 6000;

bool isPrintableAscii(QChar c)
{
    return c.unicode() >= 0x20 && c.unicode() <= 0x7E;
}

// Refuses any character outside printable ASCII, except as many of each as
// the loaded message already holds, so that a stored message stays editable.
class MessageValidator : public QValidator
{
public:
    MessageValidator(const QString *loaded, QObject *parent)
        : QValidator(parent), m_loaded(loaded)
    {
    }

    State validate(QString &input, int &) const override
    {
        for (const QChar c : std::as_const(input)) {
            if (!isPrintableAscii(c) && input.count(c) > m_loaded->count(c))
                return Invalid;
        }
        return Acceptable;
    }

private:
    const QString *m_loaded = nullptr;
};

// The message number that EditIndex names, 0 for none.
int editedMessage()
{
    for (int n = 1; n <= kMessageCount; ++n) {
        if (Zavo::EditIndex == QString::number(n))
            return n;
    }
    return 0;
}

QString frameCaption(int n)
{
    return QStringLiteral(" CW Message %1 ").arg(n);
}

} // namespace

EditMsg::EditMsg(SettingsStore &store, QWidget *parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint
                          | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
    , m_store(store)
{
    WidgetHelpers::readWindowAs(staticMetaObject, QAccessible::Dialog);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Message Editor"));
    setFont(Layout::formFont());
    setFixedSize(Layout::size(3855, 1350));
    buildUi();
    connectSignals();
    load();
    m_text->setFocus();
}

void EditMsg::buildUi()
{
    m_frame = new QGroupBox(QStringLiteral(" CW Message "), this);
    m_frame->setObjectName(QStringLiteral("Frame1"));
    place(m_frame, 0, 0, 3855, 1335);
    describe(m_frame, QStringLiteral("CW Message"),
             QStringLiteral("The stored message being edited"));

    m_text = new QLineEdit(m_frame);
    m_text->setObjectName(QStringLiteral("Text1"));
    place(m_text, 120, 240, 3615, 285);
    m_text->setMaxLength(kMaxLength);
    m_text->setValidator(new MessageValidator(&m_loadedText, m_text));
    describe(m_text, QStringLiteral("Message text"),
             QStringLiteral("The message to send: up to 32 plain ASCII characters; lower case "
                            "is stored in upper case"));

    m_updateButton = new QPushButton(QStringLiteral("Update"), m_frame);
    m_updateButton->setObjectName(QStringLiteral("Command1"));
    place(m_updateButton, 120, 720, 855, 255);
    // Enter must not store the message: only a click on Update does.
    m_updateButton->setAutoDefault(false);
    m_updateButton->setDefault(false);
    describe(m_updateButton, QStringLiteral("Update"),
             QStringLiteral("Stores the message and closes the editor"));

    m_prowordsLabel = new QLabel(QStringLiteral("Prowords:"), m_frame);
    m_prowordsLabel->setObjectName(QStringLiteral("Label1"));
    place(m_prowordsLabel, 1320, 600, 735, 255);
    fitWidth(m_prowordsLabel);
    setTextColour(m_prowordsLabel, QColor(0, 128, 0));

    QString legendRows = kLegend;
    for (const int at : kLegendBreaks)
        legendRows.insert(at, QLatin1Char('\n'));
    m_legendLabel = new QLabel(legendRows, m_frame);
    m_legendLabel->setObjectName(QStringLiteral("Label2"));
    m_legendLabel->setTextFormat(Qt::PlainText);
    m_legendLabel->setWordWrap(true);
    m_legendLabel->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    place(m_legendLabel, 2160, 600, 1335, 615);
    setTextColour(m_legendLabel, QColor(0, 0, 128));
    describe(m_legendLabel, QStringLiteral("Prowords"),
             QStringLiteral("Type the sign on the right to send the proword on its left: ")
                 + kLegend);

    // Why a key was refused, shown over the legend while it matters. A tool
    // tip below the box would lie over Update: the click meant for Update
    // then lands on the tip, which only closes, and nothing is stored.
    m_reason = new QLabel(m_frame);
    m_reason->setObjectName(QStringLiteral("Reason"));
    m_reason->setTextFormat(Qt::PlainText);
    m_reason->setWordWrap(true);
    m_reason->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    m_reason->setFrameStyle(QFrame::Box | QFrame::Plain);
    m_reason->setMargin(1);
    m_reason->setPalette(QToolTip::palette());
    m_reason->setForegroundRole(QPalette::ToolTipText);
    m_reason->setBackgroundRole(QPalette::ToolTipBase);
    m_reason->setAutoFillBackground(true);
    m_reason->setAttribute(Qt::WA_TransparentForMouseEvents);
    place(m_reason, 1320, 570, 2415, 735);
    m_reason->hide();
    m_reasonTimer = new QTimer(this);
    m_reasonTimer->setSingleShot(true);
    m_reasonTimer->setInterval(kReasonShownMs);

    setTabOrder(m_text, m_updateButton);
}

void EditMsg::connectSignals()
{
    connect(m_updateButton, &QPushButton::clicked, this, &EditMsg::updateClicked);
    connect(m_text, &QLineEdit::inputRejected, this, &EditMsg::inputRefused);
    connect(m_text, &QLineEdit::textEdited, this, &EditMsg::relaxLimit);
    connect(m_text, &QLineEdit::textEdited, m_reason, &QWidget::hide);
    connect(m_reasonTimer, &QTimer::timeout, m_reason, &QWidget::hide);
}

void EditMsg::load()
{
    const int n = editedMessage();
    if (n == 0)
        return;
    m_loadedText = Zavo::Settings.message(n);
    // A longer message from the store is shown whole: the limit is raised first.
    m_text->setMaxLength(qMax(kMaxLength, int(m_loadedText.size())));
    m_text->setText(m_loadedText);
    m_frame->setTitle(frameCaption(n));
    // A screen reader takes the frame's name, not its caption: it must say
    // which message is being edited too.
    m_frame->setAccessibleName(frameCaption(n).trimmed());
}

void EditMsg::updateClicked()
{
    const int n = editedMessage();
    if (n != 0) {
        const QString text = m_text->text().toUpper();
        Zavo::Settings.message(n) = text;
        const SettingsTable::Entry &entry = SettingsTable::message(n);
        m_store.SaveSetting(entry.section, entry.key, text);
        // The message box may outlive the editor (the main window closing meanwhile).
        const QPointer<EditMsg> self(this);
        m_store.reportUnsaved();
        if (!self)
            return;
    }
    close();
}

void EditMsg::inputRefused()
{
    const QString reason = m_text->text().size() >= m_text->maxLength()
        ? QStringLiteral("A message holds at most %1 characters.").arg(kMaxLength)
        : QStringLiteral("Only plain ASCII letters, digits, blanks and signs can be sent.");
    m_reason->setText(reason);
    m_reason->setAccessibleName(reason);
    m_reason->raise();
    m_reason->show();
    m_reasonTimer->start();
}

void EditMsg::relaxLimit(const QString &text)
{
    const int limit = qMax(kMaxLength, int(text.size()));
    if (limit >= m_text->maxLength())
        return;
    // Changing the limit puts the text in again, which moves the cursor to the end.
    const int cursor = m_text->cursorPosition();
    m_text->setMaxLength(limit);
    m_text->setCursorPosition(cursor);
}
