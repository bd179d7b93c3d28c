// Tests of the keyer settings window: layout, loading from the record, list
// choices, Update's validation, record and store writes, and the reinit request.
#include "dialogs/speed.h"
#include "dialogs/uimetrics.h"
#include "settings/keyersettings.h"
#include "settings/settingsstore.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>

#include <memory>

using Ui::Metrics::px;

namespace {

struct Write {
    QString section;
    QString key;
    QString value;
    bool operator==(const Write &) const = default;
};

// A record as a working keyer holds it.
void seedRecord()
{
    KeyerSettings &s = Zavo::Settings;
    s.MinSpeed = 10;
    s.MaxSpeed = QStringLiteral("45");
    s.Farnsworth = QStringLiteral("0");
    s.PTT_Lead = QStringLiteral("4");
    s.PTT_Tail = QStringLiteral("3");
    s.FirstExt = QStringLiteral("0");
    s.DDRatio = QStringLiteral("50");
    s.Weight = QStringLiteral("050");
    s.KeyComp = QStringLiteral("0");
    s.SetPoint = QStringLiteral("50");
    s.AutoSpace = QStringLiteral("1");
    s.CTSpace = QStringLiteral("0");
    s.PotRange = QStringLiteral("255");
    s.PaddleSwap = QStringLiteral("0");
    s.IambicMode = QStringLiteral("B");
    s.ToneFreq = QStringLiteral("4");
    s.Pin5Mode = QStringLiteral("6");
}

} // namespace

Q_DECLARE_METATYPE(QList<Write>)

class TestSpeed : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void shouldHaveDefaultValues();
    void shouldPlaceControls_data();
    void shouldPlaceControls();
    void shouldPlaceReadableLabels_data();
    void shouldPlaceReadableLabels();
    void shouldListEntriesInOrder();

    void shouldLoadTextsAsHeld();
    void shouldLoadCheckBoxes_data();
    void shouldLoadCheckBoxes();
    void shouldSelectListEntryByCode_data();
    void shouldSelectListEntryByCode();

    void shouldKeepListChoiceAfterCancel_data();
    void shouldKeepListChoiceAfterCancel();
    void shouldDropTypedValuesOnCancelAndClose_data();
    void shouldDropTypedValuesOnCancelAndClose();

    void shouldRewriteEveryKeyInOrder_data();
    void shouldRewriteEveryKeyInOrder();
    void shouldRoundMinimumSpeed_data();
    void shouldRoundMinimumSpeed();
    void shouldStoreTypedTextsUnchanged_data();
    void shouldStoreTypedTextsUnchanged();
    void shouldStoreCheckBoxes_data();
    void shouldStoreCheckBoxes();
    void shouldRefuseInvalidValues_data();
    void shouldRefuseInvalidValues();

    void shouldIgnoreEnterAndEscape_data();
    void shouldIgnoreEnterAndEscape();
    void shouldTolerateEventsDuringReinit_data();
    void shouldTolerateEventsDuringReinit();

private:
    template<typename T>
    T *child(const QString &name) const
    {
        auto *widget = m_dialog->findChild<T *>(name);
        if (!widget)
            qFatal("no child %s", qPrintable(name));
        return widget;
    }
    void open();
    // Presses Update and records the store writes it makes (passed on to the store).
    void pressUpdate();
    QString stored(const QString &section, const QString &key) const;
    bool storeIsEmpty() const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_store;
    QPointer<Speed> m_dialog;
    QList<Write> m_writes;
    QStringList m_warnings;
};

void TestSpeed::init()
{
    Zavo::resetProcessState();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<SettingsStore>(m_dir->filePath(QStringLiteral("zavo.ini")));
    m_writes.clear();
    m_warnings.clear();
}

void TestSpeed::cleanup()
{
    delete m_dialog;
    m_store.reset();
    m_dir.reset();
}

