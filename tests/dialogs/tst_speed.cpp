// Tests of the keyer settings window: layout, loading from the record, list
// choices, Update's validation, record and store writes, and the reinit request.
#include "dialogtest.h"
#include "dialogs/speed.h"
#include "settings/keyersettings.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <memory>

using Layout::px;

namespace {

struct Write {
    QString section;
    QString key;
    QString value;
    bool operator==(const Write &) const = default;
};

using Field = QString KeyerSettings::*;

// The boxes whose text goes to the record as typed: odd but valid texts, one
// to load and one to type, show that nothing is tidied on the way.
struct TextBox {
    const char *box;
    const char *key;
    Field field;
    const char *loaded;
    const char *typed;
};
const TextBox kTextBoxes[] = {
    {"MaxSText", "MaxSpeed", &KeyerSettings::MaxSpeed, " 40 ", "40.5"},
    {"FarSText", "Farnsworth", &KeyerSettings::Farnsworth, "012", " 20 "},
    {"RatioText", "DDRatio", &KeyerSettings::DDRatio, "50.5", "33.4"},
    {"WgtText", "Weight", &KeyerSettings::Weight, "heavy", "060"},
    {"CompText", "KeyComp", &KeyerSettings::KeyComp, "", "007"},
    {"LeadText", "PTT_Lead", &KeyerSettings::PTT_Lead, "+4", "+5"},
    {"TailText", "PTT_Tail", &KeyerSettings::PTT_Tail, "3 ", "255"},
    {"ExtnText", "FirstExt", &KeyerSettings::FirstExt, "-1", "0.2"},
    {"SetP", "SetPoint", &KeyerSettings::SetPoint, "0x32", "-0.5"},
};

QString sectionOf(const QString &key)
{
    return key == QLatin1String("MinSpeed") || key == QLatin1String("MaxSpeed")
            || key == QLatin1String("Farnsworth")
        ? QStringLiteral("Speed Settings")
        : QStringLiteral("Parameters");
}

Field listField(const QString &combo)
{
    return combo == QLatin1String("Pin5Combo")   ? &KeyerSettings::Pin5Mode
        : combo == QLatin1String("ModeCombo") ? &KeyerSettings::IambicMode
                                              : &KeyerSettings::ToneFreq;
}

Field checkField(const QString &key)
{
    return key == QLatin1String("AutoSpace") ? &KeyerSettings::AutoSpace
        : key == QLatin1String("CTSpace")    ? &KeyerSettings::CTSpace
        : key == QLatin1String("PotRange")   ? &KeyerSettings::PotRange
                                             : &KeyerSettings::PaddleSwap;
}

// A record as a working keyer holds it.
void seedRecord()
{
    KeyerSettings &s = Zavo::Settings;
    s.MinSpeed = 10;
    s.MaxSpeed = QStringLiteral("45");
    s.Farnsworth = s.FirstExt = s.KeyComp = s.CTSpace = s.PaddleSwap = QStringLiteral("0");
    s.PTT_Lead = QStringLiteral("4");
    s.PTT_Tail = QStringLiteral("3");
    s.DDRatio = s.SetPoint = QStringLiteral("50");
    s.Weight = QStringLiteral("050");
    s.AutoSpace = QStringLiteral("1");
    s.PotRange = QStringLiteral("255");
    s.IambicMode = QStringLiteral("B");
    s.ToneFreq = QStringLiteral("4");
    s.Pin5Mode = QStringLiteral("6");
}

} // namespace

class TestSpeed : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void shouldHaveDefaultValues();
    void shouldPlaceControls_data();
    void shouldPlaceControls();
    void shouldPlaceReadableLabels();

    void shouldKeepTextsAsTyped();
    void shouldSelectListEntryByCode_data();
    void shouldSelectListEntryByCode();


    void shouldRewriteEveryKeyInOrder_data();
    void shouldRewriteEveryKeyInOrder();
    void shouldRoundMinimumSpeed_data();
    void shouldRoundMinimumSpeed();
    void shouldStoreCheckBoxes_data();
    void shouldStoreCheckBoxes();
    void shouldRefuseInvalidValues_data();
    void shouldRefuseInvalidValues();

    void shouldStoreNothingWithoutUpdate_data();
    void shouldStoreNothingWithoutUpdate();
    void shouldTolerateEventsDuringReinit_data();
    void shouldTolerateEventsDuringReinit();

