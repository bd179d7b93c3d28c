// Tests of the message editor: layout and legend, loading by EditIndex, what
// Update stores, the input limits, and keys that must do nothing.
#include "dialogs/editmsg.h"
#include "dialogs/uimetrics.h"
#include "settings/keyersettings.h"
#include "settings/settingsstore.h"

#include <QApplication>
#include <QGroupBox>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTest>
#include <QTextLayout>
#include <QToolTip>

#include <memory>

namespace {

// Types text key by key, as a keyboard with those characters on it would;
// QTest::keyClicks takes ASCII only.
void typeText(QWidget *widget, const QString &text)
{
    for (const QChar c : text) {
        QKeyEvent press(QEvent::KeyPress, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_unknown, Qt::NoModifier, QString(c));
        QApplication::sendEvent(widget, &release);
    }
}

} // namespace

class TestEditMsg : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void shouldHaveDefaultValues();
    void shouldPlaceControls_data();
    void shouldPlaceControls();
    void shouldShowLegendInThreeRows();

    void shouldLoadMessageNamedByEditIndex_data();
    void shouldLoadMessageNamedByEditIndex();
    void shouldReloadForAnotherMessage();
    void shouldStoreUpperCased_data();
    void shouldStoreUpperCased();
    void shouldStoreNothingOnCloseBox();
    void shouldLimitToThirtyTwoCharacters();
    void shouldRefuseNonAscii_data();
    void shouldRefuseNonAscii();
    void shouldKeepLongerStoredMessageWhole();
    void shouldIgnoreEnterAndEscape_data();
    void shouldIgnoreEnterAndEscape();

private:
    template<typename T>
    T *child(const QString &name) const
    {
        auto *widget = m_editor->findChild<T *>(name);
        if (!widget)
            qFatal("no child %s", qPrintable(name));
        return widget;
    }
    QLineEdit *text() const { return child<QLineEdit>(QStringLiteral("Text1")); }
    QString frameCaption() const { return child<QGroupBox>(QStringLiteral("Frame1"))->title(); }
    void open(const QString &index);
    QString stored(int n) const;

    std::unique_ptr<QTemporaryDir> m_dir;
    std::unique_ptr<SettingsStore> m_store;
    QPointer<EditMsg> m_editor;
};

void TestEditMsg::init()
{
    Zavo::resetProcessState();
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    m_store = std::make_unique<SettingsStore>(m_dir->filePath(QStringLiteral("zavo.ini")));
    // Every message stored already, so that a write of any of them shows.
    for (int n = 1; n <= 5; ++n) {
        Zavo::Settings.message(n) = QStringLiteral("OLD %1").arg(n);
        m_store->SaveSetting(QStringLiteral("Messages"), QStringLiteral("Message%1").arg(n),
                             Zavo::Settings.message(n));
    }
}

void TestEditMsg::cleanup()
{
    delete m_editor;
    m_store.reset();
    m_dir.reset();
}

void TestEditMsg::open(const QString &index)
{
    Zavo::EditIndex = index;
    m_editor = new EditMsg(*m_store);
    m_editor->load();
    m_editor->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_editor));
}

QString TestEditMsg::stored(int n) const
{
    const SettingsStore reread(m_dir->filePath(QStringLiteral("zavo.ini")));
    return reread.GetSetting(QStringLiteral("Messages"), QStringLiteral("Message%1").arg(n));
}

void TestEditMsg::shouldHaveDefaultValues()
{
    open(QStringLiteral("3"));
    QCOMPARE(m_editor->windowTitle(), QStringLiteral("Message Editor"));
    QVERIFY(m_editor->isWindow());
    QVERIFY(m_editor->testAttribute(Qt::WA_DeleteOnClose));
    const Qt::WindowFlags flags = m_editor->windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(m_editor->size(), Ui::Metrics::size(3855, 1350));
    QCOMPARE(m_editor->minimumSize(), m_editor->size());
    QCOMPARE(m_editor->maximumSize(), m_editor->size());

    QCOMPARE(frameCaption(), QStringLiteral(" CW Message 3 "));
    QCOMPARE(text()->text(), QStringLiteral("OLD 3"));
    QCOMPARE(text()->maxLength(), 32);
    QCOMPARE(m_editor->focusWidget(), text());

    auto *update = child<QPushButton>(QStringLiteral("Command1"));
    QCOMPARE(update->text(), QStringLiteral("Update"));
    QVERIFY(!update->isDefault());
    QVERIFY(!update->autoDefault());
    for (QWidget *w : {static_cast<QWidget *>(update), static_cast<QWidget *>(text())}) {
        QVERIFY(!w->accessibleName().isEmpty());
        QVERIFY(!w->accessibleDescription().isEmpty());
    }
    // Tab goes from the box to the button.
    QCOMPARE(text()->nextInFocusChain(), static_cast<QWidget *>(update));

    auto *prowords = child<QLabel>(QStringLiteral("Label1"));
    QCOMPARE(prowords->text(), QStringLiteral("Prowords:"));
    QCOMPARE(prowords->palette().color(QPalette::WindowText), QColor(0, 128, 0));
    auto *legend = child<QLabel>(QStringLiteral("Label2"));
    QCOMPARE(legend->palette().color(QPalette::WindowText), QColor(0, 0, 128));
    QVERIFY(legend->wordWrap());
}

