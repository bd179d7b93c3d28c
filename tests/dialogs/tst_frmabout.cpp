// The About box: what it shows, where, and the ways it closes.
#include "../unit/suites.h"
#include "dialogs/frmabout.h"
#include "dialogtest.h"

#include <QApplication>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>

using DialogTest::child;

class TestFrmAbout : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_about = new frmAbout;
        m_about->show();
        QVERIFY(QTest::qWaitForWindowExposed(m_about));
    }
    void cleanup() { delete m_about; }

    void shouldFollowTheDesign()
    {
        DialogTest::checkWindow(m_about, 4665, 1560);
        QVERIFY(!(m_about->windowFlags() & (Qt::WindowMinimizeButtonHint | Qt::WindowMaximizeButtonHint)));
        QCOMPARE(m_about->minimumSize(), m_about->maximumSize());
        // Every text is readable in the room it has.
        for (const char *name : {"lblVersion", "lblTitle", "lblDescription"}) {
            auto *label = child<QLabel>(m_about, QLatin1String(name));
            QVERIFY2(label->sizeHint().width() <= label->width() && label->sizeHint().height() <= label->height(), name);
            QVERIFY2(m_about->rect().contains(label->geometry()), name);
        }
    }

    void shouldClose_data()
    {
        QTest::addColumn<int>("key"); // 0: the close box
        QTest::newRow("Return") << int(Qt::Key_Return);
        QTest::newRow("Escape") << int(Qt::Key_Escape);
        QTest::newRow("close box") << 0;
    }

    void shouldClose()
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

private:
    QPointer<frmAbout> m_about;
};

ZAVO_SUITE(TestFrmAbout)

ZAVO_SUITES_MAIN(QApplication)
#include "tst_frmabout.moc"
