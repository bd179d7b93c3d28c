// The main window over a live link: which keys, clicks, right presses, hover
// and panels reach the link and the dialogs, held keys, Escape's pause, the
// window's place and what its closing writes, and the signals that close it.
// The link's bytes are in tests/link.
#include "app/displayplatform.h"
#include "app/quitsignals.h"
#include "dialogs/editmsg.h"
#include "dialogs/frmabout.h"
#include "dialogs/speed.h"
#include "rig.h"
#include "../faults/storefiles.h"

#include <QAccessible>
#include <QLineEdit>
#include <QMessageBox>
#include <QScreen>
#include <QTextBrowser>
#include <QTimer>

#include <csignal>
#include <cstring>
#include <unistd.h>

#include <xcb/xcb.h>

using namespace Zavo;

namespace {

QLineEdit *textBox(QWidget *window, const char *name)
{
    return window->findChild<QLineEdit *>(QLatin1String(name));
}

void click(QWidget *dialog, const char *button)
{
    QTest::mouseClick(dialog->findChild<QPushButton *>(QLatin1String(button)), Qt::LeftButton);
}

class CloseCounter : public QWidget
{
public:
    int closes = 0;

protected:
    void closeEvent(QCloseEvent *event) override
    {
        ++closes;
        QWidget::closeEvent(event);
    }
};

} // namespace

class WindowTest : public QObject
{
    Q_OBJECT

private slots:
    void init() { QCoreApplication::processEvents(); }

    // The buttons post their keys (keys pressed on a control reach the link
    // as heldKeysActOnce shows; what each sends is the link's test). Hover
    // names the message in panel 1, unless tuning or with the link down.
    void buttonsAndHover()
    {
        Rig rig;
        QVERIFY(rig.up());
        const auto hover = [&rig](const QString &message, QPoint at) {
            Settings.Message2 = message;
            QMouseEvent move(QEvent::MouseMove, at, rig.button("Msg2")->mapToGlobal(at), Qt::NoButton,
                             Qt::NoButton, Qt::NoModifier);
            QApplication::sendEvent(rig.button("Msg2"), &move);
        };
        hover(QStringLiteral("HOVER"), QPoint(5, 5));
        QTRY_COMPARE(rig.panel(1), QStringLiteral("HOVER"));
        hover(QString(), QPoint(8, 6));
        QTRY_COMPARE(rig.panel(1), QString());
        for (int n = 1; n <= 5; ++n)
            Settings.message(n) = QStringLiteral("M%1").arg(n);
        for (const auto &[button, bytes] : {std::pair<const char *, QByteArray>{"Msg1", "M1"}, {"Msg2", "M2"},
                                            {"Msg3", "M3"}, {"Msg4", "M4"}, {"Msg5", "M5"},
                                            {"Tune", QByteArray::fromHex("0b01")}}) {
            rig.mark();
            QTest::mouseClick(rig.button(button), Qt::LeftButton);
            QCOMPARE(rig.settle(300), bytes);
        }
        hover(QStringLiteral("HOVER"), QPoint(10, 5));
        QTest::qWait(100);
        QCOMPARE(rig.panel(1), QStringLiteral("Tune"));
        QVERIFY(rig.unplug());
        QTRY_COMPARE(rig.panel(1), KeyerLink::kLostText);
        hover(QStringLiteral("HOVER"), QPoint(5, 5));
        QTest::qWait(100);
        QCOMPARE(rig.panel(1), KeyerLink::kLostText);
        // Q is swallowed before any control of the window sees it.
        auto *box = new QLineEdit(rig.window.get());
        box->show();
        box->setFocus();
        QTest::keyClicks(box, QStringLiteral("aqQz"));
        QCOMPARE(box->text(), QStringLiteral("aQz"));
    }