void TestEditMsg::shouldPlaceControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("parent");
    QTest::addColumn<QRect>("twips");

    QTest::newRow("Frame1") << "Frame1" << "" << QRect(0, 0, 3855, 1335);
    QTest::newRow("Text1") << "Text1" << "Frame1" << QRect(120, 240, 3615, 285);
    QTest::newRow("Command1") << "Command1" << "Frame1" << QRect(120, 720, 855, 255);
    QTest::newRow("Label1") << "Label1" << "Frame1" << QRect(1320, 600, 735, 255);
    QTest::newRow("Label2") << "Label2" << "Frame1" << QRect(2160, 600, 1335, 615);
}

void TestEditMsg::shouldPlaceControls()
{
    QFETCH(QString, name);
    QFETCH(QString, parent);
    QFETCH(QRect, twips);

    open(QStringLiteral("1"));
    QWidget *widget = child<QWidget>(name);
    if (parent.isEmpty())
        QCOMPARE(widget->parentWidget(), m_editor.data());
    else
        QCOMPARE(widget->parentWidget()->objectName(), parent);
    const QRect design = Ui::Metrics::rect(twips.left(), twips.top(), twips.width(),
                                           twips.height());
    if (name == QLatin1String("Label1")) {
        // Its caption may take more room to the right than the design gives, and no more.
        QCOMPARE(widget->pos(), design.topLeft());
        QCOMPARE(widget->height(), design.height());
        QCOMPARE(widget->width(), qMax(design.width(), widget->sizeHint().width()));
        const QWidget *legend = child<QWidget>(QStringLiteral("Label2"));
        QVERIFY(widget->geometry().right() < legend->geometry().left());
    } else {
        QCOMPARE(widget->geometry(), design);
    }
}

void TestEditMsg::shouldShowLegendInThreeRows()
{
    QCOMPARE(EditMsg::kLegend.size(), 64);
    QCOMPARE(EditMsg::kLegend,
             QStringLiteral("AR    <      SK    >  KN     :      AC   @  AS     =     DN    /"));

    open(QStringLiteral("1"));
    auto *legend = child<QLabel>(QStringLiteral("Label2"));
    QString shown = legend->text();
    QCOMPARE(shown.remove(QLatin1Char('\n')), EditMsg::kLegend);

    // Lay the label's text out as it is drawn: word wrap at the label's width.
    QStringList rows;
    const QStringList paragraphs = legend->text().split(QLatin1Char('\n'));
    const int width = legend->contentsRect().width();
    int height = 0;
    for (const QString &paragraph : paragraphs) {
        QTextLayout layout(paragraph, legend->font());
        QTextOption option;
        option.setWrapMode(QTextOption::WordWrap);
        layout.setTextOption(option);
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            rows << paragraph.mid(line.textStart(), line.textLength()).trimmed();
            height += qCeil(line.height());
        }
        layout.endLayout();
    }
    QCOMPARE(rows, (QStringList{QStringLiteral("AR    <      SK    >"),
                                QStringLiteral("KN     :      AC   @"),
                                QStringLiteral("AS     =     DN    /")}));
    QVERIFY(height <= legend->contentsRect().height());
}

void TestEditMsg::shouldLoadMessageNamedByEditIndex_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("caption");

    for (int n = 1; n <= 5; ++n)
        QTest::addRow("index %d", n) << QString::number(n) << QStringLiteral("OLD %1").arg(n)
                                     << QStringLiteral(" CW Message %1 ").arg(n);
    // No message is named: nothing is loaded.
    QTest::newRow("6") << "6" << "" << " CW Message ";
    QTest::newRow("0") << "0" << "" << " CW Message ";
    QTest::newRow("empty") << "" << "" << " CW Message ";
    QTest::newRow("leading zero") << "01" << "" << " CW Message ";
    QTest::newRow("blank") << " 2" << "" << " CW Message ";
}