private:
    template<typename T = QWidget>
    T *child(const QString &name) const { return DialogTest::child<T>(m_dialog, name); }
    void open(QWidget *owner = nullptr);
    void pressUpdate();
    void retype(const QString &box, const QString &text);
    QString stored(const QString &key) const { return m_store->reread(sectionOf(key), key); }
    void verifyNothingStored() const;

    std::unique_ptr<DialogTest::TempStore> m_store;
    QPointer<Speed> m_dialog;
    QList<Write> m_writes;
    QStringList m_warnings;
};

void TestSpeed::init()
{
    Zavo::resetProcessState();
    m_store = std::make_unique<DialogTest::TempStore>();
    QVERIFY(m_store->dir.isValid());
    m_writes.clear();
    m_warnings.clear();
}

void TestSpeed::cleanup()
{
    delete m_dialog;
    m_store.reset();
}

void TestSpeed::open(QWidget *owner)
{
    m_dialog = new Speed(m_store->store, owner);
    // Writes are recorded, then passed on to the store.
    m_dialog->setStoreWriter([this](const QString &section, const QString &key,
                                    const QString &value) {
        m_writes.append({section, key, value});
        return m_store->store.SaveSetting(section, key, value);
    });
    m_dialog->setWarner([this](QWidget *, const QString &, const QString &text) {
        m_warnings.append(text);
    });
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog));
}

void TestSpeed::pressUpdate()
{
    QTest::mouseClick(child<QPushButton>(QStringLiteral("UpdateCmd")), Qt::LeftButton);
}

void TestSpeed::retype(const QString &box, const QString &text)
{
    auto *edit = child<QLineEdit>(box);
    edit->selectAll();
    QTest::keyClick(edit, Qt::Key_Delete);
    QTest::keyClicks(edit, text);
    QCOMPARE(edit->text(), text);
}

void TestSpeed::verifyNothingStored() const
{
    QVERIFY(m_writes.isEmpty());
    QVERIFY(m_store->fileIsEmpty());
}

void TestSpeed::shouldHaveDefaultValues()
{
    open();
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Winkey  Settings"));
    QVERIFY(m_dialog->testAttribute(Qt::WA_DeleteOnClose));
    const Qt::WindowFlags buttons = Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint
        | Qt::WindowCloseButtonHint;
    QCOMPARE(m_dialog->windowFlags() & buttons, buttons);
    QCOMPARE(m_dialog->size(), Layout::size(6735, 3195));
    QVERIFY(m_dialog->minimumSize() != m_dialog->maximumSize());
    QCOMPARE(m_dialog->focusWidget(), child(QStringLiteral("MinSText")));
    QCOMPARE(child<QLineEdit>(QStringLiteral("MinSText"))->text(), QStringLiteral("0"));
    for (auto *box : m_dialog->findChildren<QCheckBox *>())
        QVERIFY2(!box->isChecked(), qPrintable(box->objectName()));
    // Enter must not press a button behind the operator's back.
    for (auto *button : m_dialog->findChildren<QPushButton *>())
        QVERIFY(!button->isDefault() && !button->autoDefault());

    // Every control the operator works names itself and says what it does.
    int controls = 0;
    for (auto *w : m_dialog->findChildren<QWidget *>()) {
        if (w->focusPolicy() == Qt::NoFocus || !qobject_cast<QGroupBox *>(w->parentWidget()))
            continue;
        ++controls;
        QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
        QVERIFY2(!w->accessibleDescription().isEmpty(), qPrintable(w->objectName()));
    }
    QCOMPARE(controls, 2 + 10 + 3 + 4);

    // Resizing moves nothing.
    const QRect before = child(QStringLiteral("CancelCmd"))->geometry();
    m_dialog->resize(m_dialog->size() * 2);
    QCOMPARE(child(QStringLiteral("CancelCmd"))->geometry(), before);
}

