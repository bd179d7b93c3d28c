// The main window with the mouse: buttons post their function keys, a right
// press opens the editor, hovering shows a message, panels open the dialogs.
#include "dialogs/editmsg.h"
#include "dialogs/frmabout.h"
#include "dialogs/speed.h"
#include "rig.h"

#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTextBrowser>

using namespace Zavo;

namespace {

// A running session, with the mouse.
struct Desk : Session {
    // The pointer moving over a button, as the window system delivers it.
    void hover(const char *name, QPoint at)
    {
        QPushButton *target = button(name);
        QMouseEvent move(QEvent::MouseMove, at, target->mapToGlobal(at), Qt::NoButton, Qt::NoButton, Qt::NoModifier);
        QApplication::sendEvent(target, &move);
    }
    QPushButton *button(const char *name) const
    {
        return rig.window->findChild<QPushButton *>(QString::fromLatin1(name));
    }
    void clickPanel(int position)
    {
        QLabel *panel = rig.window->statusBar().panel(position);
        QTest::mouseClick(panel, Qt::LeftButton, {}, panel->rect().center());
    }
    template<typename T>
    T *topLevel() const
    {
        T *found = nullptr;
        int count = 0;
        for (QWidget *w : QApplication::topLevelWidgets()) {
            if (auto *t = qobject_cast<T *>(w); t && t->isVisible()) {
                found = t;
                ++count;
            }
        }
        return count == 1 ? found : nullptr;
    }
};

} // namespace

class ControlsTest : public QObject
{
    Q_OBJECT

private slots:
    void layoutFollowsTheDesign();
    void clickingAButtonSendsLikeItsKey();
    void tuneButtonTwiceIsF6Twice();
    void rightPressOpensTheEditorAndSendsNothing();
    void rightPressReloadsTheEditorOnlyForAnotherMessage();
    void hoverShowsTheMessageUnlessTuning();
    void panelsOpenHelpAboutAndSettings();
    void settingsUpdateReinitialisesTheChip();
    void closingTheWindowClosesTheDialogs();
};

void ControlsTest::layoutFollowsTheDesign()
{
    Desk d;
    QVERIFY(d.up());
    QCOMPARE(d.rig.window->windowTitle(), QStringLiteral(" Zavo Keyer by Vardel"));
    QCOMPARE(d.rig.window->size(), QSize(261, 45)); // 3915 x 675 twips
    const struct {
        const char *name;
        int left;
        const char *tip;
    } buttons[] = {{"Msg1", 63, "F1"}, {"Msg2", 711, "F2"}, {"Msg3", 1359, "F3"},
                   {"Msg4", 2007, "F4"}, {"Msg5", 2655, "F5"}, {"Tune", 3303, "F6"}};
    for (const auto &b : buttons) {
        QPushButton *button = d.button(b.name);
        QVERIFY(button);
        QCOMPARE(button->text(), QString::fromLatin1(b.name));
        QCOMPARE(button->toolTip(), QString::fromLatin1(b.tip));
        QCOMPARE(button->geometry(), QRect(qRound(b.left / 15.0), 6, 36, 17));
        QVERIFY(!button->font().bold());
        QVERIFY(!button->accessibleDescription().isEmpty());
    }
    // Tab order: Msg1, Msg2, Msg3, Msg4, Tune, Msg5.
    QWidget *w = d.button("Msg1");
    QStringList order;
    for (int i = 0; i < 6; ++i) {
        order << w->objectName();
        w = w->nextInFocusChain();
        while (!qobject_cast<QPushButton *>(w))
            w = w->nextInFocusChain();
    }
    QCOMPARE(order, (QStringList{"Msg1", "Msg2", "Msg3", "Msg4", "Tune", "Msg5"}));
    const char *tips[] = {"Click for Help", "Click for About", "Click for Speed Settings"};
    for (int i = 1; i <= 3; ++i)
        QCOMPARE(d.rig.window->statusBar().panel(i)->toolTip(), QString::fromLatin1(tips[i - 1]));
    QCOMPARE(d.rig.window->statusBar().panel(2)->width(), 40);
    QCOMPARE(d.rig.window->statusBar().panel(3)->width(), 50);
    // What panel 1 says of a link that is down must be read whole there.
    QLabel *panel1 = d.rig.window->statusBar().panel(1);
    for (const QString &text : {KeyerLink::kLostText, KeyerLink::kNoAnswerText, KeyerLink::kNoPortText}) {
        const int indent = panel1->indent() >= 0 ? panel1->indent()
            : panel1->frameWidth() > 0 ? panel1->fontMetrics().horizontalAdvance(QLatin1Char('x')) / 2 : 0;
        const int needed = panel1->fontMetrics().horizontalAdvance(text) + 2 * panel1->margin() + indent;
        QVERIFY2(needed <= panel1->contentsRect().width(),
                 qPrintable(QStringLiteral("%1: %2 > %3").arg(text).arg(needed).arg(panel1->contentsRect().width())));
    }
}

