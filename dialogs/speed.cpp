// The keyer settings window. Boxes load from the shared record when the window
// is created; list choices go into the record at once, everything else only on
// Update, which also writes the store and asks the main window to re-initialise
// the chip (the window never talks to the port itself).
#include "dialogs/speed.h"

#include "dialogs/uimetrics.h"
#include "dialogs/widgethelpers.h"
#include "settings/keyersettings.h"
#include "settings/numbers.h"
#include "settings/settingsstore.h"
#include "settings/settingstable.h"

#include <QAbstractItemView>
#include <QCheckBox>
#include <QComboBox>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPointer>
#include <QPushButton>

#include <span>

using Layout::place;
using WidgetHelpers::describe;

namespace {

// One entry of a drop-down list and the code the record and the store hold for it.
struct Choice {
    const char *text;
    const char *code;
};

constexpr Choice kModeChoices[] = {
    {"Iambic A", "A"}, {"Iambic B", "B"}, {"Ultimatic", "U"},
};
constexpr Choice kPin5Choices[] = {
    {"PTT", "5"}, {"SideTone", "6"}, {"None", "4"}, {"Key", "8"},
};
// The chip's sidetone divider codes with the frequencies (Hz) they give.
constexpr Choice kToneChoices[] = {
    {"3759", "1"}, {"1879", "2"}, {"1252", "3"}, {"940", "4"}, {"752", "5"},
    {"625", "6"}, {"535", "7"}, {"469", "8"}, {"417", "9"}, {"375", "10"},
};

// Every parameter the chip takes is one byte.
constexpr qint64 kByteMax = 255;

// Layout of the frames, in twips.
constexpr int kRowPitch = 360;
constexpr int kTextLeft = 120;
constexpr int kTextWidth = 375;
constexpr int kTextHeight = 285;
constexpr int kLabelLeft = 600;
constexpr int kLabelHeight = 255;
constexpr int kCheckHeight = 255;
constexpr int kListHeight = 315;
// Room kept clear of a frame's right border.
constexpr int kRightMargin = 60;

QGroupBox *makeFrame(QWidget *parent, const char *objectName, const QString &title, int left,
                     int top, int width, int height, const QString &description)
{
    auto *frame = new QGroupBox(title, parent);
    frame->setObjectName(QLatin1String(objectName));
    place(frame, left, top, width, height);
    describe(frame, title, description);
    return frame;
}

QLabel *makeLabel(QGroupBox *frame, const char *objectName, const QString &caption, int left,
                  int top, QWidget *buddy)
{
    auto *label = new QLabel(caption, frame);
    label->setObjectName(QLatin1String(objectName));
    const int frameWidth = qRound(Layout::twips(frame->width()));
    place(label, left, top, frameWidth - left - kRightMargin, kLabelHeight);
    label->setBuddy(buddy);
    return label;
}

// A text box at the given row of a frame, with its label to the right.
QLineEdit *makeTextRow(QGroupBox *frame, const char *objectName, const char *labelName,
                       const QString &caption, int row, const QString &description)
{
    const int top = kRowPitch * row;
    auto *box = new QLineEdit(frame);
    box->setObjectName(QLatin1String(objectName));
    place(box, kTextLeft, top, kTextWidth, kTextHeight);
    describe(box, caption, description);
    makeLabel(frame, labelName, caption, kLabelLeft, top + (kTextHeight - kLabelHeight) / 2, box);
    return box;
}

QCheckBox *makeCheck(QGroupBox *frame, const char *objectName, const QString &caption, int left,
                     int top, const QString &description)
{
    auto *check = new QCheckBox(caption, frame);
    check->setObjectName(QLatin1String(objectName));
    const int frameWidth = qRound(Layout::twips(frame->width()));
    place(check, left, top, frameWidth - left - kRightMargin, kCheckHeight);
    check->setChecked(false);
    describe(check, caption, description);
    return check;
}

QComboBox *makeList(QGroupBox *frame, const char *objectName, int left, int top, int width,
                    const QString &name, const QString &description)
{
    auto *combo = new QComboBox(frame);
    combo->setObjectName(QLatin1String(objectName));
    combo->setEditable(false);
    place(combo, left, top, width, kListHeight);
    describe(combo, name, description);
    // The open list is an object of its own to a screen reader: without a
    // name it is announced as a bare "list".
    describe(combo->view(), name, description);
    return combo;
}

QPushButton *makeButton(QWidget *parent, const char *objectName, const QString &caption, int left,
                        int top, const QString &description)
{
    auto *button = new QPushButton(caption, parent);
    button->setObjectName(QLatin1String(objectName));
    place(button, left, top, 855, 375);
    // Enter must not press either button: the operator confirms with a click only.
    button->setAutoDefault(false);
    button->setDefault(false);
    describe(button, caption, description);
    return button;
}

// Fills a list and selects the entry whose code is exactly the record's. A code
// the list does not know selects nothing; the record keeps it as it is.
void fillList(QComboBox *combo, std::span<const Choice> choices, const QString &code)
{
    const QSignalBlocker blocker(combo);
    combo->clear();
    int selected = -1;
    for (const Choice &choice : choices) {
        if (code == QLatin1String(choice.code))
            selected = combo->count();
        combo->addItem(QLatin1String(choice.text));
    }
    combo->setCurrentIndex(selected);
}

// The operator's pick goes into the record at once; Cancel does not take it back.
void applyChoice(const QComboBox *combo, std::span<const Choice> choices,
                 QString KeyerSettings::*field, int index)
{
    const QString text = combo->itemText(index);
    for (const Choice &choice : choices) {
        if (text == QLatin1String(choice.text)) {
            Zavo::Settings.*field = QLatin1String(choice.code);
            return;
        }
    }
}

QString flag(bool on, const char *onText, const char *offText)
{
    return QLatin1String(on ? onText : offText);
}

} // namespace