    void heldKeysActOnce()
    {
        Rig rig;
        QVERIFY(rig.up());
        Settings.Message2 = QStringLiteral("TEST");
        // The X server's event reaches the window's filter before Qt's key event.
        auto send = [&rig](QEvent::Type type, int key, quint32 code, quint32 time, bool repeat = false) {
            xcb_key_press_event_t x{};
            x.response_type = type == QEvent::KeyPress ? XCB_KEY_PRESS : XCB_KEY_RELEASE;
            x.detail = static_cast<xcb_keycode_t>(code);
            x.time = time;
            qintptr result = 0;
            QAbstractEventDispatcher::instance()->filterNativeEvent("xcb_generic_event_t", &x, &result);
            QKeyEvent event(type, key, Qt::NoModifier, code, 0, 0, QString(), repeat);
            QApplication::sendEvent(rig.button("Msg1"), &event);
        };
        // Held down: repeats Qt recognised, then release-press pairs that
        // share the X server's time but reached the program apart.
        for (const auto &[key, code] : {std::pair{Qt::Key_F2, 68u}, std::pair{Qt::Key_F6, 72u}}) {
            send(QEvent::KeyPress, key, code, 1000);
            send(QEvent::KeyPress, key, code, 1100, true);
            for (quint32 t = 1200; t < 1600; t += 100) {
                send(QEvent::KeyRelease, key, code, t);
                send(QEvent::KeyPress, key, code, t);
            }
            send(QEvent::KeyRelease, key, code, 1650);
        }
        QCOMPARE(rig.settle(), QByteArray("TEST") + QByteArray::fromHex("0b01"));
        send(QEvent::KeyPress, Qt::Key_F6, 72, 2000); // a new press
        QVERIFY(!TuneOn);
    }

    void inputHeldThroughTheAbortPause_data()
    {
        QTest::addColumn<bool>("close");
        QTest::newRow("acted on after it") << false;
        QTest::newRow("dropped with the window") << true;
    }

    // A right press 300 ms into the pause is held: acted on only when the
    // pause is over, and never when the window closes then, which shuts the
    // link. F2 pressed then goes to the link at once and keeps its turn
    // before a logger's text that comes after it.
    void inputHeldThroughTheAbortPause()
    {
        QFETCH(bool, close);
        Rig rig;
        QVERIFY(rig.up());
        Settings.Message2 = QStringLiteral("TEST");
        bool pressed = false;
        bool heldThroughout = false;
        QTimer::singleShot(300, rig.window.get(), [&] {
            rig.key(Qt::Key_F2);
            QVERIFY(rig.window->link().networkRequest(Cwdaemon::parse("tu")));
            QTest::mousePress(rig.button("Msg2"), Qt::RightButton);
            pressed = true;
            heldThroughout = rig.panel(1) == QLatin1String("Aborted!") && !Rig::topLevel<EditMsg>();
            if (close)
                rig.window->close();
        });
        rig.key(Qt::Key_Escape);
        QTRY_VERIFY(pressed);
        QVERIFY(heldThroughout);
        if (!close)
            QTRY_COMPARE(rig.window->link().state(), KeyerLink::State::Idle);
        QCOMPARE(rig.settle(400), close ? QByteArray("\x0a") : QByteArray("\x0a" "TEST" "\x1c\x19" "TU" "\x1e"));
        QCOMPARE(Rig::topLevel<EditMsg>() != nullptr, !close);
        QCOMPARE(rig.window->port().isOpen(), !close);
    }

