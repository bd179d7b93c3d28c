// The settings store, the seed a first run writes and the loading of the
// keyer record. Every store here lives in a temporary folder; the operator's
// own store is never touched (the user-scope path is moved there too).
#include "keyer/protocol.h"
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QScopeGuard>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

#include <unistd.h>

namespace {

const QString kParameters = QStringLiteral("Parameters");
const QString kSpeed = QStringLiteral("Speed Settings");
const QString kMessages = QStringLiteral("Messages");

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

// QSettings shares one cache per file name within a process, so a second
// store on the same path could be answered from memory. A copy under another
// name can only be answered from what reached the disk.
QString diskCopy(const QString &path)
{
    static int count = 0;
    const QString copy = path + QStringLiteral(".copy%1.ini").arg(++count);
    QFile::remove(copy);
    if (!QFile::copy(path, copy))
        return {};
    return copy;
}

} // namespace

class SettingsStoreTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void valueRoundTripsThroughTheFile_data();
    void valueRoundTripsThroughTheFile();
    void missingKeyReadsEmpty();
    void otherFileOrApplicationReadsEmpty();
    void eachWriteIsOnDiskAtOnce();
    void existsOnlyAfterTheFirstWrite();
    void unwritableStoreReportsOnce_data();
    void unwritableStoreReportsOnce();

    void seedWritesThePortAndTheWholeTable();
    void seedMessagesFitTheChip();
    void seedParametersGiveACleanBlock();

    void loadUpperCasesMessagesOnly();
    void loadWithoutMessagesGivesEmptyMessages();
    void loadKeepsParameterTextsAsStored();
    void loadMinSpeed_data();
    void loadMinSpeed();
    void resetClearsRecordAndRuntimeState();

private:
    QString freshPath(const QString &name = QStringLiteral("store.ini"));

    QTemporaryDir m_userScope;
    std::unique_ptr<QTemporaryDir> m_dir;
};

void SettingsStoreTest::initTestCase()
{
    QVERIFY(m_userScope.isValid());
    // On Unix the native format is the INI format; both point here now.
    QSettings::setPath(QSettings::IniFormat, QSettings::UserScope, m_userScope.path());
    QSettings::setPath(QSettings::NativeFormat, QSettings::UserScope, m_userScope.path());
}

void SettingsStoreTest::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    QVERIFY(m_dir->isValid());
    Zavo::resetProcessState();
}

QString SettingsStoreTest::freshPath(const QString &name)
{
    return m_dir->filePath(name);
}

void SettingsStoreTest::valueRoundTripsThroughTheFile_data()
{
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("value");

    QTest::newRow("plain") << kMessages << "CQ CQ DE MYCALL K";
    QTest::newRow("leading blanks") << kMessages << "  CQ";
    QTest::newRow("trailing blanks") << kMessages << "CQ  ";
    QTest::newRow("blanks only") << kMessages << "   ";
    QTest::newRow("double quotes") << kMessages << "say \"hi\"";
    QTest::newRow("quoted whole") << kMessages << "\"quoted\"";
    QTest::newRow("single quote") << kMessages << "it's";
    QTest::newRow("comma") << kMessages << "a,b";
    QTest::newRow("comma and blank") << kMessages << "TU, 73";
    QTest::newRow("trailing comma") << kMessages << "5NN,";
    QTest::newRow("punctuation") << kMessages << "= ; < > @ / :";
    QTest::newRow("at first") << kMessages << "@home";
    QTest::newRow("at variant") << kMessages << "@Variant(abc)";
    QTest::newRow("at byte array") << kMessages << "@ByteArray(x)";
    QTest::newRow("key=value") << kMessages << "key=value";
    QTest::newRow("semicolon first") << kMessages << "; not a comment";
    QTest::newRow("hash first") << kMessages << "# not a comment";
    QTest::newRow("section look-alike") << kMessages << "[Messages]";
    QTest::newRow("backslashes") << kParameters << "C:\\ports\\COM3";
    QTest::newRow("trailing backslash") << kParameters << "end\\";
    QTest::newRow("escape look-alike") << kParameters << "\\n\\x41";
    QTest::newRow("leading zero") << kParameters << "050";
    QTest::newRow("number with blanks") << kParameters << " 12.5 ";
    QTest::newRow("true") << kParameters << "true";
    QTest::newRow("empty") << kParameters << "";
    QTest::newRow("non-ASCII") << kMessages << QStringLiteral("Gr\u00fc\u00dfe \u00c4\u00d6\u00dc \u65e5\u672c \u2014 \u00e9");
    QTest::newRow("tab") << kMessages << "a\tb";
    QTest::newRow("line break") << kMessages << "one\ntwo";
    QTest::newRow("section with a blank") << kSpeed << "35";
}

