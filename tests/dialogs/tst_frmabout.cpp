// Tests of the About box: what it shows, where, and the ways it closes.
#include "dialogs/frmabout.h"
#include "dialogs/uimetrics.h"

#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

class TestFrmAbout : public QObject
{
    Q_OBJECT

private slots:
    void init();
    void cleanup();

    void shouldHaveDefaultValues();
    void shouldPlaceControls_data();
    void shouldPlaceControls();
    void shouldClose_data();
    void shouldClose();

private:
    template<typename T>
    T *child(const QString &name) const
    {
        auto *widget = m_about->findChild<T *>(name);
        if (!widget)
            qFatal("no child %s", qPrintable(name));
        return widget;
    }

    QPointer<frmAbout> m_about;
};

void TestFrmAbout::init()
{
    m_about = new frmAbout;
    m_about->show();
    QVERIFY(QTest::qWaitForWindowExposed(m_about));
}

void TestFrmAbout::cleanup()
{
    delete m_about;
}

void TestFrmAbout::shouldHaveDefaultValues()
{
    QCOMPARE(m_about->windowTitle(), QStringLiteral("About Zavo Keyer"));
    QVERIFY(m_about->isWindow());
    QVERIFY(m_about->testAttribute(Qt::WA_DeleteOnClose));
    const Qt::WindowFlags flags = m_about->windowFlags();
    QVERIFY(!(flags & Qt::WindowMinimizeButtonHint));
    QVERIFY(!(flags & Qt::WindowMaximizeButtonHint));
    QVERIFY(flags & Qt::WindowCloseButtonHint);
    QCOMPARE(m_about->size(), Ui::Metrics::size(4665, 1560));
    QCOMPARE(m_about->minimumSize(), m_about->size());
    QCOMPARE(m_about->maximumSize(), m_about->size());

    auto *ok = child<QPushButton>(QStringLiteral("cmdOK"));
    QCOMPARE(ok->text(), QStringLiteral("OK"));
    QVERIFY(ok->isDefault());
    QVERIFY(!ok->accessibleName().isEmpty());
    QVERIFY(!ok->accessibleDescription().isEmpty());
    QCOMPARE(m_about->focusWidget(), ok);

    QCOMPARE(child<QLabel>(QStringLiteral("lblVersion"))->text(), QStringLiteral("Version 1.0.7"));
    auto *title = child<QLabel>(QStringLiteral("lblTitle"));
    QCOMPARE(title->text(), QStringLiteral("ZavoKeyer by Vardel"));
    QVERIFY(title->font().bold());
    QCOMPARE(title->font().pointSizeF(), 9.75);
    QCOMPARE(title->palette().color(QPalette::WindowText), QColor(Qt::black));
    auto *description = child<QLabel>(QStringLiteral("lblDescription"));
    QCOMPARE(description->text().split(QLatin1Char('\n')),
             (QStringList{QStringLiteral("A simple memory keyer for the WinKey chip"),
                          QStringLiteral("https://zavokeyer.example.org")}));
    QCOMPARE(description->palette().color(QPalette::WindowText), QColor(Qt::black));
    QCOMPARE(child<QLabel>(QStringLiteral("picIcon"))->frameShape(), QFrame::Box);

    // Every text is readable in the room it has.
    for (const char *name : {"lblVersion", "lblTitle", "lblDescription"}) {
        auto *label = child<QLabel>(QLatin1String(name));
        QVERIFY2(label->sizeHint().width() <= label->width(), name);
        QVERIFY2(label->sizeHint().height() <= label->height(), name);
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
    QTest::newRow("lblVersion") << "lblVersion" << QRect(840, 600, 1245, 225);
}

void TestFrmAbout::shouldPlaceControls()
{
    QFETCH(QString, name);
    QFETCH(QRect, twips);

    QWidget *widget = child<QWidget>(name);
    QCOMPARE(widget->parentWidget(), m_about.data());
    const QRect design = Ui::Metrics::rect(twips.left(), twips.top(), twips.width(),
                                           twips.height());
    if (qobject_cast<QLabel *>(widget)) {
        // A text wider than the design's room may take more to the right, and no more.
        QCOMPARE(widget->pos(), design.topLeft());
        QCOMPARE(widget->height(), design.height());
        QCOMPARE(widget->width(), qMax(design.width(), widget->sizeHint().width()));
        QVERIFY(m_about->rect().contains(widget->geometry()));
    } else {
        QCOMPARE(widget->geometry(), design);
    }
}

void TestFrmAbout::shouldClose_data()
{
    QTest::addColumn<int>("key");          // 0: no key
    QTest::addColumn<bool>("pressesOk");

    QTest::newRow("Return") << int(Qt::Key_Return) << true;
    QTest::newRow("Enter") << int(Qt::Key_Enter) << true;
    QTest::newRow("Escape") << int(Qt::Key_Escape) << true;
    QTest::newRow("close box") << 0 << false;
}

void TestFrmAbout::shouldClose()
{
    QFETCH(int, key);
    QFETCH(bool, pressesOk);

    QSignalSpy clicked(child<QPushButton>(QStringLiteral("cmdOK")), &QPushButton::clicked);
    if (key)
        QTest::keyClick(m_about->focusWidget(), Qt::Key(key));
    else
        m_about->close();
    QTRY_VERIFY(m_about.isNull());
    QCOMPARE(clicked.count(), pressesOk ? 1 : 0);
}

QTEST_MAIN(TestFrmAbout)
#include "tst_frmabout.moc"