void TestEditMsg::shouldLoadMessageNamedByEditIndex()
{
    QFETCH(QString, index);
    QFETCH(QString, message);
    QFETCH(QString, caption);

    open(index);
    QCOMPARE(text()->text(), message);
    QCOMPARE(frameCaption(), caption);
}

void TestEditMsg::shouldReloadForAnotherMessage()
{
    open(QStringLiteral("2"));
    QTest::keyClicks(text(), QStringLiteral(" x"));
    Zavo::EditIndex = QStringLiteral("4");
    m_editor->load();
    QCOMPARE(text()->text(), QStringLiteral("OLD 4"));
    QCOMPARE(frameCaption(), QStringLiteral(" CW Message 4 "));

    text()->selectAll();
    QTest::keyClicks(text(), QStringLiteral("tu 73"));
    QTest::mouseClick(child<QPushButton>(QStringLiteral("Command1")), Qt::LeftButton);
    QTRY_VERIFY(m_editor.isNull());
    QCOMPARE(Zavo::Settings.Message4, QStringLiteral("TU 73"));
    QCOMPARE(stored(4), QStringLiteral("TU 73"));
    QCOMPARE(Zavo::Settings.Message2, QStringLiteral("OLD 2"));
    QCOMPARE(stored(2), QStringLiteral("OLD 2"));
}

void TestEditMsg::shouldStoreUpperCased_data()
{
    QTest::addColumn<QString>("index");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QString>("expected");

    QTest::newRow("lower case") << "1" << "cq cq de k1abc k" << "CQ CQ DE K1ABC K";
    QTest::newRow("mixed case") << "5" << "Tu Ee" << "TU EE";
    QTest::newRow("legend signs") << "3" << "qrz? <tu> = :@/" << "QRZ? <TU> = :@/";
    QTest::newRow("blanks kept") << "2" << "  a  b  " << "  A  B  ";
    QTest::newRow("empty") << "4" << "" << "";
    QTest::newRow("every printable") << "1" << " !\"#$%&'()*+,-./0123456789:;<=>?"
                                     << " !\"#$%&'()*+,-./0123456789:;<=>?";
    QTest::newRow("letters and more") << "1" << "@[\\]^_`abcdefghijklmnopqrstuvwxyz{|}~"
                                      << "@[\\]^_`ABCDEFGHIJKLMNOPQRSTUVWXYZ{|}~";
}

void TestEditMsg::shouldStoreUpperCased()
{
    QFETCH(QString, index);
    QFETCH(QString, typed);
    QFETCH(QString, expected);

    open(index);
    text()->selectAll();
    QTest::keyClick(text(), Qt::Key_Delete);
    QTest::keyClicks(text(), typed.left(32));
    QCOMPARE(text()->text(), typed.left(32));
    QTest::mouseClick(child<QPushButton>(QStringLiteral("Command1")), Qt::LeftButton);
    QTRY_VERIFY(m_editor.isNull());

    const int n = index.toInt();
    QCOMPARE(Zavo::Settings.message(n), expected.left(32));
    QCOMPARE(stored(n), expected.left(32));
    for (int other = 1; other <= 5; ++other) {
        if (other != n)
            QCOMPARE(stored(other), QStringLiteral("OLD %1").arg(other));
    }
}

void TestEditMsg::shouldStoreNothingOnCloseBox()
{
    open(QStringLiteral("1"));
    QTest::keyClicks(text(), QStringLiteral(" changed"));
    m_editor->close();
    QTRY_VERIFY(m_editor.isNull());
    QCOMPARE(Zavo::Settings.Message1, QStringLiteral("OLD 1"));
    QCOMPARE(stored(1), QStringLiteral("OLD 1"));
}