void ControlsTest::clickingAButtonSendsLikeItsKey()
{
    Desk d;
    QVERIFY(d.up());
    for (int n = 1; n <= 5; ++n)
        Settings.message(n) = QStringLiteral("M%1").arg(n);
    QTest::mouseClick(d.button("Msg3"), Qt::LeftButton);
    QCOMPARE(d.settle(), QByteArray("M3"));
    d.mark();
    QTest::mouseClick(d.button("Msg1"), Qt::LeftButton);
    QCOMPARE(d.settle(), QByteArray("M1"));
    // Keyboard activation of the focused button does the same.
    d.mark();
    d.button("Msg5")->setFocus();
    QTest::keyClick(d.button("Msg5"), Qt::Key_Space);
    QCOMPARE(d.settle(), QByteArray("M5"));
}

void ControlsTest::tuneButtonTwiceIsF6Twice()
{
    Desk d;
    QVERIFY(d.up());
    QTest::mouseClick(d.button("Tune"), Qt::LeftButton);
    QTRY_VERIFY(TuneOn);
    QCOMPARE(d.rig.window->panelText(1), QStringLiteral("Tune"));
    QTest::mouseClick(d.button("Tune"), Qt::LeftButton);
    QTRY_VERIFY(!TuneOn);
    QCOMPARE(d.settle(), QByteArray::fromHex("0b01 0b00"));
}

void ControlsTest::rightPressOpensTheEditorAndSendsNothing()
{
    Desk d;
    QVERIFY(d.up());
    Settings.Message3 = QStringLiteral("TU 73");
    QTest::mousePress(d.button("Msg3"), Qt::RightButton);
    QCOMPARE(EditIndex, QStringLiteral("3"));
    auto *editor = d.topLevel<EditMsg>();
    QVERIFY(editor);
    QCOMPARE(editor->findChild<QLineEdit *>(QStringLiteral("Text1"))->text(), QStringLiteral("TU 73"));
    QCOMPARE(d.settle(), QByteArray());
}

void ControlsTest::rightPressReloadsTheEditorOnlyForAnotherMessage()
{
    Desk d;
    QVERIFY(d.up());
    Settings.Message2 = QStringLiteral("TWO");
    Settings.Message4 = QStringLiteral("FOUR");
    QTest::mousePress(d.button("Msg2"), Qt::RightButton);
    auto *editor = d.topLevel<EditMsg>();
    QVERIFY(editor);
    // The same message again: what the operator typed stays.
    auto *text = editor->findChild<QLineEdit *>(QStringLiteral("Text1"));
    text->setText(QStringLiteral("TWO TYPED"));
    QTest::mousePress(d.button("Msg2"), Qt::RightButton);
    QCOMPARE(text->text(), QStringLiteral("TWO TYPED"));
    QTest::mousePress(d.button("Msg4"), Qt::RightButton);
    QCOMPARE(d.topLevel<EditMsg>(), editor); // the same editor, not a second one
    QCOMPARE(editor->findChild<QLineEdit *>(QStringLiteral("Text1"))->text(), QStringLiteral("FOUR"));
    QCOMPARE(editor->findChild<QGroupBox *>(QStringLiteral("Frame1"))->title(), QStringLiteral(" CW Message 4 "));
}

