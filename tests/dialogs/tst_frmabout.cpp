// Tests of the About box: what it shows, where, and the ways it closes.
#include "dialogtest.h"
#include "dialogs/frmabout.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

using DialogTest::child;

class TestFrmAbout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup() { delete m_about; }

    void shouldHaveDefaultValues();
    void shouldPlaceControls_data();
    void shouldPlaceControls();
    void shouldClose_data();
    void shouldClose();

private:
    QPointer<frmAbout> m_about;
};

void TestFrmAbout::init()
{
    m_about = new frmAbout;
    m_about->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_about));
}

void TestFrmAbout::shouldHaveDefaultValues()
{
    QCOMPARE(m_about->windowTitle(), QStringLiteral("About Zavo Keyer"));
    QVERIFY(m_about->testAttribute(Qt::WA_DeleteOnClose));
    const Qt::WindowFlags flags = m_about->windowFlags();
    QVERIFY(!(flags & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(m_about->size(), Layout::size(4665, 1560));
    QCOMPARE(m_about->minimumSize(), m_about->maximumSize());

    auto *ok = child<QPushButton>(m_about, QStringLiteral("cmdOK"));
    QVERIFY(ok->isDefault());
    QVERIFY(!ok->accessibleName().isEmpty() && !ok->accessibleDescription().isEmpty());
    QCOMPARE(m_about->focusWidget(), ok);

    QCOMPARE(child<QLabel>(m_about, QStringLiteral("lblVersion"))->text(),
             QStringLiteral("Version 1.0.7"));
    QVERIFY(child<QLabel>(m_about, QStringLiteral("lblTitle"))->font().bold());
    QCOMPARE(child<QLabel>(m_about, QStringLiteral("lblDescription"))->text().count(u'\n'), 1);
    // Every text is readable in the room it has.
    for (const char *name : {"lblVersion", "lblTitle", "lblDescription"}) {
        auto *label = child<QLabel>(m_about, QLatin1String(name));
        QVERIFY2(label->sizeHint().width() <= label->width(), name);
        QVERIFY2(label->sizeHint().height() <= label->height(), name);
        QVERIFY2(m_about->rect().contains(label->geometry()), name);
    }
}

void TestFrmAbout::shouldPlaceControls_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<QRect>("twips");

    QTest::newRow("cmdOK") << "cmdOK" << QRect(3240, 240, 1260, 345);
    QTest::newRow("picIcon") << "picIcon" << QRect(120, 240, 540, 540);
    QTest::newRow("lblDescription") << "lblDescription" << QRect(120, 960, 3045, 450);
    QTest::newRow("lblTitle") << "lblTitle" << QRect(840, 240, 2325, 360);
}

void TestFrmAbout::shouldPlaceControls()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);

    QWidget *widget = child(m_about, name);
    QCOMPARE(widget->parentWidget(), m_about.data());
    QCOMPARE(widget->geometry(),
             DialogTest::designGeometry(widget, twips, name.startsWith(QLatin1String("lbl"))));
}

void TestFrmAbout::shouldClose_data()
{
    QTest::addColumn<int>("key"); // 0: the close box
    QTest::newRow("Return") << int(Qt::Key_Return);
    QTest::newRow("Enter") << int(Qt::Key_Enter);
    QTest::newRow("Escape") << int(Qt::Key_Escape);
    QTest::newRow("close box") << 0;
}

void TestFrmAbout::shouldClose()
{
    QFETCH(int, key);

    QSignalSpy clicked(child<QPushButton>(m_about, QStringLiteral("cmdOK")), &QPushButton::clicked);
    if (key)
        QTest::keyClick(m_about->focusWidget(), Qt::Key(key));
    else
        m_about->close();
    QTRY_VERIFY(m_about.isNull());
    QCOMPARE(clicked.count(), key ? 1 : 0);
}

QTEST_MAIN(TestFrmAbout)
#include "tst_frmabout.moc"