void SettingsStoreTest::valueRoundTripsThroughTheFile()
{
    QFETCH(QString, section);
    QFETCH(QString, value);

    const QString path = freshPath();
    const QString key = QStringLiteral("Message1");
    {
        SettingsStore store(path);
        QVERIFY(store.SaveSetting(section, key, value));
        QCOMPARE(store.GetSetting(section, key), value);
        // A neighbour written after it must not disturb it.
        QVERIFY(store.SaveSetting(section, QStringLiteral("Message2"), QStringLiteral("x")));
    }
    const QString copy = diskCopy(path);
    QVERIFY(!copy.isEmpty());
    SettingsStore fromDisk(copy);
    QCOMPARE(fromDisk.GetSetting(section, key), value);
    QCOMPARE(fromDisk.GetSetting(section, QStringLiteral("Message2")), QStringLiteral("x"));
    SettingsStore reopened(path);
    QCOMPARE(reopened.GetSetting(section, key), value);
}

void SettingsStoreTest::missingKeyReadsEmpty()
{
    const QString path = freshPath();
    SettingsStore store(path);
    QCOMPARE(store.GetSetting(kParameters, QStringLiteral("ComPort")), QString());
    QVERIFY(store.SaveSetting(kParameters, QStringLiteral("ComPort"), QStringLiteral("3")));
    QCOMPARE(store.GetSetting(kParameters, QStringLiteral("Weight")), QString());
    QCOMPARE(store.GetSetting(kMessages, QStringLiteral("ComPort")), QString());
    QCOMPARE(store.GetSetting(QStringLiteral("No Such Section"), QStringLiteral("ComPort")), QString());
    // Keys are whole names, not prefixes.
    QCOMPARE(store.GetSetting(kParameters, QStringLiteral("ComPor")), QString());
    QCOMPARE(store.GetSetting(kParameters, QStringLiteral("ComPort1")), QString());
}

void SettingsStoreTest::otherFileOrApplicationReadsEmpty()
{
    SettingsStore own;
    QCOMPARE(QFileInfo(own.location()).absoluteFilePath(),
             QDir(m_userScope.path()).absoluteFilePath(QStringLiteral("Vardel Zavo Keyer.conf")));
    const QString key = QStringLiteral("MaxSpeed");
    const QString value = QStringLiteral("own-%1").arg(QCoreApplication::applicationPid());
    QVERIFY(own.SaveSetting(kSpeed, key, value));
    QCOMPARE(own.GetSetting(kSpeed, key), value);
    QVERIFY(fileBytes(own.location()).contains(value.toLatin1()));

    QSettings otherApplication(QSettings::NativeFormat, QSettings::UserScope,
                               QStringLiteral("Vardel Other Keyer"));
    QVERIFY(otherApplication.fileName() != own.location());
    QCOMPARE(otherApplication.value(kSpeed + QLatin1Char('/') + key).toString(), QString());

    SettingsStore otherFile(freshPath(QStringLiteral("other.ini")));
    QCOMPARE(otherFile.GetSetting(kSpeed, key), QString());
}

void SettingsStoreTest::eachWriteIsOnDiskAtOnce()
{
    const QString path = freshPath();
    SettingsStore writer(path);
    SettingsStore earlyReader(path);
    const QStringList values = {QStringLiteral("17"), QStringLiteral("18"), QStringLiteral("19")};
    for (const QString &value : values) {
        QVERIFY(writer.SaveSetting(kSpeed, QStringLiteral("MinSpeed"), value));
        // Still open: nothing may wait for the store to be closed.
        const QString copy = diskCopy(path);
        QVERIFY(!copy.isEmpty());
        QCOMPARE(SettingsStore(copy).GetSetting(kSpeed, QStringLiteral("MinSpeed")), value);
        QCOMPARE(SettingsStore(path).GetSetting(kSpeed, QStringLiteral("MinSpeed")), value);
        QCOMPARE(earlyReader.GetSetting(kSpeed, QStringLiteral("MinSpeed")), value);
    }
}

