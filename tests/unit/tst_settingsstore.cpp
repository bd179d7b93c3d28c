// The settings store, the seed a first run writes and the loading of the
// keyer record. Every store here lives in a temporary folder. (Which file is
// the operator's own store, the end-to-end tests read.)
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "settings/settingstable.h"

#include "../faults/storefiles.h"
#include "suites.h"

namespace {

const QString kParameters = QStringLiteral("Parameters");
const QString kSpeed = QStringLiteral("Speed Settings");
const QString kMessages = QStringLiteral("Messages");

QString messageKey(int n)
{
    return QStringLiteral("Message%1").arg(n);
}

} // namespace

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void init()
    {
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY(m_dir->isValid());
        Zavo::resetProcessState();
    }

    // Reading makes no file; keys are whole names, not prefixes.
    void storeWithoutAFile()
    {
        const QString path = m_dir->filePath(QStringLiteral("sub/store.ini"));
        SettingsStore store(path);
        QCOMPARE(store.GetSetting(kParameters, QStringLiteral("ComPort")), QString());
        QVERIFY(!store.exists() && !QFile::exists(path));
        QVERIFY(store.SaveSetting(kParameters, QStringLiteral("ComPort"), QStringLiteral("3")));
        QVERIFY(SettingsStore(path).exists());
        for (const char *key : {"ComPor", "ComPort1"})
            QCOMPARE(store.GetSetting(kParameters, QLatin1String(key)), QString());
        QCOMPARE(store.GetSetting(kMessages, QStringLiteral("ComPort")), QString());
    }

    void seedWritesThePortAndTheWholeTable()
    {
        const QString path = storePath();
        {
            SettingsStore store(path);
            Seed::seedStore(store, QStringLiteral("/dev/ttyUSB0"));
        }
        SettingsStore seeded(path);
        // Everything but the port has a seed: the program reads every key without a default.
        for (const SettingsTable::Entry &entry : SettingsTable::entries()) {
            const bool isPort = entry.key == QLatin1String("ComPort");
            QCOMPARE(entry.seed.isEmpty(), isPort);
            QCOMPARE(seeded.GetSetting(entry.section, entry.key), isPort ? QStringLiteral("/dev/ttyUSB0") : entry.seed);
        }
    }

    void handTypedLines_data()
    {
        QTest::addColumn<QByteArray>("line"); // Message2's line, as typed
        QTest::addColumn<QString>("read");
        QTest::addColumn<bool>("noted");      // the operator hears how it was read

        QTest::newRow("unquoted comma") << QByteArray("Message2=CQ, CQ DE") << "CQ, CQ DE" << false;
        QTest::newRow("comment") << QByteArray("Message2=CQ ; DE X") << "CQ" << true;
        QTest::newRow("quoted semicolon") << QByteArray("Message2=\"CQ ; DE X\"") << "CQ ; DE X" << false;
        QTest::newRow("backslash") << QByteArray("Message2=TU\\73") << "TU;" << true;
        QTest::newRow("quotes inside") << QByteArray("Message2=5NN \"TU\"") << "5NN TU" << true;
    }

    // Read as typed where QSettings would make a list of it; otherwise as
    // the INI rules say, noted once however often it is read.
    void handTypedLines()
    {
        QFETCH(QByteArray, line);
        QFETCH(QString, read);
        QFETCH(bool, noted);

        const QString path = storePath();
        QVERIFY(writeBytes(path, "[Messages]\n" + line + "\nMessage3=x\n"));
        SettingsStore store(path);
        QCOMPARE(store.GetSetting(kMessages, messageKey(2)), read);
        QCOMPARE(store.GetSetting(kMessages, messageKey(2)), read);
        const QStringList notes = store.takeHandEditNotes();
        QCOMPARE(notes.size(), noted ? 1 : 0);
        if (noted)
            QVERIFY2(notes.first().startsWith(QLatin1String("[Messages] Message2")), qPrintable(notes.first()));
        // A write elsewhere leaves the line as it was typed.
        QVERIFY(store.SaveSetting(kMessages, messageKey(3), QStringLiteral("y")));
        QCOMPARE(readBytes(path), "[Messages]\n" + line + "\nMessage3=y\n");
    }

    // Deleted while the program runs: reads answer from what was read last,
    // and the next write puts the whole store back, even for no change.
    // Replaced: the new file is read, and a write keeps its content.
    void fileChangedWhileRunning()
    {
        const QString path = storePath();
        SettingsStore store(path);
        Seed::seedStore(store, QStringLiteral("3"));
        const QByteArray seeded = readBytes(path);
        const QString message3 = Seed::value(kMessages, messageKey(3));
        QVERIFY(QFile::remove(path));
        QCOMPARE(store.GetSetting(kMessages, messageKey(3)), message3);
        QVERIFY(store.SaveSetting(kMessages, messageKey(3), message3));
        QCOMPARE(readBytes(path), seeded);

        QByteArray edited = seeded;
        edited.replace("Message3=" + message3.toUtf8(), "; by hand\nMessage3=TU 73 GL");
        QVERIFY(writeBytes(path + QStringLiteral(".new"), edited));
        QVERIFY(QFile::remove(path) && QFile::rename(path + QStringLiteral(".new"), path));
        QCOMPARE(store.GetSetting(kMessages, messageKey(3)), QStringLiteral("TU 73 GL"));
        QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("MinSpeed"), QStringLiteral("12")));
        QCOMPARE(readBytes(path), QByteArray(edited).replace("MinSpeed=10", "MinSpeed=12"));
    }

    void loadKeyerRecord_data()
    {
        QTest::addColumn<QString>("minSpeedText"); // null: no such line
        QTest::addColumn<int>("minSpeed");

        QTest::newRow("12.5 with blanks") << " 12.5 " << 12;
        QTest::newRow("missing") << QString() << 10;
        QTest::newRow("abc") << "abc" << 10;
        QTest::newRow("beyond 32 bits") << "99999999999" << 10;
    }

    // Messages are keyed in capitals; every other text stays as the operator
    // typed it (the upload judges it); MinSpeed, the one number, is its seed
    // unless its text is a whole number; what a previous load left is gone;
    // loading only reads.
    void loadKeyerRecord()
    {
        QFETCH(QString, minSpeedText);
        QFETCH(int, minSpeed);

        const QString path = storePath();
        {
            SettingsStore store(path);
            QVERIFY(store.SaveSetting(kMessages, messageKey(1), QStringLiteral("cq de k")));
            QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("MaxSpeed"), QStringLiteral(" fast ")));
            if (!minSpeedText.isNull())
                QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("MinSpeed"), minSpeedText));
        }
        const QByteArray before = readBytes(path);
        Zavo::Settings.message(2) = QStringLiteral("OLD");
        Zavo::Settings.MinSpeed = -7;
        SettingsStore store(path);
        Zavo::loadKeyerSettings(store);
        QCOMPARE(Zavo::Settings.message(1), QStringLiteral("CQ DE K"));
        QCOMPARE(Zavo::Settings.message(2), QString());
        QCOMPARE(Zavo::Settings.MaxSpeed, QStringLiteral(" fast "));
        QCOMPARE(Zavo::Settings.MinSpeed, minSpeed);
        QCOMPARE(readBytes(path), before);
    }

private:
    QString storePath() const { return m_dir->filePath(QStringLiteral("store.ini")); }

    std::unique_ptr<QTemporaryDir> m_dir;
};

ZAVO_SUITE(SettingsStoreTest)
#include "tst_settingsstore.moc"