void TestSpeed::shouldPlaceControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QRect>("twips"); // width and height 0: not given by the design

    const auto row = [](const char *name, const char *parent, const char *caption, int l, int t,
                        int w, int h) {
        QTest::newRow(name) << QString::fromLatin1(name) << QString::fromLatin1(parent)
                            << QString::fromLatin1(caption) << QRect(l, t, w, h);
    };
    row("Frame1", "", "", 0, 0, 6735, 3135);
    row("Frame3", "Frame1", "Timing", 2280, 120, 2055, 2895);
    row("Frame4", "Frame1", "Winkey Pin 5", 4440, 1200, 2175, 1335);
    row("CancelCmd", "Frame1", "Cancel", 5640, 2640, 855, 375);
    row("MaxSText", "Frame2", "", 120, 720, 375, 285);
    row("SetP", "Frame3", "", 120, 2520, 375, 285);
    row("CT_Chk", "Frame5", "CT Spacing", 120, 720, 0, 0);
    row("Pdl_Chk", "ModeFrame", "Swap Paddles", 240, 720, 0, 0);
    row("ToneCombo", "Frame4", "", 120, 840, 975, 315);
}

void TestSpeed::shouldPlaceControls()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);

    open();
    QWidget *widget = child(name);
    QCOMPARE(widget->parentWidget(),
             parent.isEmpty() ? static_cast<QWidget *>(m_dialog.data()) : child(parent));
    QCOMPARE(widget->pos(), QPoint(px(twips.left()), px(twips.top())));
    if (twips.width() > 0)
        QCOMPARE(widget->size(), QSize(px(twips.width()), px(twips.height())));
    // Inside its frame, whole.
    QVERIFY(widget->parentWidget()->rect().contains(widget->geometry()));

    if (auto *frame = qobject_cast<QGroupBox *>(widget))
        QCOMPARE(frame->title(), caption);
    else if (auto *button = qobject_cast<QAbstractButton *>(widget))
        QCOMPARE(button->text(), caption);
    if (auto *combo = qobject_cast<QComboBox *>(widget))
        QVERIFY(!combo->isEditable());
}

void TestSpeed::shouldPlaceReadableLabels()
{
    open();
    QList<QWidget *> captioned;
    for (auto *label : m_dialog->findChildren<QLabel *>()) {
        // Each label names its control, on the control's row.
        QWidget *target = label->buddy();
        QVERIFY2(target, qPrintable(label->objectName()));
        QCOMPARE(target->accessibleName(), label->text());
        QCOMPARE(label->parentWidget(), target->parentWidget());
        const int middle = label->geometry().center().y();
        QVERIFY(middle >= target->geometry().top() && middle <= target->geometry().bottom());
        captioned << label;
    }
    QCOMPARE(captioned.size(), 12);
    for (auto *box : m_dialog->findChildren<QCheckBox *>())
        captioned << box;
    // Wide and tall enough for the whole caption, inside the frame.
    for (QWidget *widget : std::as_const(captioned)) {
        QVERIFY2(widget->sizeHint().width() <= widget->width(),
                 qPrintable(QStringLiteral("%1 needs %2 px, has %3")
                                .arg(widget->objectName())
                                .arg(widget->sizeHint().width())
                                .arg(widget->width())));
        QVERIFY(widget->fontMetrics().height() <= widget->height());
        QVERIFY(widget->parentWidget()->contentsRect().contains(widget->geometry()));
    }
    QCOMPARE(child(QStringLiteral("Label11"))->x(), px(1200));
}

void TestSpeed::shouldKeepTextsAsTyped()
{
    seedRecord();
    Zavo::Settings.MinSpeed = 17;
    for (const TextBox &t : kTextBoxes)
        Zavo::Settings.*t.field = QLatin1String(t.loaded);
    open();
    QCOMPARE(child<QLineEdit>(QStringLiteral("MinSText"))->text(), QStringLiteral("17"));
    for (const TextBox &t : kTextBoxes)
        QCOMPARE(child<QLineEdit>(QLatin1String(t.box))->text(), QLatin1String(t.loaded));
    // Loading writes nothing anywhere.
    QCOMPARE(Zavo::Settings.Weight, QStringLiteral("heavy"));
    verifyNothingStored();

    for (const TextBox &t : kTextBoxes)
        retype(QLatin1String(t.box), QLatin1String(t.typed));
    pressUpdate();
    QVERIFY2(m_warnings.isEmpty(), qPrintable(m_warnings.join(QLatin1Char('\n'))));
    for (const TextBox &t : kTextBoxes) {
        QCOMPARE(stored(QLatin1String(t.key)), QLatin1String(t.typed));
        QCOMPARE(Zavo::Settings.*t.field, QLatin1String(t.typed));
    }
}