void TestSpeed::open()
{
    m_dialog = new Speed(*m_store);
    m_dialog->setStoreWriter([this](const QString &section, const QString &key,
                                    const QString &value) {
        m_writes.append({section, key, value});
        return m_store->SaveSetting(section, key, value);
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

QString TestSpeed::stored(const QString &section, const QString &key) const
{
    // A second store on the same file sees only what was written to disk.
    const SettingsStore reread(m_dir->filePath(QStringLiteral("zavo.ini")));
    return reread.GetSetting(section, key);
}

bool TestSpeed::storeIsEmpty() const
{
    return !SettingsStore(m_dir->filePath(QStringLiteral("zavo.ini"))).exists();
}

void TestSpeed::shouldHaveDefaultValues()
{
    open();
    QCOMPARE(m_dialog->windowTitle(), QStringLiteral("Winkey  Settings"));
    QVERIFY(m_dialog->isWindow());
    QVERIFY(m_dialog->testAttribute(Qt::WA_DeleteOnClose));
    const Qt::WindowFlags flags = m_dialog->windowFlags();
    QVERIFY(flags & Qt::WindowMinimizeButtonHint);
    QVERIFY(flags & Qt::WindowMaximizeButtonHint);
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(m_dialog->size(), Ui::Metrics::size(6735, 3195));
    QVERIFY(m_dialog->minimumSize() != m_dialog->maximumSize());
    QCOMPARE(m_dialog->focusWidget(), child<QLineEdit>(QStringLiteral("MinSText")));
    QCOMPARE(child<QLineEdit>(QStringLiteral("MinSText"))->text(), QStringLiteral("0"));
    QCOMPARE(child<QGroupBox>(QStringLiteral("Frame1"))->title(), QString());

    for (const char *name : {"Pot_Chk", "Auto_Chk", "CT_Chk", "Pdl_Chk"})
        QVERIFY2(!child<QCheckBox>(QLatin1String(name))->isChecked(), name);
    for (auto *button : m_dialog->findChildren<QPushButton *>()) {
        QVERIFY(!button->isDefault());
        QVERIFY(!button->autoDefault());
    }
    QCOMPARE(child<QPushButton>(QStringLiteral("UpdateCmd"))->text(), QStringLiteral("Update"));
    QCOMPARE(child<QPushButton>(QStringLiteral("CancelCmd"))->text(), QStringLiteral("Cancel"));

    // Every control the operator works names itself and says what it does.
    QList<QWidget *> controls;
    for (auto *w : m_dialog->findChildren<QPushButton *>()) controls << w;
    for (auto *w : m_dialog->findChildren<QLineEdit *>()) controls << w;
    for (auto *w : m_dialog->findChildren<QComboBox *>()) controls << w;
    for (auto *w : m_dialog->findChildren<QCheckBox *>()) controls << w;
    QCOMPARE(controls.size(), 2 + 10 + 3 + 4);
    for (QWidget *w : std::as_const(controls)) {
        QVERIFY2(!w->accessibleName().isEmpty(), qPrintable(w->objectName()));
        QVERIFY2(!w->accessibleDescription().isEmpty(), qPrintable(w->objectName()));
    }

    // Resizing moves nothing.
    const QRect before = child<QPushButton>(QStringLiteral("CancelCmd"))->geometry();
    m_dialog->resize(m_dialog->size() * 2);
    QCOMPARE(child<QPushButton>(QStringLiteral("CancelCmd"))->geometry(), before);
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
    row("Frame2", "Frame1", "Speed", 120, 120, 2055, 1815);
    row("Frame5", "Frame1", "Spacing", 120, 1920, 2055, 1095);
    row("Frame3", "Frame1", "Timing", 2280, 120, 2055, 2895);
    row("ModeFrame", "Frame1", "Keyer Mode", 4440, 120, 2175, 1055);
    row("Frame4", "Frame1", "Winkey Pin 5", 4440, 1200, 2175, 1335);
    row("UpdateCmd", "Frame1", "Update", 4560, 2640, 855, 375);
    row("CancelCmd", "Frame1", "Cancel", 5640, 2640, 855, 375);
    row("MinSText", "Frame2", "", 120, 360, 375, 285);
    row("MaxSText", "Frame2", "", 120, 720, 375, 285);
    row("FarSText", "Frame2", "", 120, 1080, 375, 285);
    row("Pot_Chk", "Frame2", "Speed Pot 3 Wires", 240, 1440, 0, 0);
    row("LeadText", "Frame3", "", 120, 360, 375, 285);
    row("TailText", "Frame3", "", 120, 720, 375, 285);
    row("ExtnText", "Frame3", "", 120, 1080, 375, 285);
    row("WgtText", "Frame3", "", 120, 1440, 375, 285);
    row("RatioText", "Frame3", "", 120, 1800, 375, 285);
    row("CompText", "Frame3", "", 120, 2160, 375, 285);
    row("SetP", "Frame3", "", 120, 2520, 375, 285);
    row("Auto_Chk", "Frame5", "AutoSpace", 120, 360, 0, 0);
    row("CT_Chk", "Frame5", "CT Spacing", 120, 720, 0, 0);
    row("ModeCombo", "ModeFrame", "", 600, 240, 1095, 315);
    row("Pdl_Chk", "ModeFrame", "Swap Paddles", 240, 720, 0, 0);
    row("Pin5Combo", "Frame4", "", 120, 360, 975, 315);
    row("ToneCombo", "Frame4", "", 120, 840, 975, 315);
}

void TestSpeed::shouldPlaceControls()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QString, caption);
    QFETCH(QRect, twips);

    open();
    QWidget *widget = child<QWidget>(name);
    QCOMPARE(widget->parentWidget()->objectName(), parent.isEmpty() ? QString() : parent);
    if (parent.isEmpty())
        QCOMPARE(widget->parentWidget(), m_dialog.data());
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

void TestSpeed::shouldPlaceReadableLabels_data()
{
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("caption");
    QTest::addColumn<QString>("control");
    QTest::addColumn<int>("left");

    const auto row = [](const char *label, const char *caption, const char *control, int left) {
        QTest::newRow(label) << QString::fromLatin1(label) << QString::fromLatin1(caption)
                             << QString::fromLatin1(control) << left;
    };
    row("Label1", "Minimum Speed", "MinSText", 600);
    row("Label2", "Maximum Speed", "MaxSText", 600);
    row("Label3", "Farnsworth Speed", "FarSText", 600);
    row("LeadLabel", "PTT Lead Time", "LeadText", 600);
    row("Label6", "PTT Tail Time", "TailText", 600);
    row("Label7", "1st Char Extension", "ExtnText", 600);
    row("Label8", "Weight", "WgtText", 600);
    row("Label5", "Dot/Dash Ratio", "RatioText", 600);
    row("Label9", "Compensation", "CompText", 600);
    row("Label10", "Switchpoint", "SetP", 600);
    row("Label11", "Function", "Pin5Combo", 1200);
    row("Label12", "Tone Freq.", "ToneCombo", 1200);
    // Check boxes carry their own captions; they must be readable too.
    row("Pot_Chk", "Speed Pot 3 Wires", "Pot_Chk", 240);
    row("Auto_Chk", "AutoSpace", "Auto_Chk", 120);
    row("CT_Chk", "CT Spacing", "CT_Chk", 120);
    row("Pdl_Chk", "Swap Paddles", "Pdl_Chk", 240);
}

void TestSpeed::shouldPlaceReadableLabels()
{
    QFETCH(QString, label);
    QFETCH(QString, caption);
    QFETCH(QString, control);
    QFETCH(int, left);

    open();
    QWidget *widget = child<QWidget>(label);
    QWidget *target = child<QWidget>(control);
    if (auto *asLabel = qobject_cast<QLabel *>(widget)) {
        QCOMPARE(asLabel->text(), caption);
        QCOMPARE(asLabel->buddy(), target);
        QCOMPARE(target->accessibleName(), caption);
    } else {
        QCOMPARE(qobject_cast<QCheckBox *>(widget)->text(), caption);
    }
    QCOMPARE(widget->parentWidget(), target->parentWidget());
    QCOMPARE(widget->x(), px(left));
    // On the control's row, wide and tall enough for its whole caption, inside the frame.
    const int middle = widget->geometry().center().y();
    QVERIFY(middle >= target->geometry().top() && middle <= target->geometry().bottom());
    QVERIFY2(widget->sizeHint().width() <= widget->width(),
             qPrintable(QStringLiteral("%1 needs %2 px, has %3")
                            .arg(label).arg(widget->sizeHint().width()).arg(widget->width())));
    QVERIFY(widget->fontMetrics().height() <= widget->height());
    QVERIFY(widget->parentWidget()->contentsRect().contains(widget->geometry()));
}

void TestSpeed::shouldListEntriesInOrder()
{
    open();
    const auto entries = [this](const char *name) {
        QStringList texts;
        auto *combo = child<QComboBox>(QLatin1String(name));
        for (int i = 0; i < combo->count(); ++i)
            texts << combo->itemText(i);
        return texts;
    };
    QCOMPARE(entries("ModeCombo"),
             (QStringList{"Iambic A", "Iambic B", "Ultimatic"}));
    QCOMPARE(entries("Pin5Combo"), (QStringList{"PTT", "SideTone", "None", "Key"}));
    QCOMPARE(entries("ToneCombo"), (QStringList{"3759", "1879", "1252", "940", "752", "625",
                                                "535", "469", "417", "375"}));
}

void TestSpeed::shouldLoadTextsAsHeld()
{
    KeyerSettings &s = Zavo::Settings;
    s.MinSpeed = 17;
    s.MaxSpeed = QStringLiteral(" 40 ");
    s.Farnsworth = QStringLiteral("012");
    s.DDRatio = QStringLiteral("50.5");
    s.Weight = QStringLiteral("heavy");
    s.KeyComp = QStringLiteral("");
    s.PTT_Lead = QStringLiteral("+4");
    s.PTT_Tail = QStringLiteral("3 ");
    s.FirstExt = QStringLiteral("-1");
    s.SetPoint = QStringLiteral("0x32");
    open();

    QCOMPARE(child<QLineEdit>(QStringLiteral("MinSText"))->text(), QStringLiteral("17"));
    QCOMPARE(child<QLineEdit>(QStringLiteral("MaxSText"))->text(), QStringLiteral(" 40 "));
    QCOMPARE(child<QLineEdit>(QStringLiteral("FarSText"))->text(), QStringLiteral("012"));
    QCOMPARE(child<QLineEdit>(QStringLiteral("RatioText"))->text(), QStringLiteral("50.5"));
    QCOMPARE(child<QLineEdit>(QStringLiteral("WgtText"))->text(), QStringLiteral("heavy"));
    QCOMPARE(child<QLineEdit>(QStringLiteral("CompText"))->text(), QString());
    QCOMPARE(child<QLineEdit>(QStringLiteral("LeadText"))->text(), QStringLiteral("+4"));
    QCOMPARE(child<QLineEdit>(QStringLiteral("TailText"))->text(), QStringLiteral("3 "));
    QCOMPARE(child<QLineEdit>(QStringLiteral("ExtnText"))->text(), QStringLiteral("-1"));
    QCOMPARE(child<QLineEdit>(QStringLiteral("SetP"))->text(), QStringLiteral("0x32"));
    // Loading writes nothing anywhere.
    QCOMPARE(Zavo::Settings.Weight, QStringLiteral("heavy"));
    QVERIFY(storeIsEmpty());
}

void TestSpeed::shouldLoadCheckBoxes_data()
{
    QTest::addColumn<QString>("paddleSwap");
    QTest::addColumn<QString>("potRange");
    QTest::addColumn<QString>("ctSpace");
    QTest::addColumn<QString>("autoSpace");
    QTest::addColumn<QList<bool>>("checked"); // Pdl, Pot, CT, Auto

    QTest::newRow("all on") << "1" << "255" << "1" << "1" << QList<bool>{true, true, true, true};
    QTest::newRow("all off") << "0" << "127" << "0" << "0"
                             << QList<bool>{false, false, false, false};
    QTest::newRow("empty") << "" << "" << "" << "" << QList<bool>{false, false, false, false};
    QTest::newRow("near misses") << "01" << "255 " << " 1" << "1.0"
                                 << QList<bool>{false, false, false, false};
    QTest::newRow("mixed") << "1" << "127" << "0" << "1" << QList<bool>{true, false, false, true};
    QTest::newRow("pot and ct") << "0" << "255" << "1" << "0"
                                << QList<bool>{false, true, true, false};
}

void TestSpeed::shouldLoadCheckBoxes()
{
    QFETCH(QString, paddleSwap);
    QFETCH(QString, potRange);
    QFETCH(QString, ctSpace);
    QFETCH(QString, autoSpace);
    QFETCH(QList<bool>, checked);

    Zavo::Settings.PaddleSwap = paddleSwap;
    Zavo::Settings.PotRange = potRange;
    Zavo::Settings.CTSpace = ctSpace;
    Zavo::Settings.AutoSpace = autoSpace;
    open();
    QCOMPARE(child<QCheckBox>(QStringLiteral("Pdl_Chk"))->isChecked(), checked.at(0));
    QCOMPARE(child<QCheckBox>(QStringLiteral("Pot_Chk"))->isChecked(), checked.at(1));
    QCOMPARE(child<QCheckBox>(QStringLiteral("CT_Chk"))->isChecked(), checked.at(2));
    QCOMPARE(child<QCheckBox>(QStringLiteral("Auto_Chk"))->isChecked(), checked.at(3));
    QCOMPARE(Zavo::Settings.PotRange, potRange);
}

void TestSpeed::shouldSelectListEntryByCode_data()
{
    QTest::addColumn<QString>("combo");
    QTest::addColumn<QString>("code");
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("text");

    QTest::newRow("pin5 PTT") << "Pin5Combo" << "5" << 0 << "PTT";
    QTest::newRow("pin5 SideTone") << "Pin5Combo" << "6" << 1 << "SideTone";
    QTest::newRow("pin5 None") << "Pin5Combo" << "4" << 2 << "None";
    QTest::newRow("pin5 Key") << "Pin5Combo" << "8" << 3 << "Key";
    QTest::newRow("pin5 unknown") << "Pin5Combo" << "7" << -1 << "";
    QTest::newRow("pin5 blank after") << "Pin5Combo" << "5 " << -1 << "";
    QTest::newRow("pin5 empty") << "Pin5Combo" << "" << -1 << "";
    QTest::newRow("mode A") << "ModeCombo" << "A" << 0 << "Iambic A";
    QTest::newRow("mode B") << "ModeCombo" << "B" << 1 << "Iambic B";
    QTest::newRow("mode U") << "ModeCombo" << "U" << 2 << "Ultimatic";
    QTest::newRow("mode lower case") << "ModeCombo" << "b" << -1 << "";
    QTest::newRow("mode text") << "ModeCombo" << "Iambic A" << -1 << "";
    QTest::newRow("tone 1") << "ToneCombo" << "1" << 0 << "3759";
    QTest::newRow("tone 4") << "ToneCombo" << "4" << 3 << "940";
    QTest::newRow("tone 10") << "ToneCombo" << "10" << 9 << "375";
    QTest::newRow("tone leading zero") << "ToneCombo" << "01" << -1 << "";
    QTest::newRow("tone trailing blank") << "ToneCombo" << "1 " << -1 << "";
    QTest::newRow("tone 11") << "ToneCombo" << "11" << -1 << "";
    QTest::newRow("tone frequency") << "ToneCombo" << "940" << -1 << "";
}

void TestSpeed::shouldSelectListEntryByCode()
{
    QFETCH(QString, combo);
    QFETCH(QString, code);
    QFETCH(int, index);
    QFETCH(QString, text);

    seedRecord();
    QString KeyerSettings::*field = combo == QLatin1String("Pin5Combo")
        ? &KeyerSettings::Pin5Mode
        : combo == QLatin1String("ModeCombo") ? &KeyerSettings::IambicMode
                                              : &KeyerSettings::ToneFreq;
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
}

void TestSpeed::shouldKeepListChoiceAfterCancel_data()
{
    QTest::addColumn<QString>("combo");
    QTest::addColumn<QString>("startCode");
    QTest::addColumn<int>("steps"); // Down (positive) or Up (negative) presses
    QTest::addColumn<QString>("expectedCode");

    QTest::newRow("mode B to U") << "ModeCombo" << "B" << 1 << "U";
    QTest::newRow("mode B to A") << "ModeCombo" << "B" << -1 << "A";
    QTest::newRow("mode unknown to A") << "ModeCombo" << "X" << 1 << "A";
    QTest::newRow("pin5 SideTone to None") << "Pin5Combo" << "6" << 1 << "4";
    QTest::newRow("pin5 SideTone to Key") << "Pin5Combo" << "6" << 2 << "8";
    QTest::newRow("pin5 SideTone to PTT") << "Pin5Combo" << "6" << -1 << "5";
    QTest::newRow("tone 940 to 752") << "ToneCombo" << "4" << 1 << "5";
    QTest::newRow("tone 940 to 375") << "ToneCombo" << "4" << 6 << "10";
    QTest::newRow("tone 940 to 3759") << "ToneCombo" << "4" << -3 << "1";
}

void TestSpeed::shouldKeepListChoiceAfterCancel()
{
    QFETCH(QString, combo);
    QFETCH(QString, startCode);
    QFETCH(int, steps);
    QFETCH(QString, expectedCode);

    seedRecord();
    QString KeyerSettings::*field = combo == QLatin1String("Pin5Combo")
        ? &KeyerSettings::Pin5Mode
        : combo == QLatin1String("ModeCombo") ? &KeyerSettings::IambicMode
                                              : &KeyerSettings::ToneFreq;
    Zavo::Settings.*field = startCode;
    open();
    auto *list = child<QComboBox>(combo);
    list->setFocus();
    for (int i = 0; i < qAbs(steps); ++i)
        QTest::keyClick(list, steps > 0 ? Qt::Key_Down : Qt::Key_Up);
    // The choice is in the record at once.
    QCOMPARE(Zavo::Settings.*field, expectedCode);

    QTest::mouseClick(child<QPushButton>(QStringLiteral("CancelCmd")), Qt::LeftButton);
    QTRY_VERIFY(m_dialog.isNull());
    QCOMPARE(Zavo::Settings.*field, expectedCode);
    QVERIFY(m_writes.isEmpty());
    QVERIFY(storeIsEmpty());
}

void TestSpeed::shouldDropTypedValuesOnCancelAndClose_data()
{
    QTest::addColumn<bool>("viaCloseBox");
    QTest::newRow("Cancel") << false;
    QTest::newRow("close box") << true;
}

void TestSpeed::shouldDropTypedValuesOnCancelAndClose()
{
    QFETCH(bool, viaCloseBox);

    seedRecord();
    open();
    QSignalSpy reinit(m_dialog.data(), &Speed::reinitRequested);
    auto *weight = child<QLineEdit>(QStringLiteral("WgtText"));
    weight->selectAll();
    QTest::keyClicks(weight, QStringLiteral("60"));
    QTest::mouseClick(child<QCheckBox>(QStringLiteral("CT_Chk")), Qt::LeftButton);
    QVERIFY(child<QCheckBox>(QStringLiteral("CT_Chk"))->isChecked());

    if (viaCloseBox)
        m_dialog->close();
    else
        QTest::mouseClick(child<QPushButton>(QStringLiteral("CancelCmd")), Qt::LeftButton);
    QTRY_VERIFY(m_dialog.isNull());
    QCOMPARE(Zavo::Settings.Weight, QStringLiteral("050"));
    QCOMPARE(Zavo::Settings.CTSpace, QStringLiteral("0"));
    QVERIFY(storeIsEmpty());
    QCOMPARE(reinit.count(), 0);
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
        QCOMPARE(m_writes.at(i).section, expected.at(i).section);
        QCOMPARE(m_writes.at(i).key, expected.at(i).key);
        QCOMPARE(m_writes.at(i).value, expected.at(i).value);
        // And it reached the file.
        QCOMPARE(stored(expected.at(i).section, expected.at(i).key), expected.at(i).value);
    }

    // Everything was stored before the chip was asked for, with the window disabled.
    QCOMPARE(reinit.count(), 1);
    QCOMPARE(writesAtReinit, expected);
    QVERIFY(!enabledDuringReinit);
    // Setting Reinit is the main window's part, not the dialog's.
    QVERIFY(!Zavo::Reinit);
    QCOMPARE(Zavo::Settings.Weight, QStringLiteral("050"));
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
    QTest::newRow("fraction up") << "12.6" << 13;
    QTest::newRow("sign") << "+7" << 7;
    QTest::newRow("leading zero") << "05" << 5;
    QTest::newRow("top") << "255" << 255;
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
    auto *box = child<QLineEdit>(QStringLiteral("MinSText"));
    box->selectAll();
    QTest::keyClicks(box, typed);
    QCOMPARE(box->text(), typed);
    pressUpdate();

    QVERIFY2(m_warnings.isEmpty(), qPrintable(m_warnings.join(QLatin1Char('\n'))));
    QCOMPARE(Zavo::Settings.MinSpeed, minSpeed);
    QCOMPARE(stored(QStringLiteral("Speed Settings"), QStringLiteral("MinSpeed")),
             QString::number(minSpeed));
}

void TestSpeed::shouldStoreTypedTextsUnchanged_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("typed");

    const QString speed = QStringLiteral("Speed Settings");
    const QString params = QStringLiteral("Parameters");
    QTest::newRow("weight leading zero") << "WgtText" << params << "Weight" << "050";
    QTest::newRow("farnsworth blanks") << "FarSText" << speed << "Farnsworth" << " 20 ";
    QTest::newRow("max speed fraction") << "MaxSText" << speed << "MaxSpeed" << "40.5";
    QTest::newRow("ratio fraction") << "RatioText" << params << "DDRatio" << "33.4";
    QTest::newRow("lead sign") << "LeadText" << params << "PTT_Lead" << "+4";
    QTest::newRow("tail") << "TailText" << params << "PTT_Tail" << "255";
    QTest::newRow("extension") << "ExtnText" << params << "FirstExt" << "0.2";
    QTest::newRow("compensation") << "CompText" << params << "KeyComp" << "007";
    QTest::newRow("switchpoint") << "SetP" << params << "SetPoint" << "-0.5";
}