void SettingsStoreTest::existsOnlyAfterTheFirstWrite()
{
    const QString path = freshPath(QStringLiteral("sub/store.ini"));
    SettingsStore store(path);
    QVERIFY(!store.exists());
    QCOMPARE(store.GetSetting(kParameters, QStringLiteral("ComPort")), QString());
    QVERIFY(!store.exists()); // reading creates nothing
    QVERIFY(!QFile::exists(path));
    QVERIFY(store.SaveSetting(kParameters, QStringLiteral("ComPort"), QStringLiteral("3")));
    QVERIFY(store.exists());
    QVERIFY(SettingsStore(path).exists());
    QCOMPARE(store.location(), path);
}

void SettingsStoreTest::unwritableStoreReportsOnce_data()
{
    QTest::addColumn<bool>("readOnlyFolder"); // else: the folder's place is taken by a plain file

    QTest::newRow("read-only folder") << true;
    QTest::newRow("folder is a file") << false;
}

void SettingsStoreTest::unwritableStoreReportsOnce()
{
    QFETCH(bool, readOnlyFolder);

    const QString folder = freshPath(QStringLiteral("locked"));
    if (readOnlyFolder) {
        if (::geteuid() == 0)
            QSKIP("root writes into read-only folders anyway");
        QVERIFY(QDir().mkpath(folder));
        QVERIFY(QFile::setPermissions(folder, QFile::ReadOwner | QFile::ExeOwner));
    } else {
        QFile plain(folder);
        QVERIFY(plain.open(QIODevice::WriteOnly));
    }
    // Give the folder back even when a check fails, so that it can be removed.
    const auto unlock = qScopeGuard([&folder] {
        QFile::setPermissions(folder, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    });
    const QString path = folder + QStringLiteral("/store.ini");

    QStringList reports;
    {
        SettingsStore store(path);
        store.setErrorReporter([&reports](const QString &message) { reports << message; });
        QVERIFY(!store.SaveSetting(kParameters, QStringLiteral("ComPort"), QStringLiteral("3")));
        QVERIFY(!store.SaveSetting(kParameters, QStringLiteral("Weight"), QStringLiteral("50")));
        QVERIFY(!store.SaveSetting(kMessages, QStringLiteral("Message1"), QStringLiteral("CQ")));
        QVERIFY(!store.exists());
    }
    QCOMPARE(reports.size(), 1);
    QVERIFY2(reports.first().contains(path), qPrintable(reports.first()));

    // Without a reporter a failing write is still reported by its result.
    SettingsStore silent(path);
    QVERIFY(!silent.SaveSetting(kParameters, QStringLiteral("ComPort"), QStringLiteral("3")));
}

void SettingsStoreTest::seedWritesThePortAndTheWholeTable()
{
    const QString path = freshPath();
    {
        SettingsStore store(path);
        Seed::seedStore(store, QStringLiteral("/dev/ttyUSB0"));
    }
    SettingsStore seeded(diskCopy(path));
    QCOMPARE(seeded.GetSetting(kParameters, QStringLiteral("ComPort")), QStringLiteral("/dev/ttyUSB0"));
    QVERIFY(!Seed::table().isEmpty());
    for (const Seed::Entry &entry : Seed::table()) {
        QVERIFY2(!entry.value.isEmpty(), qPrintable(entry.key));
        QCOMPARE(seeded.GetSetting(entry.section, entry.key), entry.value);
        QCOMPARE(Seed::value(entry.section, entry.key), entry.value);
    }
    QCOMPARE(seeded.GetSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormTop")),
             QStringLiteral("6825"));
    QCOMPARE(seeded.GetSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormLeft")),
             QStringLiteral("7920"));
    QCOMPARE(seeded.GetSetting(kSpeed, QStringLiteral("MinSpeed")), QStringLiteral("10"));
    QCOMPARE(seeded.GetSetting(kSpeed, QStringLiteral("MaxSpeed")), QStringLiteral("35"));
    QCOMPARE(Seed::value(kParameters, QStringLiteral("NoSuchKey")), QString());
    QCOMPARE(Seed::value(kParameters, QStringLiteral("ComPort")), QString());
}

void SettingsStoreTest::seedMessagesFitTheChip()
{
    // The message editor takes 32 characters and the chip keys only printable ASCII.
    for (int n = 1; n <= 5; ++n) {
        const QString message = Seed::value(kMessages, QStringLiteral("Message%1").arg(n));
        QVERIFY2(!message.isEmpty(), qPrintable(QString::number(n)));
        QVERIFY2(message.size() <= 32, qPrintable(message));
        for (const QChar c : message)
            QVERIFY2(c.unicode() >= 0x20 && c.unicode() <= 0x7E, qPrintable(message));
    }
    for (const Seed::Entry &entry : Seed::table()) {
        if (entry.section == kMessages)
            QVERIFY2(entry.key.startsWith(QLatin1String("Message")), qPrintable(entry.key));
    }
}

void SettingsStoreTest::seedParametersGiveACleanBlock()
{
    const QString path = freshPath();
    SettingsStore store(path);
    Seed::seedStore(store, QStringLiteral("3"));
    Zavo::loadKeyerSettings(store);
    const KeyerSettings &s = Zavo::Settings;
    QCOMPARE(s.MinSpeed, 10);
    QCOMPARE(s.ComPort, QStringLiteral("3"));

    const quint8 mode = Winkey::modeRegister(s.IambicMode, s.CTSpace, s.AutoSpace, s.PaddleSwap);
    const Winkey::ParameterBlock block =
        Winkey::parameterBlock(s, mode, Winkey::speedRange(s.MaxSpeed, s.MinSpeed));
    QStringList rejected;
    for (const Winkey::RejectedParameter &r : block.rejected)
        rejected << r.key + QLatin1Char('=') + r.text;
    QCOMPARE(rejected, QStringList());
    QCOMPARE(block.bytes.size(), Winkey::kParameterBlockSize);
    QCOMPARE(quint8(block.bytes.at(7)), quint8(10));
    QCOMPARE(quint8(block.bytes.at(8)), quint8(25));
}

void SettingsStoreTest::loadUpperCasesMessagesOnly()
{
    const QString path = freshPath();
    const QStringList stored = {QStringLiteral("cq cq de mycall k"), QStringLiteral("5nn tu"),
                                QStringLiteral("Tu 73 ee"), QStringLiteral("qrz?"),
                                QStringLiteral("ALREADY UPPER")};
    {
        SettingsStore store(path);
        for (int n = 1; n <= 5; ++n)
            QVERIFY(store.SaveSetting(kMessages, QStringLiteral("Message%1").arg(n), stored.at(n - 1)));
    }
    SettingsStore store(path);
    Zavo::loadKeyerSettings(store);
    for (int n = 1; n <= 5; ++n)
        QCOMPARE(Zavo::Settings.message(n), stored.at(n - 1).toUpper());
    QCOMPARE(Zavo::Settings.Message1, QStringLiteral("CQ CQ DE MYCALL K"));

    SettingsStore fromDisk(diskCopy(path));
    for (int n = 1; n <= 5; ++n)
        QCOMPARE(fromDisk.GetSetting(kMessages, QStringLiteral("Message%1").arg(n)), stored.at(n - 1));
}

void SettingsStoreTest::loadWithoutMessagesGivesEmptyMessages()
{
    const QString path = freshPath();
    SettingsStore store(path);
    QVERIFY(store.SaveSetting(kParameters, QStringLiteral("ComPort"), QStringLiteral("3")));
    QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("MinSpeed"), QStringLiteral("12")));
    // What a previous load left behind must not survive.
    for (int n = 1; n <= 5; ++n)
        Zavo::Settings.message(n) = QStringLiteral("OLD %1").arg(n);
    Zavo::loadKeyerSettings(store);
    for (int n = 1; n <= 5; ++n)
        QCOMPARE(Zavo::Settings.message(n), QString());
    QCOMPARE(Zavo::Settings.ComPort, QStringLiteral("3"));
    QCOMPARE(Zavo::Settings.MinSpeed, 12);
}