void TestSpeed::shouldSelectListEntryByCode_data()
{
    QTest::addColumn<QString>("combo");
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("steps"); // Down (positive) or Up (negative) presses
    QTest::addColumn<QString>("chosen");

    const auto row = [](const char *name, const char *combo, const char *code, int index,
                        const char *text, int steps = 0, const char *chosen = nullptr) {
        QTest::newRow(name) << QString::fromLatin1(combo) << QString::fromLatin1(code) << index
                            << QString::fromLatin1(text) << steps
                            << QString::fromLatin1(chosen ? chosen : code);
    };
    // Entries in the chip's code order: the index is what the keys move through.
    row("pin5 PTT", "Pin5Combo", "5", 0, "PTT");
    row("pin5 None", "Pin5Combo", "4", 2, "None");
    row("pin5 unknown", "Pin5Combo", "7", -1, "");
    row("pin5 blank after", "Pin5Combo", "5 ", -1, "");
    row("pin5 SideTone to Key", "Pin5Combo", "6", 1, "SideTone", 2, "8");
    row("pin5 SideTone to PTT", "Pin5Combo", "6", 1, "SideTone", -1, "5");
    row("mode A", "ModeCombo", "A", 0, "Iambic A");
    row("mode U", "ModeCombo", "U", 2, "Ultimatic");
    row("mode lower case", "ModeCombo", "b", -1, "");
    row("mode B to U", "ModeCombo", "B", 1, "Iambic B", 1, "U");
    row("mode unknown to A", "ModeCombo", "X", -1, "", 1, "A");
    row("tone 1", "ToneCombo", "1", 0, "3759");
    row("tone 10", "ToneCombo", "10", 9, "375");
    row("tone leading zero", "ToneCombo", "01", -1, "");
    row("tone 11", "ToneCombo", "11", -1, "");
    row("tone 940 to 375", "ToneCombo", "4", 3, "940", 6, "10");
    row("tone 940 to 3759", "ToneCombo", "4", 3, "940", -3, "1");
}