void TestSpeed::shouldStoreTypedTextsUnchanged()
{
    QFETCH(QString, box);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, typed);

    seedRecord();
    open();
    auto *edit = child<QLineEdit>(box);
    edit->selectAll();
    QTest::keyClicks(edit, typed);
    pressUpdate();

    QVERIFY2(m_warnings.isEmpty(), qPrintable(m_warnings.join(QLatin1Char('\n'))));
    QCOMPARE(stored(section, key), typed);
    const KeyerSettings &s = Zavo::Settings;
    const QString held = key == QLatin1String("Weight") ? s.Weight
        : key == QLatin1String("Farnsworth")            ? s.Farnsworth
        : key == QLatin1String("MaxSpeed")              ? s.MaxSpeed
        : key == QLatin1String("DDRatio")               ? s.DDRatio
        : key == QLatin1String("PTT_Lead")              ? s.PTT_Lead
        : key == QLatin1String("PTT_Tail")              ? s.PTT_Tail
        : key == QLatin1String("FirstExt")              ? s.FirstExt
        : key == QLatin1String("KeyComp")               ? s.KeyComp
                                                        : s.SetPoint;
    QCOMPARE(held, typed);
}

void TestSpeed::shouldStoreCheckBoxes_data()
{
    QTest::addColumn<QString>("box");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("before"); // record value at load
    QTest::addColumn<QString>("after");

    QTest::newRow("AutoSpace off") << "Auto_Chk" << "AutoSpace" << "1" << "0";
    QTest::newRow("AutoSpace on") << "Auto_Chk" << "AutoSpace" << "0" << "1";
    QTest::newRow("CTSpace on") << "CT_Chk" << "CTSpace" << "0" << "1";
    QTest::newRow("CTSpace off") << "CT_Chk" << "CTSpace" << "1" << "0";
    QTest::newRow("PotRange off") << "Pot_Chk" << "PotRange" << "255" << "127";
    QTest::newRow("PotRange on") << "Pot_Chk" << "PotRange" << "127" << "255";
    QTest::newRow("PotRange odd value on") << "Pot_Chk" << "PotRange" << "200" << "255";
    QTest::newRow("PaddleSwap on") << "Pdl_Chk" << "PaddleSwap" << "0" << "1";
    QTest::newRow("PaddleSwap off") << "Pdl_Chk" << "PaddleSwap" << "1" << "0";
}

