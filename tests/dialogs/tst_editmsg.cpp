// The message editor: loading by EditIndex, what Update stores, the input
// limits, and the ways out that store nothing.
#include "../unit/suites.h"
#include "dialogs/editmsg.h"
#include "dialogtest.h"
#include "settings/keyersettings.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QWindow>

namespace {

// Types text key by key, as a keyboard with those characters on it would;
// QTest::keyClicks takes ASCII only.
void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        for (const QEvent::Type type : {QEvent::KeyPress, QEvent::KeyRelease}) {
            QKeyEvent event(type, Qt::Key_unknown, Qt::NoModifier, QString(c));
            QApplication::sendEvent(widget, &event);
        }
    }
}

QString old(int n) { return QStringLiteral("OLD %1").arg(n); }

struct Typing {
    QString index;
    QString typed;                              // key by key (a paste meets the same check)
    QString shown;
    QString warned{};                           // what the operator is told was refused
    QString focus = QStringLiteral("Command1"); // a control to press a key in; empty: the close box
    int key = 0;                                // 0 with Command1: Update
};

} // namespace

class TestEditMsg : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        Zavo::resetProcessState();
        m_store = std::make_unique<DialogTest::TempStore>();
        // Every message stored already, so that a write of any of them shows.
        for (int n = 1; n <= 5; ++n) {
            Zavo::Settings.message(n) = old(n);
            m_store->store.SaveSetting(QStringLiteral("Messages"), QStringLiteral("Message%1").arg(n), old(n));
        }
    }
    void cleanup() { delete m_editor; }

    void shouldFollowTheDesign()
    {
        open(QStringLiteral("3"));
        DialogTest::checkWindow(m_editor, 3855, 1350);
        QVERIFY(!(m_editor->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(m_editor->minimumSize(), m_editor->maximumSize());
    }

    void shouldStoreWhatIsTyped_data()
    {
        QTest::addColumn<Typing>("t");
        const auto row = [](const char *name, const Typing &typing) { QTest::newRow(name) << typing; };
        row("lower case, signs, blanks", {"1", "  cq de k1abc <tu> = :@/ ", "  cq de k1abc <tu> = :@/ "});
        row("cut at 32", {"2", "abcdefghijklmnopqrstuvwxyz0123456789", "abcdefghijklmnopqrstuvwxyz012345", "32"});
        row("accented letter", {"3", QStringLiteral("abc\u00e9"), "abc", "ASCII"});
        // No message is named: the box keeps what it had, and Update stores nothing.
        for (const char *index : {"6", "0"})
            row(index, {index, "cq", "cq"});
        // Keys that close or accept elsewhere do nothing here; closing drops what was typed.
        row("Return in Text1", {"1", "cq", "cq", "", "Text1", Qt::Key_Return});
        row("Escape in Text1", {"1", "cq", "cq", "", "Text1", Qt::Key_Escape});
        row("close box", {"1", "cq", "cq", "", "", 0});
    }

    // Update stores in upper case, as the chip sends it; the other messages untouched.
    void shouldStoreWhatIsTyped()
    {
        QFETCH(Typing, t);
        const auto &[index, typed, shown, warned, focus, key] = t;
        const int n = QStringList{"1", "2", "3", "4", "5"}.indexOf(index) + 1;
        // Loaded for another message first: the one now named is loaded, and stored.
        open(QStringLiteral("2"));
        QTest::keyClicks(text(), QStringLiteral(" x"));
        Zavo::EditIndex = index;
        m_editor->load();
        QCOMPARE(text()->text(), n ? old(n) : QStringLiteral("OLD 2 x"));
        QCOMPARE(child<QGroupBox>(QStringLiteral("Frame1"))->title(), QStringLiteral(" CW Message %1 ").arg(n ? n : 2));
        text()->selectAll();
        QTest::keyClick(text(), Qt::Key_Delete);
        typeText(text(), typed);
        QCOMPARE(text()->text(), shown);
        const auto *reason = child<QLabel>(QStringLiteral("Reason"));
        QCOMPARE(reason->isVisible(), !warned.isEmpty());
        QVERIFY(reason->text().contains(warned));
        const bool update = focus == QLatin1String("Command1") && !key;
        if (key) {
            child(focus)->setFocus();
            QTest::keyClick(child(focus), Qt::Key(key));
            QTest::qWait(0);
            QVERIFY(!m_editor.isNull() && m_editor->isVisible());
            QCOMPARE(text()->text(), shown);
        }
        if (update)
            pressUpdate();
        else
            m_editor->close();
        QTRY_VERIFY(m_editor.isNull());
        for (int m = 1; m <= 5; ++m) {
            QCOMPARE(Zavo::Settings.message(m), m == n && update ? shown.toUpper() : old(m));
            QCOMPARE(stored(m), m == n && update ? shown.toUpper() : old(m));
        }
    }

    void shouldKeepLongerStoredMessageWhole()
    {
        // Put in the store by hand: longer than the limit and not all ASCII.
        const QString held = QStringLiteral("CQ CQ CQ DE \u00c5SA \u00c5SA \u00c5SA PSE K AR AR AR");
        QVERIFY(held.size() > 32);
        Zavo::Settings.Message5 = held;
        open(QStringLiteral("5"));
        QCOMPARE(text()->text(), held);
        // One more character than was loaded does not fit.
        text()->end(false);
        QTest::keyClicks(text(), QStringLiteral("X"));
        QCOMPARE(text()->text(), held);
        // A character outside ASCII beyond those it held is refused, even in a shorter text.
        const qsizetype pse = held.indexOf(QStringLiteral("PSE"));
        text()->setSelection(int(pse), 3);
        typeText(text(), QStringLiteral("\u00c5"));
        QCOMPARE(text()->text(), held);
        QTest::keyClicks(text(), QStringLiteral("x"));
        QString edited = held;
        edited.replace(pse, 3, QStringLiteral("x"));
        QCOMPARE(text()->text(), edited);
        // The room given up does not come back: the limit follows the text down to 32.
        text()->end(false);
        QTest::keyClicks(text(), QStringLiteral("R"));
        QCOMPARE(text()->text(), edited);
        text()->setCursorPosition(4);
        QTest::keyClick(text(), Qt::Key_Backspace);
        QCOMPARE(text()->cursorPosition(), 3);
        QCOMPARE(text()->maxLength(), int(edited.size()) - 1);
        edited.remove(3, 1);
        QCOMPARE(text()->text(), edited);
        pressUpdate();
        QCOMPARE(stored(5), edited.toUpper());
    }

private:
    template<typename T = QWidget>
    T *child(const QString &name) const { return DialogTest::child<T>(m_editor, name); }
    QLineEdit *text() const { return child<QLineEdit>(QStringLiteral("Text1")); }
    void open(const QString &index);
    // One click where Update shows, given to whichever window lies on top
    // there, as the window system does: a tip over the button takes it.
    void pressUpdate()
    {
        const auto *update = child<QPushButton>(QStringLiteral("Command1"));
        const QPoint at = update->mapToGlobal(update->rect().center());
        QWindow *top = QGuiApplication::topLevelAt(at);
        QVERIFY(top);
        QTest::mouseClick(top, Qt::LeftButton, {}, top->mapFromGlobal(at));
        QTRY_VERIFY(m_editor.isNull());
    }
    QString stored(int n) const { return m_store->reread(QStringLiteral("Messages"), QStringLiteral("Message%1").arg(n)); }

    std::unique_ptr<DialogTest::TempStore> m_store;
    QPointer<EditMsg> m_editor;
};

void TestEditMsg::open(const QString &index)
{
    Zavo::EditIndex = index;
    m_editor = new EditMsg(m_store->store);
    m_editor->load();
    m_editor->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_editor));
}

ZAVO_SUITE(TestEditMsg)
#include "tst_editmsg.moc"