Speed::Speed(SettingsStore &store, QWidget *parent)
    : QWidget(parent, Qt::Window)
    , m_store(store)
    , m_storeWriter([this](const QString &section, const QString &key, const QString &value) {
        return m_store.SaveSetting(section, key, value);
    })
    , m_warner([](QWidget *owner, const QString &title, const QString &text) {
        QMessageBox::warning(owner, title, text, QMessageBox::Ok);
    })
{
    WidgetHelpers::readWindowAs(staticMetaObject, QAccessible::Dialog);
    setAttribute(Qt::WA_DeleteOnClose);
    setWindowTitle(QStringLiteral("Winkey  Settings"));
    setFont(Layout::formFont());
    buildUi();
    loadFromRecord();
    connectSignals();
    m_minSpeed->setFocus();
}

void Speed::setStoreWriter(StoreWriter writer)
{
    m_storeWriter = std::move(writer);
}

void Speed::setWarner(Warner warner)
{
    m_warner = std::move(warner);
}

void Speed::buildUi()
{
    resize(Layout::size(6735, 3195));

    m_frame1 = makeFrame(this, "Frame1", QString(), 0, 0, 6735, 3135,
                         QStringLiteral("The keyer settings"));
    // The outer frame has no caption to lend a screen reader its name.
    m_frame1->setAccessibleName(QStringLiteral("Keyer settings"));

    // Widgets are created in tab order: down each frame, frame by frame.
    m_speedFrame = makeFrame(m_frame1, "Frame2", QStringLiteral("Speed"), 120, 120, 2055, 1815,
                             QStringLiteral("Speed range of the speed pot and Farnsworth speed"));
    m_minSpeed = makeTextRow(m_speedFrame, "MinSText", "Label1", QStringLiteral("Minimum Speed"), 1,
                             QStringLiteral("Words per minute at the low end of the speed pot"));
    m_maxSpeed = makeTextRow(m_speedFrame, "MaxSText", "Label2", QStringLiteral("Maximum Speed"), 2,
                             QStringLiteral("Words per minute at the high end of the speed pot"));
    m_farnsworth = makeTextRow(m_speedFrame, "FarSText", "Label3",
                               QStringLiteral("Farnsworth Speed"), 3,
                               QStringLiteral("Character speed in words per minute for Farnsworth "
                                              "spacing; 0 turns it off"));
    m_potCheck = makeCheck(m_speedFrame, "Pot_Chk", QStringLiteral("Speed Pot 3 Wires"), 240,
                           kRowPitch * 4,
                           QStringLiteral("Checked when the speed pot is wired with three wires "
                                          "(full range)"));

    m_timingFrame = makeFrame(m_frame1, "Frame3", QStringLiteral("Timing"), 2280, 120, 2055, 2895,
                              QStringLiteral("Keying and PTT timing"));
    m_lead = makeTextRow(m_timingFrame, "LeadText", "LeadLabel", QStringLiteral("PTT Lead Time"), 1,
                         QStringLiteral("Delay from PTT on to the first element, in 10 ms steps"));
    m_tail = makeTextRow(m_timingFrame, "TailText", "Label6", QStringLiteral("PTT Tail Time"), 2,
                         QStringLiteral("Time PTT stays on after the last element, in 10 ms steps"));
    m_extension = makeTextRow(m_timingFrame, "ExtnText", "Label7",
                              QStringLiteral("1st Char Extension"), 3,
                              QStringLiteral("Milliseconds added to the first element sent, for "
                                             "slow transmit-receive switching"));
    m_weight = makeTextRow(m_timingFrame, "WgtText", "Label8", QStringLiteral("Weight"), 4,
                           QStringLiteral("Keying weight; 50 is normal"));
    m_ratio = makeTextRow(m_timingFrame, "RatioText", "Label5", QStringLiteral("Dot/Dash Ratio"), 5,
                          QStringLiteral("Dash length against the dot; 50 gives the standard 1 to 3"));
    m_compensation = makeTextRow(m_timingFrame, "CompText", "Label9",
                                 QStringLiteral("Compensation"), 6,
                                 QStringLiteral("Milliseconds added to every element to make up "
                                                "for the transmitter's keying delay"));
    m_setPoint = makeTextRow(m_timingFrame, "SetP", "Label10", QStringLiteral("Switchpoint"), 7,
                             QStringLiteral("Paddle switchpoint: how early a paddle press is "
                                            "taken; 50 is normal"));

    m_spacingFrame = makeFrame(m_frame1, "Frame5", QStringLiteral("Spacing"), 120, 1920, 2055, 1095,
                               QStringLiteral("Letter spacing of paddle sending"));
    m_autoCheck = makeCheck(m_spacingFrame, "Auto_Chk", QStringLiteral("AutoSpace"), 120,
                            kRowPitch * 1,
                            QStringLiteral("Checked to have the keyer space letters sent with the "
                                           "paddles"));
    m_ctCheck = makeCheck(m_spacingFrame, "CT_Chk", QStringLiteral("CT Spacing"), 120, kRowPitch * 2,
                          QStringLiteral("Checked for contest spacing: a shorter word space"));

    m_modeFrame = makeFrame(m_frame1, "ModeFrame", QStringLiteral("Keyer Mode"), 4440, 120, 2175,
                            1055, QStringLiteral("How the paddles key"));
    m_modeCombo = makeList(m_modeFrame, "ModeCombo", 600, 240, 1095, QStringLiteral("Keyer Mode"),
                           QStringLiteral("Choose Iambic A, Iambic B or Ultimatic paddle keying"));
    m_paddleCheck = makeCheck(m_modeFrame, "Pdl_Chk", QStringLiteral("Swap Paddles"), 240, 720,
                              QStringLiteral("Checked to swap the dot and dash paddles"));

    m_pin5Frame = makeFrame(m_frame1, "Frame4", QStringLiteral("Winkey Pin 5"), 4440, 1200, 2175,
                            1335, QStringLiteral("Use of the chip's pin 5 and the sidetone"));
    m_pin5Combo = makeList(m_pin5Frame, "Pin5Combo", 120, 360, 975, QStringLiteral("Function"),
                           QStringLiteral("Choose what pin 5 does: PTT, SideTone, None or Key"));
    makeLabel(m_pin5Frame, "Label11", QStringLiteral("Function"), 1200,
              360 + (kListHeight - kLabelHeight) / 2, m_pin5Combo);
    m_toneCombo = makeList(m_pin5Frame, "ToneCombo", 120, 840, 975, QStringLiteral("Tone Freq."),
                           QStringLiteral("Choose the sidetone frequency in hertz"));
    makeLabel(m_pin5Frame, "Label12", QStringLiteral("Tone Freq."), 1200,
              840 + (kListHeight - kLabelHeight) / 2, m_toneCombo);

    m_updateButton = makeButton(m_frame1, "UpdateCmd", QStringLiteral("Update"), 4560, 2640,
                                QStringLiteral("Saves the settings and initialises the keyer "
                                               "again with them"));
    m_cancelButton = makeButton(m_frame1, "CancelCmd", QStringLiteral("Cancel"), 5640, 2640,
                                QStringLiteral("Closes the window; typed values and check boxes "
                                               "are not saved"));
}