void TestSpeed::shouldStoreCheckBoxes()
{
    QFETCH(QString, box);
    QFETCH(QString, key);
    QFETCH(QString, before);
    QFETCH(QString, after);

    seedRecord();
    QString KeyerSettings::*field = key == QLatin1String("AutoSpace") ? &KeyerSettings::AutoSpace
        : key == QLatin1String("CTSpace")                            ? &KeyerSettings::CTSpace
        : key == QLatin1String("PotRange")                           ? &KeyerSettings::PotRange
                                                                     : &KeyerSettings::PaddleSwap;
    Zavo::Settings.*field = before;
    open();
    QTest::mouseClick(child<QCheckBox>(box), Qt::LeftButton);
    // Nothing before Update.
    QCOMPARE(Zavo::Settings.*field, before);
    pressUpdate();
    QCOMPARE(Zavo::Settings.*field, after);
    QCOMPARE(stored(QStringLiteral("Parameters"), key), after);
}

void TestSpeed::shouldRefuseInvalidValues_data()
{
    QTest::addColumn<QStringList>("boxes");  // boxes to type into
    QTest::addColumn<QStringList>("texts");  // what to type into each
    QTest::addColumn<QString>("offending");  // the box that gets the focus
    QTest::addColumn<QString>("message");

    const auto byteRule = [](const char *label) {
        return QStringLiteral("%1 must be a whole number from 0 to 255.").arg(QLatin1String(label));
    };
    const QString range = QStringLiteral(
        "Maximum Speed must not be below Minimum Speed, and at most 255 above it.");

    QTest::newRow("min not a number") << QStringList{"MinSText"} << QStringList{"abc"}
                                      << "MinSText" << byteRule("Minimum Speed");
    QTest::newRow("min empty") << QStringList{"MinSText"} << QStringList{""} << "MinSText"
                               << byteRule("Minimum Speed");
    QTest::newRow("min above") << QStringList{"MinSText"} << QStringList{"256"} << "MinSText"
                               << byteRule("Minimum Speed");
    QTest::newRow("min rounds above") << QStringList{"MinSText"} << QStringList{"255.5"}
                                      << "MinSText" << byteRule("Minimum Speed");
    QTest::newRow("min negative") << QStringList{"MinSText"} << QStringList{"-1"} << "MinSText"
                                  << byteRule("Minimum Speed");
    QTest::newRow("farnsworth empty") << QStringList{"FarSText"} << QStringList{""} << "FarSText"
                                      << byteRule("Farnsworth Speed");
    QTest::newRow("lead above") << QStringList{"LeadText"} << QStringList{"300"} << "LeadText"
                                << byteRule("PTT Lead Time");
    QTest::newRow("tail word") << QStringList{"TailText"} << QStringList{"x"} << "TailText"
                               << byteRule("PTT Tail Time");
    QTest::newRow("extension exponent") << QStringList{"ExtnText"} << QStringList{"1e2"}
                                        << "ExtnText" << byteRule("1st Char Extension");
    QTest::newRow("ratio hex") << QStringList{"RatioText"} << QStringList{"0x10"} << "RatioText"
                               << byteRule("Dot/Dash Ratio");
    QTest::newRow("weight above") << QStringList{"WgtText"} << QStringList{"256"} << "WgtText"
                                  << byteRule("Weight");
    QTest::newRow("compensation negative") << QStringList{"CompText"} << QStringList{"-2"}
                                           << "CompText" << byteRule("Compensation");
    QTest::newRow("switchpoint inner blank") << QStringList{"SetP"} << QStringList{"5 0"}
                                             << "SetP" << byteRule("Switchpoint");
    QTest::newRow("max not a number") << QStringList{"MaxSText"} << QStringList{"fast"}
                                      << "MaxSText" << QStringLiteral("Maximum Speed must be a number.");
    QTest::newRow("max below min") << QStringList{"MinSText", "MaxSText"}
                                   << QStringList{"20", "19"} << "MaxSText" << range;
    QTest::newRow("max rounds below min") << QStringList{"MinSText", "MaxSText"}
                                          << QStringList{"20", "19.4"} << "MaxSText" << range;
    QTest::newRow("max too far above") << QStringList{"MinSText", "MaxSText"}
                                       << QStringList{"20", "276"} << "MaxSText" << range;
    QTest::newRow("first rule broken named") << QStringList{"WgtText", "MinSText"}
                                             << QStringList{"999", "x"} << "MinSText"
                                             << byteRule("Minimum Speed");
    QTest::newRow("bytes before max") << QStringList{"MaxSText", "SetP"}
                                      << QStringList{"x", "300"} << "SetP"
                                      << byteRule("Switchpoint");
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
    for (qsizetype i = 0; i < boxes.size(); ++i) {
        auto *box = child<QLineEdit>(boxes.at(i));
        box->selectAll();
        QTest::keyClick(box, Qt::Key_Delete);
        QTest::keyClicks(box, texts.at(i));
        QCOMPARE(box->text(), texts.at(i));
    }
    // A box checked too, so that a half-done Update would show in the record.
    QTest::mouseClick(child<QCheckBox>(QStringLiteral("Pdl_Chk")), Qt::LeftButton);
    child<QLineEdit>(QStringLiteral("CompText"))->setFocus();
    pressUpdate();

    QCOMPARE(m_warnings, QStringList{message});
    QVERIFY(m_writes.isEmpty());
    QVERIFY(storeIsEmpty());
    QCOMPARE(reinit.count(), 0);
    QCOMPARE(Zavo::Settings.MinSpeed, before.MinSpeed);
    QCOMPARE(Zavo::Settings.MaxSpeed, before.MaxSpeed);
    QCOMPARE(Zavo::Settings.PaddleSwap, before.PaddleSwap);
    QCOMPARE(Zavo::Settings.Weight, before.Weight);
    QCOMPARE(Zavo::Settings.SetPoint, before.SetPoint);
    QTest::qWait(0);
    QVERIFY(!m_dialog.isNull());
    QVERIFY(m_dialog->isVisible());
    QVERIFY(m_dialog->isEnabled());
    QCOMPARE(m_dialog->focusWidget(), child<QLineEdit>(offending));
}

void TestSpeed::shouldIgnoreEnterAndEscape_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");

    for (const char *focus : {"MinSText", "UpdateCmd", "CancelCmd", "Pdl_Chk"}) {
        QTest::addRow("Return in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Return);
        QTest::addRow("Enter in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Enter);
        QTest::addRow("Escape in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Escape);
    }
}

void TestSpeed::shouldIgnoreEnterAndEscape()
{
    QFETCH(QString, focus);
    QFETCH(int, key);

    seedRecord();
    open();
    QSignalSpy reinit(m_dialog.data(), &Speed::reinitRequested);
    QWidget *target = child<QWidget>(focus);
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key));
    QTest::qWait(0);

    QVERIFY(!m_dialog.isNull());
    QVERIFY(m_dialog->isVisible());
    QCOMPARE(reinit.count(), 0);
    QVERIFY(m_writes.isEmpty());
    QVERIFY(storeIsEmpty());
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
    m_dialog = new Speed(*m_store, owner);
    m_dialog->setStoreWriter([this](const QString &section, const QString &key,
                                    const QString &value) {
        m_writes.append({section, key, value});
        return m_store->SaveSetting(section, key, value);
    });
    m_dialog->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_dialog));
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