void SettingsStoreTest::loadKeepsParameterTextsAsStored()
{
    const QString path = freshPath();
    SettingsStore store(path);
    QVERIFY(store.SaveSetting(kParameters, QStringLiteral("IambicMode"), QStringLiteral("a")));
    QVERIFY(store.SaveSetting(kParameters, QStringLiteral("Weight"), QStringLiteral(" 50 ")));
    QVERIFY(store.SaveSetting(kParameters, QStringLiteral("ToneFreq"), QStringLiteral("12.5")));
    QVERIFY(store.SaveSetting(kParameters, QStringLiteral("ComPort"), QStringLiteral("ttyusb0")));
    QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("MaxSpeed"), QStringLiteral("fast")));
    QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("Farnsworth"), QStringLiteral("050")));
    Zavo::loadKeyerSettings(store);
    const KeyerSettings &s = Zavo::Settings;
    QCOMPARE(s.IambicMode, QStringLiteral("a"));
    QCOMPARE(s.Weight, QStringLiteral(" 50 "));
    QCOMPARE(s.ToneFreq, QStringLiteral("12.5"));
    QCOMPARE(s.ComPort, QStringLiteral("ttyusb0"));
    QCOMPARE(s.MaxSpeed, QStringLiteral("fast"));
    QCOMPARE(s.Farnsworth, QStringLiteral("050"));
    QCOMPARE(s.PotRange, QString());
}