    // A right press opens the editor on that message and sends nothing; the
    // same message again keeps what was typed, another one reloads it. Panels
    // open help, About and the settings, once each, and the settings' Update
    // starts the chip again. Closing the window closes them all.
    void dialogsFromButtonsAndPanels()
    {
        Rig rig;
        QVERIFY(rig.up());
        QCOMPARE(QAccessible::queryAccessibleInterface(rig.window.get())->role(), QAccessible::Window);
        Settings.Message2 = QStringLiteral("TWO");
        Settings.Message4 = QStringLiteral("FOUR");
        QTest::mousePress(rig.button("Msg2"), Qt::RightButton);
        auto *editor = Rig::topLevel<EditMsg>();
        QVERIFY(editor);
        QLineEdit *text = textBox(editor, "Text1");
        QCOMPARE(text->text(), QStringLiteral("TWO"));
        text->setText(QStringLiteral("TWO TYPED"));
        QTest::mousePress(rig.button("Msg2"), Qt::RightButton);
        QCOMPARE(text->text(), QStringLiteral("TWO TYPED"));
        QTest::mousePress(rig.button("Msg4"), Qt::RightButton);
        QCOMPARE(Rig::topLevel<EditMsg>(), editor);
        QCOMPARE(text->text(), QStringLiteral("FOUR"));
        QCOMPARE(rig.settle(), QByteArray());
        rig.clickPanel(3);
        click(Rig::topLevel<Speed>(), "UpdateCmd");
        QTRY_VERIFY(!Rig::topLevel<Speed>());
        QTRY_COMPARE_WITH_TIMEOUT(rig.since(), seedStartupBytes(), 5000);
        rig.clickPanel(2);
        auto *about = Rig::topLevel<frmAbout>();
        QVERIFY(about);
        rig.clickPanel(2);
        QCOMPARE(Rig::topLevel<frmAbout>(), about);
        QVERIFY(!rig.window->findChild<QTextBrowser *>());
        rig.clickPanel(3);
        QVERIFY(Rig::topLevel<Speed>());
        rig.clickPanel(1);
        QTRY_VERIFY(rig.window->findChild<QTextBrowser *>(QStringLiteral("HelpViewer")));
        rig.window->close();
        QTRY_VERIFY(!Rig::topLevel<Speed>() && !Rig::topLevel<frmAbout>() && !Rig::topLevel<EditMsg>());
        QTRY_VERIFY(!rig.window->findChild<QTextBrowser *>());
    }

    void placeAndOnTopFromTheStore_data()
    {
        QTest::addColumn<QStringList>("stored"); // FormTop, FormLeft, OnTop
        QTest::addColumn<QPoint>("at");          // (-1, -1): anywhere on the screen
        QTest::newRow("stored place, on top") << QStringList{"1200", "1800", "1"} << QPoint(120, 80);
        QTest::newRow("off the screen") << QStringList{"-90000", "not a number", "true"} << QPoint(-1, -1);
        QTest::newRow("10^25") << QStringList{"10000000000000000000000000", "1e400", " 1"} << QPoint(-1, -1);
    }

    void placeAndOnTopFromTheStore()
    {
        QFETCH(QStringList, stored);
        QFETCH(QPoint, at);
        Rig rig;
        QVERIFY(rig.start());
        const QString windows = QStringLiteral("Windows Settings");
        const QStringList keys{QStringLiteral("FormTop"), QStringLiteral("FormLeft"), QStringLiteral("OnTop")};
        for (int i = 0; i < 3; ++i)
            rig.store->SaveSetting(windows, keys[i], stored[i]);
        QVERIFY(rig.load());
        if (at.x() >= 0)
            QCOMPARE(rig.window->pos(), at);
        QVERIFY(QGuiApplication::primaryScreen()->availableGeometry().contains(rig.window->geometry().topLeft()));
        QCOMPARE(rig.window->windowFlags().testFlag(Qt::WindowStaysOnTopHint), stored[2] == QLatin1String("1"));
    }

    void waylandDesktops_data()
    {
        QTest::addColumn<QStringList>("environment");
        QTest::addColumn<QByteArray>("asked"); // empty: Qt's own choice
        const QByteArray x11 = "xcb;wayland";
        QTest::newRow("GNOME on Wayland") << QStringList{"DISPLAY=:0", "WAYLAND_DISPLAY=wayland-0"} << x11;
        QTest::newRow("session type") << QStringList{"DISPLAY=:1", "XDG_SESSION_TYPE=wayland", "QT_QPA_PLATFORM="} << x11;
        QTest::newRow("operator's choice") << QStringList{"DISPLAY=:0", "WAYLAND_DISPLAY=w", "QT_QPA_PLATFORM=wayland"} << QByteArray();
        QTest::newRow("no XWayland") << QStringList{"WAYLAND_DISPLAY=wayland-0"} << QByteArray();
        QTest::newRow("X11 session") << QStringList{"DISPLAY=:0", "XDG_SESSION_TYPE=x11"} << QByteArray();
    }

