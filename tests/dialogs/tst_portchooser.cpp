// The port chooser stores what can be opened: a listed port's device path,
// never the description the list shows for it.
#include "../unit/suites.h"
#include "dialogs/portchooser.h"
#include "dialogtest.h"

#include <QComboBox>
#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>

class TestPortChooser : public QObject
{
    Q_OBJECT

private slots:
    void shouldStoreTheDevicePath_data()
    {
        QTest::addColumn<int>("downs");     // Down presses in the list
        QTest::addColumn<QString>("typed"); // then typed over the whole text
        QTest::addColumn<QString>("stored");
        QTest::newRow("picked") << 1 << "" << "/dev/ttyUSB0";
        // A listed path, typed, is completed to the entry's description.
        QTest::newRow("typed, completed") << 2 << "/dev/ttyUSB0" << "/dev/ttyUSB0";
        QTest::newRow("typed, not listed") << 1 << " /dev/ttyACM0 " << "/dev/ttyACM0";
    }

    void shouldStoreTheDevicePath()
    {
        QFETCH(int, downs);
        QFETCH(QString, typed);
        QFETCH(QString, stored);
        PortChooser chooser(QStringLiteral("Choose"),
                            {{"/dev/serial/by-id/usb-FTDI_FT232R-if00-port0", "usb-FTDI_FT232R-if00-port0 (ttyUSB0)"},
                             {"/dev/ttyUSB0", "/dev/ttyUSB0 - FT232R USB UART"}, {"/dev/ttyS0", "/dev/ttyS0"}});
        chooser.show();
        QVERIFY(QTest::qWaitForWindowExposed(&chooser));
        auto *list = DialogTest::child<QComboBox>(&chooser, QStringLiteral("PortList"));
        for (int i = 0; i < downs; ++i)
            QTest::keyClick(list, Qt::Key_Down);
        list->lineEdit()->selectAll();
        QTest::keyClicks(list->lineEdit(), typed);
        auto *buttons = DialogTest::child<QDialogButtonBox>(&chooser, QStringLiteral("PortButtons"));
        QTest::mouseClick(buttons->button(QDialogButtonBox::Ok), Qt::LeftButton);
        QCOMPARE(chooser.result(), int(QDialog::Accepted));
        QCOMPARE(chooser.chosenPort(), stored);
    }
};

ZAVO_SUITE(TestPortChooser)
#include "tst_portchooser.moc"
