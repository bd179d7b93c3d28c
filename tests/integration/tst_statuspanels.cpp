// The status bar at the main window's size, font and 96 dpi: what each panel
// shows of a text, and where the rest of a text too long for it goes.
#include "../unit/suites.h"
#include "app/statuspanels.h"
#include "dialogs/uimetrics.h"
#include "keyer/keyerlink.h"

#include <QApplication>
#include <QLabel>

class TestStatusPanels : public QObject
{
    Q_OBJECT

private slots:
    void longTextsEndInAnEllipsis_data()
    {
        QTest::addColumn<int>("position");
        QTest::addColumn<QString>("text");
        QTest::addColumn<bool>("whole");
        QTest::newRow("online") << 1 << "Winkey Online - Firmware Rev.23" << true;
        // What panel 1 says of a link that is down, it says whole.
        for (const QString &down : {KeyerLink::kLostText, KeyerLink::kNoAnswerText, KeyerLink::kNoPortText})
            QTest::newRow(qPrintable(down)) << 1 << down << true;
        QTest::newRow("seeded message 1") << 1 << "CQ CQ CQ DE MYCALL MYCALL K" << false;
        QTest::newRow("port") << 2 << "winkey" << true;
        QTest::newRow("speed") << 3 << "25 WPM" << true;
        QTest::newRow("speed byte 00") << 3 << "-118 WPM" << false;
    }

    void longTextsEndInAnEllipsis()
    {
        QFETCH(int, position);
        QFETCH(QString, text);
        QFETCH(bool, whole);
        // Laid out as the main window does it, the texts in before it shows.
        QWidget window;
        window.setFixedSize(Layout::size(3915, 675));
        auto *bar = new StatusPanels(&window);
        bar->setFont(Layout::formFont());
        Layout::place(bar, 0, 420, 3915, 255);
        const QString tip = bar->panel(position)->toolTip();
        bar->setPanelDetail(position, QStringLiteral("DETAIL"));
        bar->setPanelText(position, text);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));

        const QLabel *panel = bar->panel(position);
        const QString shown = panel->text();
        const int indent = panel->indent() >= 0 ? panel->indent() : panel->fontMetrics().horizontalAdvance(u'x') / 2;
        QVERIFY2(panel->fontMetrics().horizontalAdvance(shown) <= panel->contentsRect().width() - indent,
                 qPrintable(shown));
        QCOMPARE(shown == text, whole);
        QVERIFY(whole || (shown.endsWith(u'\u2026') && text.startsWith(shown.chopped(1))));
        QCOMPARE(bar->panelText(position), text);
        QVERIFY(panel->toolTip().startsWith(tip) && panel->toolTip().contains(QLatin1String("DETAIL")));
        QVERIFY(panel->accessibleDescription().startsWith(whole ? QStringLiteral("DETAIL") : text));
        QCOMPARE(panel->toolTip().contains(text), !whole);
        QCOMPARE(panel->accessibleDescription().contains(text), !whole);
        QCOMPARE(panel->accessibleName(), text);
    }
};

ZAVO_SUITE(TestStatusPanels)
ZAVO_SUITES_MAIN(QApplication)
#include "tst_statuspanels.moc"