void TestSpeed::shouldSelectListEntryByCode()
{
    QFETCH(QString, combo);
    QFETCH(QString, code);
    QFETCH(int, index);
    QFETCH(QString, text);
    QFETCH(int, steps);
    QFETCH(QString, chosen);

    seedRecord();
    const Field field = listField(combo);
    Zavo::Settings.*field = code;
    const KeyerSettings before = Zavo::Settings;
    open();
    auto *list = child<QComboBox>(combo);
    QCOMPARE(list->currentIndex(), index);
    QCOMPARE(list->currentText(), text);
    // Filling and selecting leave the record alone, unknown codes included.
    QCOMPARE(Zavo::Settings.Pin5Mode, before.Pin5Mode);
    QCOMPARE(Zavo::Settings.IambicMode, before.IambicMode);
    QCOMPARE(Zavo::Settings.ToneFreq, before.ToneFreq);

    list->setFocus();
    for (int i = 0; i < qAbs(steps); ++i)
        QTest::keyClick(list, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
    // A choice is in the record at once, and Cancel keeps it there.
    QCOMPARE(Zavo::Settings.*field, chosen);
    QTest::mouseClick(child<QPushButton>(QStringLiteral("CancelCmd")), Qt::LeftButton);
    QTRY_VERIFY(m_dialog.isNull());
    QCOMPARE(Zavo::Settings.*field, chosen);
    verifyNothingStored();
}

void TestSpeed::shouldRewriteEveryKeyInOrder_data()
{
    QTest::addColumn<QString>("iambicMode");
    QTest::addColumn<QString>("pin5Mode");
    QTest::addColumn<QString>("toneFreq");

    QTest::newRow("known codes") << "B" << "6" << "4";
    QTest::newRow("unknown codes kept") << "X" << "01" << "";
}

void TestSpeed::shouldRewriteEveryKeyInOrder()
{
    QFETCH(QString, iambicMode);
    QFETCH(QString, pin5Mode);
    QFETCH(QString, toneFreq);

    seedRecord();
    Zavo::Settings.IambicMode = iambicMode;
    Zavo::Settings.Pin5Mode = pin5Mode;
    Zavo::Settings.ToneFreq = toneFreq;
    open();
    QSignalSpy reinit(m_dialog.data(), &Speed::reinitRequested);
    bool enabledDuringReinit = true;
    QList<Write> writesAtReinit;
    connect(m_dialog.data(), &Speed::reinitRequested, this, [&] {
        enabledDuringReinit = m_dialog->isEnabled();
        writesAtReinit = m_writes;
    });
    pressUpdate();

    const QString speed = QStringLiteral("Speed Settings");
    const QString params = QStringLiteral("Parameters");
    const QList<Write> expected{
        {speed, "MinSpeed", "10"},     {speed, "MaxSpeed", "45"},
        {speed, "Farnsworth", "0"},    {params, "DDRatio", "50"},
        {params, "Weight", "050"},     {params, "PTT_Lead", "4"},
        {params, "PTT_Tail", "3"},     {params, "KeyComp", "0"},
        {params, "SetPoint", "50"},    {params, "AutoSpace", "1"},
        {params, "CTSpace", "0"},      {params, "PaddleSwap", "0"},
        {params, "PotRange", "255"},   {params, "IambicMode", iambicMode},
        {params, "ToneFreq", toneFreq}, {params, "FirstExt", "0"},
        {params, "Pin5Mode", pin5Mode},
    };
    QCOMPARE(m_writes.size(), expected.size());
    for (qsizetype i = 0; i < expected.size(); ++i) {
        const Write &w = expected.at(i);
        QCOMPARE(m_writes.at(i).section, w.section);
        QCOMPARE(m_writes.at(i).key, w.key);
        QCOMPARE(m_writes.at(i).value, w.value);
        // And it reached the file.
        QCOMPARE(m_store->reread(w.section, w.key), w.value);
    }

    // Everything was stored before the chip was asked for, with the window disabled.
    QCOMPARE(reinit.count(), 1);
    QVERIFY(writesAtReinit == expected);
    QVERIFY(!enabledDuringReinit);
    // Setting Reinit is the main window's part, not the dialog's.
    QVERIFY(!Zavo::Reinit);
    QCOMPARE(Zavo::Settings.IambicMode, iambicMode);
    QTRY_VERIFY(m_dialog.isNull());
}

void TestSpeed::shouldRoundMinimumSpeed_data()
{
    QTest::addColumn<QString>("typed");
    QTest::addColumn<int>("minSpeed");

    QTest::newRow("blanks around") << " 20 " << 20;
    QTest::newRow("half to even down") << "12.5" << 12;
    QTest::newRow("half to even up") << "13.5" << 14;
    QTest::newRow("rounds to top") << "255.4" << 255;
    QTest::newRow("rounds to zero") << "-0.4" << 0;
}

void TestSpeed::shouldRoundMinimumSpeed()
{
    QFETCH(QString, typed);
    QFETCH(int, minSpeed);

    seedRecord();
    Zavo::Settings.MaxSpeed = QStringLiteral("255");
    open();
    retype(QStringLiteral("MinSText"), typed);
    pressUpdate();

    QVERIFY2(m_warnings.isEmpty(), qPrintable(m_warnings.join(QLatin1Char('\n'))));
    QCOMPARE(Zavo::Settings.MinSpeed, minSpeed);
    QCOMPARE(stored(QStringLiteral("MinSpeed")), QString::number(minSpeed));
}

void TestSpeed::shouldStoreCheckBoxes_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("before"); // record value at load
    QTest::addColumn<bool>("checked");   // at load
    QTest::addColumn<QString>("after");  // once clicked and stored

    QTest::newRow("AutoSpace off") << "Auto_Chk" << "AutoSpace" << "1" << true << "0";
    QTest::newRow("AutoSpace near miss") << "Auto_Chk" << "AutoSpace" << "1.0" << false << "1";
    QTest::newRow("CTSpace on") << "CT_Chk" << "CTSpace" << "0" << false << "1";
    QTest::newRow("CTSpace near miss") << "CT_Chk" << "CTSpace" << " 1" << false << "1";
    QTest::newRow("PotRange off") << "Pot_Chk" << "PotRange" << "255" << true << "127";
    QTest::newRow("PotRange near miss") << "Pot_Chk" << "PotRange" << "255 " << false << "255";
    QTest::newRow("PotRange odd value on") << "Pot_Chk" << "PotRange" << "200" << false << "255";
    QTest::newRow("PaddleSwap on") << "Pdl_Chk" << "PaddleSwap" << "0" << false << "1";
    QTest::newRow("PaddleSwap off") << "Pdl_Chk" << "PaddleSwap" << "1" << true << "0";
    QTest::newRow("PaddleSwap near miss") << "Pdl_Chk" << "PaddleSwap" << "01" << false << "1";
}