void Speed::loadFromRecord()
{
    const KeyerSettings &s = Zavo::Settings;
    m_minSpeed->setText(QString::number(s.MinSpeed));
    m_maxSpeed->setText(s.MaxSpeed);
    m_farnsworth->setText(s.Farnsworth);
    m_ratio->setText(s.DDRatio);
    m_weight->setText(s.Weight);
    m_compensation->setText(s.KeyComp);
    m_lead->setText(s.PTT_Lead);
    m_tail->setText(s.PTT_Tail);
    m_extension->setText(s.FirstExt);
    m_setPoint->setText(s.SetPoint);

    // Only ever checks: the boxes start unchecked.
    if (s.PaddleSwap == QLatin1String("1"))
        m_paddleCheck->setChecked(true);
    if (s.PotRange == QLatin1String("255"))
        m_potCheck->setChecked(true);
    if (s.CTSpace == QLatin1String("1"))
        m_ctCheck->setChecked(true);
    if (s.AutoSpace == QLatin1String("1"))
        m_autoCheck->setChecked(true);

    fillList(m_pin5Combo, kPin5Choices, s.Pin5Mode);
    fillList(m_modeCombo, kModeChoices, s.IambicMode);
    fillList(m_toneCombo, kToneChoices, s.ToneFreq);
}

