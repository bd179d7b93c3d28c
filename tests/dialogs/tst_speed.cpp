// The keyer settings window: loading, list choices, Update's validation, what
// it writes where and in which order, and the re-initialisation it asks for.
#include "../unit/suites.h"
#include "dialogs/speed.h"
#include "dialogtest.h"
#include "settings/keyersettings.h"
#include "settings/settingstable.h"

#include <QCheckBox>
#include <QComboBox>
#include <QEventLoop>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTimer>

#include <clocale>
#include <cstdlib>

using Field = QString KeyerSettings::*;
using K = KeyerSettings;

namespace {

struct Write {
    QString section;
    QString key;
    QString value;
    bool operator==(const Write &) const = default;
};

// The boxes whose text goes to the record as typed: odd but valid texts, one
// to load and one to type, show that nothing is tidied on the way.
struct TextBox {
    const char *box;
    Field field;
    const char *loaded;
    const char *typed;
};
const TextBox kTextBoxes[] = {
    {"MaxSText", &K::MaxSpeed, " 40 ", "40.5"}, {"FarSText", &K::Farnsworth, "012", " 20 "},
    {"RatioText", &K::DDRatio, "50.5", "33.4"}, {"WgtText", &K::Weight, "heavy", "060"},
    {"CompText", &K::KeyComp, "", "007"},       {"LeadText", &K::PTT_Lead, "+4", "+5"},
    {"TailText", &K::PTT_Tail, "3 ", "255"},    {"ExtnText", &K::FirstExt, "-1", "0.2"},
    {"SetP", &K::SetPoint, "0x32", "-0.5"},
};

struct ListChoice {
    QString combo, key, code;
    int index;
    QString text;
    int steps;
    QString chosen;
};

void seedRecord()
{
    for (const SettingsTable::Entry &e : SettingsTable::entries()) {
        if (e.text)
            Zavo::Settings.*e.text = e.seed;
        else if (e.number)
            Zavo::Settings.*e.number = e.seed.toInt();
    }
}

} // namespace