void TestSpeed::shouldStoreCheckBoxes()
{
    QFETCH(QString, box);
    QFETCH(QString, key);
    QFETCH(QString, before);
    QFETCH(bool, checked);
    QFETCH(QString, after);

    seedRecord();
    const Field field = checkField(key);
    Zavo::Settings.*field = before;
    open();
    auto *check = child<QCheckBox>(box);
    QCOMPARE(check->isChecked(), checked);
    QTest::mouseClick(check, Qt::LeftButton);
    // Nothing before Update.
    QCOMPARE(Zavo::Settings.*field, before);
    pressUpdate();
    QCOMPARE(Zavo::Settings.*field, after);
    QCOMPARE(stored(key), after);
}

void TestSpeed::shouldRefuseInvalidValues_data()
{
    QTest::addColumn<QStringList>("boxes");  // boxes to type into
    QTest::addColumn<QStringList>("texts");  // what to type into each
    QTest::addColumn<QString>("offending");  // the box that gets the focus
    QTest::addColumn<QString>("message");

    const auto row = [](const char *name, const QStringList &boxes, const QStringList &texts,
                        const QString &message) {
        QTest::newRow(name) << boxes << texts << boxes.last() << message;
    };
    const auto byteRule = [](const char *label) {
        return QStringLiteral("%1 must be a whole number from 0 to 255.").arg(QLatin1String(label));
    };
    const QString range = QStringLiteral(
        "Maximum Speed must not be below Minimum Speed, and at most 255 above it.");
    const QStringList minMax{"MinSText", "MaxSText"};

    row("min empty", {"MinSText"}, {""}, byteRule("Minimum Speed"));
    row("min rounds above", {"MinSText"}, {"255.5"}, byteRule("Minimum Speed"));
    row("min negative", {"MinSText"}, {"-1"}, byteRule("Minimum Speed"));
    row("farnsworth empty", {"FarSText"}, {""}, byteRule("Farnsworth Speed"));
    row("lead above", {"LeadText"}, {"300"}, byteRule("PTT Lead Time"));
    row("extension exponent", {"ExtnText"}, {"1e2"}, byteRule("1st Char Extension"));
    row("ratio hex", {"RatioText"}, {"0x10"}, byteRule("Dot/Dash Ratio"));
    row("switchpoint inner blank", {"SetP"}, {"5 0"}, byteRule("Switchpoint"));
    row("max not a number", {"MaxSText"}, {"fast"},
        QStringLiteral("Maximum Speed must be a number."));
    row("max below min", minMax, {"20", "19"}, range);
    row("max rounds below min", minMax, {"20", "19.4"}, range);
    row("max too far above", minMax, {"20", "276"}, range);
    // With several wrong, the first in the window's order is named, byte rules before Maximum.
    row("first rule broken named", {"WgtText", "MinSText"}, {"999", "x"},
        byteRule("Minimum Speed"));
    row("bytes before max", {"MaxSText", "SetP"}, {"x", "300"}, byteRule("Switchpoint"));
}