void ControlsTest::hoverShowsTheMessageUnlessTuning()
{
    Desk d;
    QVERIFY(d.up());
    Settings.Message2 = QStringLiteral("HOVER");
    d.hover("Msg2", QPoint(5, 5));
    QTRY_COMPARE(d.rig.window->panelText(1), QStringLiteral("HOVER"));
    Settings.Message2.clear();
    d.hover("Msg2", QPoint(8, 6));
    QTRY_COMPARE(d.rig.window->panelText(1), QString());

    Settings.Message2 = QStringLiteral("HOVER");
    QTest::keyClick(d.button("Msg1"), Qt::Key_F6);
    QCOMPARE(d.rig.window->panelText(1), QStringLiteral("Tune"));
    d.hover("Msg2", QPoint(10, 5));
    d.hover("Msg2", QPoint(12, 7));
    QTest::qWait(100);
    QCOMPARE(d.rig.window->panelText(1), QStringLiteral("Tune"));
}

void ControlsTest::panelsOpenHelpAboutAndSettings()
{
    Desk d;
    QVERIFY(d.up());
    d.clickPanel(2);
    auto *about = d.topLevel<frmAbout>();
    QVERIFY(about);
    d.clickPanel(2);
    QCOMPARE(d.topLevel<frmAbout>(), about); // brought forward, not a second box

    d.clickPanel(3);
    QVERIFY(d.topLevel<Speed>());
    d.clickPanel(1);
    QTRY_VERIFY(d.rig.window->findChild<QTextBrowser *>(QStringLiteral("HelpViewer")));
    QCOMPARE(d.settle(), QByteArray());
}

void ControlsTest::settingsUpdateReinitialisesTheChip()
{
    Desk d;
    QVERIFY(d.up());
    d.clickPanel(3);
    Speed *speed = d.topLevel<Speed>();
    QVERIFY(speed);
    speed->findChild<QLineEdit *>(QStringLiteral("WgtText"))->setText(QStringLiteral("060"));
    QTest::mouseClick(speed->findChild<QPushButton *>(QStringLiteral("UpdateCmd")), Qt::LeftButton);
    QVERIFY(!Reinit);
    QTRY_VERIFY(!d.topLevel<Speed>());
    QCOMPARE(d.rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("Weight")), QStringLiteral("060"));
    QByteArray expected = seedStartupBytes();
    expected[8 + 4] = 60; // weight, after 00 00 FF 00 04 55 00 02
    QCOMPARE(d.settle(), expected);
}

void ControlsTest::closingTheWindowClosesTheDialogs()
{
    Desk d;
    QVERIFY(d.up());
    d.clickPanel(3);
    d.clickPanel(2);
    QTest::mousePress(d.button("Msg1"), Qt::RightButton);
    QVERIFY(d.topLevel<Speed>() && d.topLevel<frmAbout>() && d.topLevel<EditMsg>());
    auto *weight = d.topLevel<Speed>()->findChild<QLineEdit *>(QStringLiteral("WgtText"));
    weight->setText(QStringLiteral("99"));
    d.rig.window->close();
    QTRY_VERIFY(!d.topLevel<Speed>() && !d.topLevel<frmAbout>() && !d.topLevel<EditMsg>());
    QCOMPARE(d.rig.store->GetSetting(QStringLiteral("Parameters"), QStringLiteral("Weight")), QStringLiteral("50"));
}

QTEST_MAIN(ControlsTest)
#include "tst_controls.moc"