class TestSpeed : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        Zavo::resetProcessState();
        seedRecord();
        m_store = std::make_unique<DialogTest::TempStore>();
        m_writes.clear();
        m_warnings.clear();
    }
    void cleanup() { delete m_dialog; }

    void shouldFollowTheDesign()
    {
        open();
        DialogTest::checkWindow(m_dialog, 6735, 3195);
        // Each label names its control, whole, on the control's row.
        for (auto *label : m_dialog->findChildren<QLabel *>()) {
            QWidget *target = label->buddy();
            QVERIFY2(target && target->accessibleName() == label->text(), qPrintable(label->objectName()));
            QVERIFY2(label->sizeHint().width() <= label->width(), qPrintable(label->objectName()));
            const int middle = label->geometry().center().y();
            QVERIFY(middle >= target->geometry().top() && middle <= target->geometry().bottom());
        }
    }

    void shouldSelectListEntryByCode_data()
    {
        QTest::addColumn<ListChoice>("c");
        // Entries in the chip's code order: the index is what the keys move through.
        QTest::newRow("pin5 SideTone to Key") << ListChoice{"Pin5Combo", "Pin5Mode", "6", 1, "SideTone", 2, "8"};
        QTest::newRow("mode unknown to A") << ListChoice{"ModeCombo", "IambicMode", "X", -1, "", 1, "A"};
        QTest::newRow("tone 10") << ListChoice{"ToneCombo", "ToneFreq", "10", 9, "375", 0, "10"};
        QTest::newRow("tone leading zero") << ListChoice{"ToneCombo", "ToneFreq", "01", -1, "", 0, "01"};
        QTest::newRow("tone 940 to 3759") << ListChoice{"ToneCombo", "ToneFreq", "4", 3, "940", -3, "1"};
    }

    void shouldSelectListEntryByCode()
    {
        QFETCH(ListChoice, c);
        const Field field = SettingsTable::find(QStringLiteral("Parameters"), c.key)->text;
        Zavo::Settings.*field = c.code;
        open();
        auto *list = child<QComboBox>(c.combo);
        QCOMPARE(list->currentIndex(), c.index);
        QCOMPARE(list->currentText(), c.text);
        // Filling and selecting leave the record alone, unknown codes included.
        QCOMPARE(Zavo::Settings.*field, c.code);
        list->setFocus();
        for (int i = 0; i < qAbs(c.steps); ++i)
            QTest::keyClick(list, c.steps > 0 ? Qt::Key_Down : Qt::Key_Up);
        // A choice is in the record at once, and Cancel keeps it there.
        QCOMPARE(Zavo::Settings.*field, c.chosen);
        QTest::mouseClick(child<QPushButton>(QStringLiteral("CancelCmd")), Qt::LeftButton);
        QTRY_VERIFY(m_dialog.isNull());
        QCOMPARE(Zavo::Settings.*field, c.chosen);
        QVERIFY(nothingStored());
    }

    // Update writes the speeds first, then the parameters, then the three lists
    // and the rest, texts as typed and unknown list codes kept; everything is
    // stored before the chip is asked for, with the window disabled. All under
    // an operator's decimal comma, which changes no number, here or in the store.
    void shouldUpdateEveryKeyInOrder()
    {
        const auto restore = qScopeGuard([c = QByteArray(std::setlocale(LC_ALL, nullptr)), qt = QLocale()] {
            std::setlocale(LC_ALL, c.constData());
            QLocale::setDefault(qt);
        });
        QVERIFY2(std::setlocale(LC_ALL, "de_DE.UTF-8"), "no de_DE.UTF-8 locale: scripts/install-deps.sh makes it");
        QLocale::setDefault(QLocale(QLocale::German, QLocale::Germany));
        QCOMPARE(std::strtod("12.5", nullptr), 12.0); // the comma is in force
        Zavo::Settings.MinSpeed = 17;
        for (const TextBox &t : kTextBoxes)
            Zavo::Settings.*t.field = QLatin1String(t.loaded);
        Zavo::Settings.IambicMode = Zavo::Settings.Pin5Mode = Zavo::Settings.ToneFreq = QStringLiteral("X");
        Zavo::Settings.AutoSpace = QStringLiteral("1.0"); // not "1": unticked; PotRange's 255 ticks its box
        open();
        QCOMPARE(child<QLineEdit>(QStringLiteral("MinSText"))->text(), QStringLiteral("17"));
        for (const TextBox &t : kTextBoxes)
            QCOMPARE(child<QLineEdit>(QLatin1String(t.box))->text(), QLatin1String(t.loaded));
        for (const TextBox &t : kTextBoxes)
            retype(QLatin1String(t.box), QLatin1String(t.typed));
        // The minimum speed alone is a number in the record, rounded half to even.
        retype(QStringLiteral("MinSText"), QStringLiteral(" 13.5 "));
        for (const char *box : {"Auto_Chk", "Pot_Chk"})
            QTest::mouseClick(child<QCheckBox>(QLatin1String(box)), Qt::LeftButton);
        QSignalSpy reinit(m_dialog.data(), &Speed::reinitRequested);
        bool enabledDuringReinit = true;
        QList<Write> writesAtReinit;
        connect(m_dialog.data(), &Speed::reinitRequested, this, [&] {
            enabledDuringReinit = m_dialog->isEnabled();
            writesAtReinit = m_writes;
        });
        pressUpdate();
        QVERIFY2(m_warnings.isEmpty(), qPrintable(m_warnings.join(QLatin1Char('\n'))));
        const QString sp = QStringLiteral("Speed Settings");
        const QString p = QStringLiteral("Parameters");
        const QList<Write> expected{
            {sp, "MinSpeed", "14"},  {sp, "MaxSpeed", "40.5"}, {sp, "Farnsworth", " 20 "}, {p, "DDRatio", "33.4"},
            {p, "Weight", "060"},    {p, "PTT_Lead", "+5"},    {p, "PTT_Tail", "255"},     {p, "KeyComp", "007"},
            {p, "SetPoint", "-0.5"}, {p, "AutoSpace", "1"},    {p, "CTSpace", "0"},        {p, "PaddleSwap", "0"},
            {p, "PotRange", "127"},  {p, "IambicMode", "X"},   {p, "ToneFreq", "X"},       {p, "FirstExt", "0.2"},
            {p, "Pin5Mode", "X"},
        };
        QCOMPARE(m_writes, expected);
        QCOMPARE(Zavo::Settings.MinSpeed, 14);
        for (const TextBox &t : kTextBoxes)
            QCOMPARE(Zavo::Settings.*t.field, QLatin1String(t.typed));
        QCOMPARE(reinit.count(), 1);
        QCOMPARE(writesAtReinit, expected);
        QVERIFY(!enabledDuringReinit);
        // Setting Reinit is the main window's part, not the dialog's.
        QVERIFY(!Zavo::Reinit);
        QTRY_VERIFY(m_dialog.isNull());
        m_store->store.SaveSetting(sp, QStringLiteral("MinSpeed"), QStringLiteral("15.5"));
        Zavo::loadKeyerSettings(m_store->store);
        QCOMPARE(Zavo::Settings.MinSpeed, 16);
    }

    // Only "1" and "255" tick their boxes (the Update test has near misses);
    // a click reaches the record by Update alone.
    void shouldStoreCheckBoxes()
    {
        Zavo::Settings.AutoSpace = QStringLiteral("1");
        Zavo::Settings.PotRange = QStringLiteral("200");
        open();
        for (const char *box : {"Auto_Chk", "Pot_Chk"})
            QTest::mouseClick(child<QCheckBox>(QLatin1String(box)), Qt::LeftButton);
        QCOMPARE(Zavo::Settings.AutoSpace, QStringLiteral("1"));
        QCOMPARE(Zavo::Settings.PotRange, QStringLiteral("200"));
        pressUpdate();
        QCOMPARE(Zavo::Settings.AutoSpace, QStringLiteral("0"));
        QCOMPARE(Zavo::Settings.PotRange, QStringLiteral("255"));
    }

    void shouldStoreNothingButAValidUpdate_data()
    {
        QTest::addColumn<QStringList>("boxes"); // typed into; the last one gets the focus
        QTest::addColumn<QStringList>("texts");
        QTest::addColumn<QString>("control"); // clicked, or pressed a key in; empty: the close box
        QTest::addColumn<int>("key");         // 0: a click
        QTest::addColumn<QString>("refusal"); // what Update says

        // Keys that close or accept elsewhere do nothing here; Cancel and the
        // close box drop what was typed.
        const QStringList weight{"WgtText"}, sixty{"60"};
        QTest::newRow("Return in MinSText") << weight << sixty << "MinSText" << int(Qt::Key_Return) << "";
        QTest::newRow("Escape in Pdl_Chk") << weight << sixty << "Pdl_Chk" << int(Qt::Key_Escape) << "";
        QTest::newRow("Cancel") << weight << sixty << "CancelCmd" << 0 << "";
        QTest::newRow("close box") << weight << sixty << "" << 0 << "";

        const auto refused = [](const QStringList &boxes, const QStringList &texts, const QString &refusal) {
            QTest::addRow("%s %s", qPrintable(boxes.join(u'+')), qPrintable(texts.join(u'+')))
                << boxes << texts << "UpdateCmd" << 0 << refusal;
        };
        const auto byteRule = [](const char *label) {
            return QStringLiteral("%1 must be a whole number from 0 to 255.").arg(QLatin1String(label));
        };
        // Every box with what no byte can hold; Maximum Speed is sent as its distance
        // from Minimum Speed (the seed's 10 here), so that distance must be a byte.
        const std::pair<const char *, const char *> bytes[] = {
            {"MinSText", "Minimum Speed"}, {"FarSText", "Farnsworth Speed"}, {"LeadText", "PTT Lead Time"},
            {"TailText", "PTT Tail Time"}, {"ExtnText", "1st Char Extension"}, {"WgtText", "Weight"},
            {"RatioText", "Dot/Dash Ratio"}, {"CompText", "Compensation"}, {"SetP", "Switchpoint"},
        };
        for (const auto &[box, label] : bytes)
            for (const char *text : {"256", "-1", "", "x"})
                refused({box}, {text}, byteRule(label));
        const QString range = QStringLiteral("Maximum Speed must not be below Minimum Speed, and at most 255 above it.");
        for (const char *text : {"", "x"})
            refused({"MaxSText"}, {text}, QStringLiteral("Maximum Speed must be a number."));
        for (const char *text : {"-1", "9", "266"})
            refused({"MaxSText"}, {text}, range);
        // With several wrong, the first in the window's order is named, byte rules before Maximum.
        refused({"WgtText", "MinSText"}, {"999", "x"}, byteRule("Minimum Speed"));
        refused({"MaxSText", "SetP"}, {"x", "300"}, byteRule("Switchpoint"));
    }

    void shouldStoreNothingButAValidUpdate()
    {
        QFETCH(QStringList, boxes);
        QFETCH(QStringList, texts);
        QFETCH(QString, control);
        QFETCH(int, key);
        QFETCH(QString, refusal);
        const KeyerSettings before = Zavo::Settings;
        open();
        QSignalSpy reinit(m_dialog.data(), &Speed::reinitRequested);
        for (qsizetype i = 0; i < boxes.size(); ++i)
            retype(boxes.at(i), texts.at(i));
        // A box checked too, so that a half-done Update would show in the record.
        QTest::mouseClick(child<QCheckBox>(QStringLiteral("Pdl_Chk")), Qt::LeftButton);
        if (control.isEmpty()) {
            m_dialog->close();
        } else if (key) {
            child(control)->setFocus();
            QTest::keyClick(child(control), Qt::Key(key));
        } else {
            child(QStringLiteral("CompText"))->setFocus();
            QTest::mouseClick(child<QPushButton>(control), Qt::LeftButton);
        }
        QCOMPARE(m_warnings, refusal.isEmpty() ? QStringList() : QStringList{refusal});
        QVERIFY(nothingStored());
        QCOMPARE(reinit.count(), 0);
        QCOMPARE(Zavo::Settings.MinSpeed, before.MinSpeed);
        QCOMPARE(Zavo::Settings.PaddleSwap, before.PaddleSwap);
        for (const TextBox &t : kTextBoxes)
            QCOMPARE(Zavo::Settings.*t.field, before.*t.field);
        if (!key && refusal.isEmpty()) {
            QTRY_VERIFY(m_dialog.isNull());
            return;
        }
        QTest::qWait(0);
        QVERIFY(!m_dialog.isNull() && m_dialog->isVisible() && m_dialog->isEnabled());
        if (!refusal.isEmpty())
            QCOMPARE(m_dialog->focusWidget(), child(boxes.last()));
    }

    void shouldTolerateEventsDuringReinit_data()
    {
        QTest::addColumn<bool>("deleteOwner");
        QTest::newRow("window closed") << false;
        QTest::newRow("owner deleted") << true;
    }

    // The main window runs the chip initialisation inside the emit, with nested
    // event loops: the operator may press Update again or close the window then,
    // and the main window itself may go away.
    void shouldTolerateEventsDuringReinit()
    {
        QFETCH(bool, deleteOwner);
        auto *owner = new QWidget;
        open(owner);
        QPointer<QPushButton> update = child<QPushButton>(QStringLiteral("UpdateCmd"));
        int reinits = 0;
        connect(m_dialog.data(), &Speed::reinitRequested, this, [&] {
            if (++reinits > 1)
                return;
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

private:
    template<typename T = QWidget>
    T *child(const QString &name) const { return DialogTest::child<T>(m_dialog, name); }
    void open(QWidget *owner = nullptr)
    {
        m_dialog = new Speed(m_store->store, owner);
        m_dialog->setStoreWriter([this](const QString &section, const QString &key, const QString &value) {
            m_writes.append({section, key, value});
            return m_store->store.SaveSetting(section, key, value);
        });
        m_dialog->setWarner([this](QWidget *, const QString &, const QString &text) { m_warnings.append(text); });
        m_dialog->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_dialog));
    }
    void pressUpdate() { QTest::mouseClick(child<QPushButton>(QStringLiteral("UpdateCmd")), Qt::LeftButton); }
    void retype(const QString &box, const QString &text)
    {
        auto *edit = child<QLineEdit>(box);
        edit->selectAll();
        QTest::keyClick(edit, Qt::Key_Delete);
        QTest::keyClicks(edit, text);
        QCOMPARE(edit->text(), text);
    }
    bool nothingStored() const { return m_writes.isEmpty() && m_store->fileIsEmpty(); }

    std::unique_ptr<DialogTest::TempStore> m_store;
    QPointer<Speed> m_dialog;
    QList<Write> m_writes;
    QStringList m_warnings;
};

ZAVO_SUITE(TestSpeed)
#include "tst_speed.moc"