void TestSpeed::shouldRefuseInvalidValues()
{
    QFETCH(QStringList, boxes);
    QFETCH(QStringList, texts);
    QFETCH(QString, offending);
    QFETCH(QString, message);

    seedRecord();
    const KeyerSettings before = Zavo::Settings;
    open();
    QSignalSpy reinit(m_dialog.data(), &Speed::reinitRequested);
    for (qsizetype i = 0; i < boxes.size(); ++i)
        retype(boxes.at(i), texts.at(i));
    // A box checked too, so that a half-done Update would show in the record.
    QTest::mouseClick(child<QCheckBox>(QStringLiteral("Pdl_Chk")), Qt::LeftButton);
    child(QStringLiteral("CompText"))->setFocus();
    pressUpdate();

    QCOMPARE(m_warnings, QStringList{message});
    verifyNothingStored();
    QCOMPARE(reinit.count(), 0);
    QCOMPARE(Zavo::Settings.MinSpeed, before.MinSpeed);
    QCOMPARE(Zavo::Settings.PaddleSwap, before.PaddleSwap);
    for (const TextBox &t : kTextBoxes)
        QCOMPARE(Zavo::Settings.*t.field, before.*t.field);
    QTest::qWait(0);
    QVERIFY(!m_dialog.isNull());
    QVERIFY(m_dialog->isVisible());
    QVERIFY(m_dialog->isEnabled());
    QCOMPARE(m_dialog->focusWidget(), child(offending));
}

void TestSpeed::shouldStoreNothingWithoutUpdate_data()
{
    QTest::addColumn<QString>("focus"); // empty: the close box
    QTest::addColumn<int>("key");       // 0: a click

    for (const char *focus : {"MinSText", "UpdateCmd", "CancelCmd", "Pdl_Chk"}) {
        QTest::addRow("Return in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Return);
        QTest::addRow("Enter in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Enter);
        QTest::addRow("Escape in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Escape);
    }
    QTest::newRow("Cancel") << "CancelCmd" << 0;
    QTest::newRow("close box") << "" << 0;
}

void TestSpeed::shouldStoreNothingWithoutUpdate()
{
    QFETCH(QString, focus);
    QFETCH(int, key);

    seedRecord();
    open();
    QSignalSpy reinit(m_dialog.data(), &Speed::reinitRequested);
    retype(QStringLiteral("WgtText"), QStringLiteral("60"));
    QTest::mouseClick(child<QCheckBox>(QStringLiteral("CT_Chk")), Qt::LeftButton);
    QVERIFY(child<QCheckBox>(QStringLiteral("CT_Chk"))->isChecked());

    if (key) {
        // Keys that close or accept elsewhere do nothing here.
        QWidget *target = child(focus);
        target->setFocus();
        QTest::keyClick(target, Qt::Key(key));
        QTest::qWait(0);
        QVERIFY(!m_dialog.isNull());
        QVERIFY(m_dialog->isVisible());
    } else {
        if (focus.isEmpty())
            m_dialog->close();
        else
            QTest::mouseClick(child<QPushButton>(focus), Qt::LeftButton);
        // What was typed is dropped.
        QTRY_VERIFY(m_dialog.isNull());
    }
    QCOMPARE(Zavo::Settings.Weight, QStringLiteral("050"));
    QCOMPARE(Zavo::Settings.CTSpace, QStringLiteral("0"));
    verifyNothingStored();
    QCOMPARE(reinit.count(), 0);
}

void TestSpeed::shouldTolerateEventsDuringReinit_data()
{
    QTest::addColumn<bool>("deleteOwner");
    QTest::newRow("window closed") << false;
    QTest::newRow("owner deleted") << true;
}

void TestSpeed::shouldTolerateEventsDuringReinit()
{
    QFETCH(bool, deleteOwner);

    // The main window runs the chip initialisation inside the emit, with nested
    // event loops: the operator may press Update again or close the window then,
    // and the main window itself may go away.
    seedRecord();
    auto *owner = new QWidget;
    open(owner);
    QPointer<QPushButton> update = child<QPushButton>(QStringLiteral("UpdateCmd"));
    int reinits = 0;
    connect(m_dialog.data(), &Speed::reinitRequested, this, [&] {
        if (++reinits > 1)
            return;
        Zavo::Reinit = true;
        QEventLoop loop;
        QTimer::singleShot(0, &loop, [&] {
            QTest::mouseClick(update, Qt::LeftButton);
            if (deleteOwner)
                delete owner;
            else
                m_dialog->close();
        });
        QTimer::singleShot(50, &loop, &QEventLoop::quit);
        loop.exec();
    });
    pressUpdate();

    QCOMPARE(reinits, 1);
    QTRY_VERIFY(m_dialog.isNull());
    QCOMPARE(m_writes.size(), 17);
    if (!deleteOwner)
        delete owner;
}

QTEST_MAIN(TestSpeed)
#include "tst_speed.moc"