void SettingsStoreTest::loadMinSpeed_data()
{
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("minSpeed");

    QTest::newRow("12") << true << "12" << 12;
    QTest::newRow("12.5 with blanks") << true << " 12.5 " << 12;
    QTest::newRow("13.5") << true << "13.5" << 14;
    QTest::newRow("5") << true << "5" << 5;
    QTest::newRow("missing") << false << "" << 10;
    QTest::newRow("empty") << true << "" << 10;
    QTest::newRow("abc") << true << "abc" << 10;
    QTest::newRow("exponent") << true << "1e1" << 10;
    QTest::newRow("beyond 32 bits") << true << "99999999999" << 10;
}

void SettingsStoreTest::loadMinSpeed()
{
    QFETCH(bool, present);
    QFETCH(QString, text);
    QFETCH(int, minSpeed);

    const QString path = freshPath();
    {
        SettingsStore store(path);
        QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("MaxSpeed"), QStringLiteral("35")));
        if (present)
            QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("MinSpeed"), text));
    }
    const QByteArray before = fileBytes(path);
    SettingsStore store(path);
    Zavo::Settings.MinSpeed = -7;
    Zavo::loadKeyerSettings(store);
    QCOMPARE(Zavo::Settings.MinSpeed, minSpeed);
    // Loading only reads: the store keeps the operator's text, or nothing.
    QCOMPARE(store.GetSetting(kSpeed, QStringLiteral("MinSpeed")), present ? text : QString());
    QCOMPARE(fileBytes(path), before);
}

void SettingsStoreTest::resetClearsRecordAndRuntimeState()
{
    Zavo::Settings.ComPort = QStringLiteral("3");
    Zavo::Settings.MinSpeed = 12;
    Zavo::Settings.Message5 = QStringLiteral("AGN?");
    Zavo::TuneOn = true;
    Zavo::XoffActive = true;
    Zavo::Reinit = true;
    Zavo::EditIndex = QStringLiteral("2");
    Zavo::CharIndex = 9;
    Zavo::ModeRegister = 0x11;
    Zavo::SpeedRange = QStringLiteral("25");

    Zavo::resetProcessState();
    QCOMPARE(Zavo::Settings.ComPort, QString());
    QCOMPARE(Zavo::Settings.MinSpeed, 0);
    QCOMPARE(Zavo::Settings.Message5, QString());
    QCOMPARE(Zavo::TuneOn, false);
    QCOMPARE(Zavo::XoffActive, false);
    QCOMPARE(Zavo::Reinit, false);
    QCOMPARE(Zavo::EditIndex, QString());
    QCOMPARE(Zavo::CharIndex, qint16(0));
    QCOMPARE(Zavo::ModeRegister, qint16(0));
    QCOMPARE(Zavo::SpeedRange, QString());
}

QTEST_GUILESS_MAIN(SettingsStoreTest)
#include "tst_settingsstore.moc"