    // Through XWayland the window stands where it was and stays on top;
    // natively its place is Qt's guess, and the close must not store it.
    void waylandDesktops()
    {
        QFETCH(QStringList, environment);
        QFETCH(QByteArray, asked);
        QProcessEnvironment env;
        for (const QString &entry : environment)
            env.insert(entry.section(QLatin1Char('='), 0, 0), entry.section(QLatin1Char('='), 1));
        QCOMPARE(DisplayPlatform::toAsk(env), asked);
        QVERIFY(!DisplayPlatform::placeIsKnown(QStringLiteral("wayland-egl")));
        QVERIFY(DisplayPlatform::placeIsKnown(QStringLiteral("xcb")));
    }

    void quitSignalsCloseOnce_data()
    {
        QTest::addColumn<int>("signal");
        QTest::addColumn<int>("raised"); // before the loop runs; 0: once, under a modal box
        for (const int quit : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
            QTest::addRow("SIG%s", sigabbrev_np(quit)) << quit << 1;
        QTest::newRow("SIGHUP burst") << SIGHUP << 5000;
        QTest::newRow("SIGTERM under a box") << SIGTERM << 0;
    }

    // A quit signal closes the window once and ends every event loop, a
    // modal box's too; a burst with nothing reading must not wedge the
    // handler. (What the close itself sends and stores has tests of its own.)
    void quitSignalsCloseOnce()
    {
        QFETCH(int, signal);
        QFETCH(int, raised);
        CloseCounter window;
        closeOnQuitSignals(&window);
        ::alarm(20); // a handler blocked on a full socket would hang for good
        for (int i = 0; i < raised; ++i)
            ::raise(signal);
        ::alarm(0);
        if (raised == 0) {
            QTimer::singleShot(0, &window, [signal] {
                QTimer::singleShot(0, [signal] { ::raise(signal); });
                // No escape button: the box refuses to be closed.
                QMessageBox(QMessageBox::Question, QString(), QStringLiteral("Save?"),
                            QMessageBox::Save | QMessageBox::Discard).exec();
            });
        }
        QTimer::singleShot(30000, &window, [] { QCoreApplication::exit(99); }); // no signal came
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(window.closes, 1);
        QCOMPARE(quitSignal(), signal);
        for (const int quit : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
            std::signal(quit, SIG_DFL);
    }

    // The start-up's box for a port that cannot be opened is opened, not
    // run: a quit signal while it is up ends the program's one event loop.
    void quitSignalUnderAStartUpBox()
    {
        Rig rig;
        QVERIFY(rig.start());
        rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"),
                               rig.dir.filePath(QStringLiteral("none")));
        ZavoMain::Hooks hooks;
        rig.record(hooks);
        hooks.message = nullptr; // the window's own box
        rig.window = std::make_unique<ZavoMain>(*rig.store, hooks);
        closeOnQuitSignals(rig.window.get());
        QVERIFY(rig.window->load());
        QTimer raiser;
        QObject::connect(&raiser, &QTimer::timeout, [&raiser] {
            if (Rig::topLevel<QMessageBox>()) {
                raiser.stop();
                ::raise(SIGTERM);
            }
        });
        raiser.start(20);
        QTimer::singleShot(10000, rig.window.get(), [] { QCoreApplication::exit(99); });
        QCOMPARE(QCoreApplication::exec(), 0);
        QCOMPARE(quitSignal(), SIGTERM);
        QCOMPARE(rig.window->link().state(), KeyerLink::State::Closing);
        delete Rig::topLevel<QMessageBox>();
        for (const int quit : {SIGTERM, SIGINT, SIGHUP, SIGQUIT})
            std::signal(quit, SIG_DFL);
    }

    // A file written by hand: loading writes nothing, and a line the INI rules
    // read otherwise than it was typed is named in one message box; closing
    // writes the place and nothing else. (How a write keeps the rest of a
    // file, and adds a key that is missing, is the store's test.)
    void closingWritesOnlyThePlace()
    {
        Rig rig;
        QVERIFY(rig.start(false));
        const QString path = rig.store->location();
        const QByteArray file = "; My keyer -- do not lose my notes\r\n[Parameters]\r\nComPort = "
            + rig.sim.linkPath().toUtf8() + "\r\nUnknown Key=kept as it is\r\n\r\n[Messages]\r\nMessage2=CQ ; DE X\r\n"
            + "[Windows Settings]\r\n  FormTop = 6825\r\nFormLeft=\"7920\"\r\n";
        QVERIFY(writeBytes(path, file));
        QVERIFY(rig.load());
        QCOMPARE(readBytes(path), file);
        const QStringList handEdits = rig.messages.filter(QStringLiteral("edited by hand"));
        QCOMPARE(handEdits.size(), 1);
        QVERIFY(handEdits.first().contains(QLatin1String("[Messages] Message2")));
        QVERIFY(rig.moveToKnownPlace());
        rig.window->close();
        QCOMPARE(readBytes(path), QByteArray(file).replace("6825", "1200").replace("\"7920\"", "1800"));
    }

    void failedWriteIsToldOnce_data()
    {
        QTest::addColumn<QString>("told");    // what the one message names
        QTest::addColumn<QString>("section"); // where the Update writes; empty: the close
        QTest::newRow("close") << "the window position" << "";
        QTest::newRow("settings Update") << "the keyer settings" << "Parameters";
        QTest::newRow("editor Update") << "message 3" << "Messages";
    }

    // The file grows past a file size limit halfway through the new copy: the
    // operator hears it once, from the action that failed, and what it wrote.
    // (What the store keeps and says then is the store's test.)
    void failedWriteIsToldOnce()
    {
        QFETCH(QString, told);
        QFETCH(QString, section);
        Rig rig({QStringLiteral("--fast")});
        QVERIFY(rig.up());
        QStringList reports;
        rig.store->setErrorReporter([&reports](const QString &text) { reports << text; });
        QVERIFY(rig.moveToKnownPlace());
        {
            FileSizeLimit limit(readBytes(rig.store->location()).size() / 2);
            QVERIFY(limit.isActive());
            if (section.isEmpty()) {
                rig.window->close();
                rig.store->reportUnsaved(SettingsStore::Moment::Exiting); // as the program ends
            } else if (section == QLatin1String("Messages")) {
                QTest::mousePress(rig.button("Msg3"), Qt::RightButton);
                textBox(Rig::topLevel<EditMsg>(), "Text1")->setText(QStringLiteral("QRL?"));
                click(Rig::topLevel<EditMsg>(), "Command1");
            } else {
                rig.clickPanel(3);
                textBox(Rig::topLevel<Speed>(), "WgtText")->setText(QStringLiteral("060"));
                click(Rig::topLevel<Speed>(), "UpdateCmd");
                QTRY_VERIFY(!Rig::topLevel<Speed>());
            }
        }
        QCOMPARE(reports.size(), 1);
        QVERIFY2(reports.first().contains(told), qPrintable(reports.first()));
    }

    // Binary garbage is no settings file: the program says so, does not start,
    // and nothing writes into it.
    void storeTheProgramCannotUse()
    {
        Rig rig;
        QVERIFY(rig.start(false));
        const QByteArray garbage("\x7f" "ELF\x02\x01\x01\0\0\0\x1b[0m\xff\xfe", 16);
        const QString path = rig.store->location();
        QVERIFY(writeBytes(path, garbage));
        rig.makeWindow();
        QVERIFY(!rig.window->load());
        QTRY_COMPARE(rig.terminations, QList<int>{EXIT_FAILURE});
        QCOMPARE(rig.messages.size(), 1);
        QVERIFY2(rig.messages.first().contains(path), qPrintable(rig.messages.first()));
        rig.window->close();
        QCOMPARE(readBytes(path), garbage);
        QCOMPARE(rig.sim.received(), QByteArray());
    }

    // The link asks the window for a port and tells why it is down: the
    // chooser's answer is used, the reason goes to panel 1.
    void linkQuestionsAndReasonsReachTheOperator()
    {
        Rig rig;
        QVERIFY(rig.start());
        rig.store->SaveSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort"),
                               rig.dir.filePath(QStringLiteral("none")));
        rig.chooserAnswer = rig.sim.linkPath();
        QVERIFY(rig.load());
        QCOMPARE(rig.chooserShown, 1);
        QVERIFY(rig.unplug());
        const QLabel *panel1 = rig.window->statusBar().panel(1);
        QTRY_VERIFY2(panel1->toolTip().contains(QLatin1String("the device")), qPrintable(panel1->toolTip()));
    }
};

QTEST_MAIN(WindowTest)
#include "tst_window.moc"