void TestEditMsg::shouldLimitToThirtyTwoCharacters()
{
    open(QStringLiteral("2"));
    text()->selectAll();
    QTest::keyClicks(text(), QStringLiteral("abcdefghijklmnopqrstuvwxyz0123456789"));
    QCOMPARE(text()->text(), QStringLiteral("abcdefghijklmnopqrstuvwxyz012345"));
    QTest::mouseClick(child<QPushButton>(QStringLiteral("Command1")), Qt::LeftButton);
    QTRY_VERIFY(m_editor.isNull());
    QCOMPARE(stored(2), QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZ012345"));
}

void TestEditMsg::shouldRefuseNonAscii_data()
{
    QTest::addColumn<QString>("typed");    // typed key by key
    QTest::addColumn<QString>("pasted");   // put in at once, as a paste does
    QTest::addColumn<QString>("expected");

    QTest::newRow("accented letter typed") << QStringLiteral("ab\u00e9c") << "" << "abc";
    QTest::newRow("umlaut typed") << QStringLiteral("\u00fc") << "" << "";
    QTest::newRow("euro pasted") << "cq" << QStringLiteral("x\u20acy") << "cq";
    QTest::newRow("control pasted") << "cq" << QStringLiteral("\u0001") << "cq";
    QTest::newRow("delete pasted") << "cq" << QStringLiteral("\u007f") << "cq";
    QTest::newRow("tab pasted") << "cq" << QStringLiteral("a\tb") << "cq";
    QTest::newRow("non-breaking space pasted") << "cq" << QStringLiteral("\u00a0") << "cq";
    QTest::newRow("ascii pasted") << "cq" << QStringLiteral(" de") << "cq de";
}

void TestEditMsg::shouldRefuseNonAscii()
{
    QFETCH(QString, typed);
    QFETCH(QString, pasted);
    QFETCH(QString, expected);

    open(QStringLiteral("3"));
    text()->selectAll();
    QTest::keyClick(text(), Qt::Key_Delete);
    typeText(text(), typed);
    if (!pasted.isEmpty())
        text()->insert(pasted);
    QCOMPARE(text()->text(), expected);
    if (expected.size() < typed.size() + pasted.size()) {
        // The operator is told why.
        QTRY_VERIFY(QToolTip::isVisible());
        QVERIFY(QToolTip::text().contains(QStringLiteral("ASCII")));
    }

    QTest::mouseClick(child<QPushButton>(QStringLiteral("Command1")), Qt::LeftButton);
    QTRY_VERIFY(m_editor.isNull());
    QCOMPARE(stored(3), expected.toUpper());
    QCOMPARE(Zavo::Settings.Message3, expected.toUpper());
}

void TestEditMsg::shouldKeepLongerStoredMessageWhole()
{
    // Put in the store by hand: longer than the limit and not all ASCII.
    const QString held = QStringLiteral("CQ CQ CQ DE \u00c5SA \u00c5SA \u00c5SA PSE K AR AR AR");
    QVERIFY(held.size() > 32);
    Zavo::Settings.Message5 = held;

    // Unedited, it goes back as it was.
    open(QStringLiteral("5"));
    QCOMPARE(text()->text(), held);
    QTest::mouseClick(child<QPushButton>(QStringLiteral("Command1")), Qt::LeftButton);
    QTRY_VERIFY(m_editor.isNull());
    QCOMPARE(Zavo::Settings.Message5, held);
    QCOMPARE(stored(5), held);

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

    QTest::mouseClick(child<QPushButton>(QStringLiteral("Command1")), Qt::LeftButton);
    QTRY_VERIFY(m_editor.isNull());
    QCOMPARE(stored(5), edited.toUpper());
}

void TestEditMsg::shouldIgnoreEnterAndEscape_data()
{
    QTest::addColumn<QString>("focus");
    QTest::addColumn<int>("key");

    for (const char *focus : {"Text1", "Command1"}) {
        QTest::addRow("Return in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Return);
        QTest::addRow("Enter in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Enter);
        QTest::addRow("Escape in %s", focus) << QString::fromLatin1(focus) << int(Qt::Key_Escape);
    }
}

void TestEditMsg::shouldIgnoreEnterAndEscape()
{
    QFETCH(QString, focus);
    QFETCH(int, key);

    open(QStringLiteral("1"));
    QTest::keyClicks(text(), QStringLiteral(" new"));
    QWidget *target = child<QWidget>(focus);
    target->setFocus();
    QTest::keyClick(target, Qt::Key(key));
    QTest::qWait(0);

    QVERIFY(!m_editor.isNull());
    QVERIFY(m_editor->isVisible());
    QCOMPARE(text()->text(), QStringLiteral("OLD 1 new"));
    QCOMPARE(Zavo::Settings.Message1, QStringLiteral("OLD 1"));
    QCOMPARE(stored(1), QStringLiteral("OLD 1"));
}

QTEST_MAIN(TestEditMsg)
#include "tst_editmsg.moc"