void Speed::connectSignals()
{
    connect(m_modeCombo, &QComboBox::activated, this, [this](int index) {
        applyChoice(m_modeCombo, kModeChoices, &KeyerSettings::IambicMode, index);
    });
    connect(m_pin5Combo, &QComboBox::activated, this, [this](int index) {
        applyChoice(m_pin5Combo, kPin5Choices, &KeyerSettings::Pin5Mode, index);
    });
    connect(m_toneCombo, &QComboBox::activated, this, [this](int index) {
        applyChoice(m_toneCombo, kToneChoices, &KeyerSettings::ToneFreq, index);
    });
    connect(m_updateButton, &QPushButton::clicked, this, &Speed::updateClicked);
    connect(m_cancelButton, &QPushButton::clicked, this, &QWidget::close);
}

QLineEdit *Speed::firstInvalidBox(QString *message) const
{
    const auto byteRule = [message](const QLineEdit *box) {
        const auto value = Winkey::toWholeNumber(box->text());
        if (value && *value >= 0 && *value <= kByteMax)
            return true;
        *message = QStringLiteral("%1 must be a whole number from 0 to 255.")
                       .arg(box->accessibleName());
        return false;
    };

    if (!byteRule(m_minSpeed))
        return m_minSpeed;
    for (QLineEdit *box : {m_farnsworth, m_lead, m_tail, m_extension, m_ratio, m_weight,
                           m_compensation, m_setPoint}) {
        if (!byteRule(box))
            return box;
    }

    const auto maxSpeed = Winkey::toWholeNumber(m_maxSpeed->text());
    if (!maxSpeed) {
        *message = QStringLiteral("Maximum Speed must be a number.");
        return m_maxSpeed;
    }
    const qint64 range = *maxSpeed - *Winkey::toWholeNumber(m_minSpeed->text());
    if (range < 0 || range > kByteMax) {
        *message = QStringLiteral("Maximum Speed must not be below Minimum Speed, and at most 255 "
                                  "above it.");
        return m_maxSpeed;
    }
    return nullptr;
}

bool Speed::save(const QString &section, const QString &key, const QString &value)
{
    return m_storeWriter(section, key, value);
}

void Speed::updateClicked()
{
    QString message;
    if (QLineEdit *box = firstInvalidBox(&message)) {
        const QPointer<Speed> self(this);
        m_warner(this, windowTitle(), message);
        if (!self)
            return;
        box->setFocus();
        box->selectAll();
        return;
    }

    KeyerSettings &s = Zavo::Settings;
    s.MinSpeed = static_cast<qint32>(*Winkey::toWholeNumber(m_minSpeed->text()));

    s.MaxSpeed = m_maxSpeed->text();
    s.Farnsworth = m_farnsworth->text();
    s.PTT_Lead = m_lead->text();
    s.PTT_Tail = m_tail->text();
    s.FirstExt = m_extension->text();
    s.DDRatio = m_ratio->text();
    s.Weight = m_weight->text();
    s.KeyComp = m_compensation->text();
    s.SetPoint = m_setPoint->text();

    s.AutoSpace = flag(m_autoCheck->isChecked(), "1", "0");
    s.CTSpace = flag(m_ctCheck->isChecked(), "1", "0");
    s.PotRange = flag(m_potCheck->isChecked(), "255", "127");
    s.PaddleSwap = flag(m_paddleCheck->isChecked(), "1", "0");

    // All of them land in one write, or none: a failed write is held by the
    // store and told once, and the chip still gets the new values.
    {
        SettingsStore::Batch batch(m_store);
        for (const SettingsTable::Entry *entry : SettingsTable::updateOrder())
            save(entry->section, entry->key, entry->storeText(s));
    }
    const QPointer<Speed> self(this);
    m_store.reportUnsaved();
    if (!self)
        return;

    // The main window re-initialises the chip inside this emit and keeps the
    // event loop turning meanwhile; nothing here may be pressed again, and the
    // window may even be closed and deleted before the emit returns.
    setEnabled(false);
    emit reinitRequested();
    if (self)
        close();
}
