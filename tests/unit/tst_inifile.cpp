// The settings file's INI dialect held against QSettings itself: whatever
// QSettings reads from a file (hand-typed oddities included) the store's
// parser reads the same, whatever QSettings writes for a text the store
// writes byte for byte, and a write changes the one value and nothing else.
#include "settings/inicodec.h"
#include "settings/inifile.h"
#include "suites.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QTest>

namespace {

// QSettings keeps one cache per file name in a process: every file here gets a name of its own.
QString freshFile(const QTemporaryDir &dir, const QByteArray &bytes)
{
    static int count = 0;
    const QString path = dir.filePath(QStringLiteral("f%1.ini").arg(++count));
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return {};
    return path;
}

QByteArray fileBytes(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool isList(const QVariant &value)
{
    return value.typeId() == QMetaType::QStringList || value.typeId() == QMetaType::QVariantList;
}

// What QSettings makes of a value, as a text (a list joined as the store
// joined lists before it read them as typed).
QString qsettingsText(const QVariant &value)
{
    if (value.typeId() == QMetaType::QStringList)
        return value.toStringList().join(QStringLiteral(", "));
    if (value.typeId() == QMetaType::QVariantList) {
        QStringList items;
        for (const QVariant &item : value.toList())
            items << item.toString();
        return items.join(QStringLiteral(", "));
    }
    return value.toString();
}

} // namespace

class IniFileTest : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase() { QVERIFY(m_dir.isValid()); }

    void filesReadAsQSettingsReadsThem_data()
    {
        QTest::addColumn<QByteArray>("bytes");

        // Hand-typed values: commas and quotes make lists, escapes of every kind, '@' types.
        for (const char *value :
             {"   5NN TU   ", "CQ, CQ DE", "TU,", "\"a\", \"b\"", "CQ ; DE X", "\"CQ ; DE X\"", "5NN \"TU\"",
              "  \"  x  \"  ", "say \\\"hi\\\"", "C:\\ports\\COM3", "CQ  \\", "a\\tb\\nc\\rd\\ae\\bf\\fg\\vh\\?\\'",
              "\\x41\\x1\\x62\\x", "\\x10041", "TU\\73 \\101\\0", "a=b", "@@home", "@ByteArray(xyz)", "@@a, b",
              "Gr\xc3\xbc\xc3\x9f" "e \xe6\x97\xa5", "Gr\xfc\xdf" "e", "\"\""})
            QTest::addRow("value %s", value) << "[Messages]\nMessage1=" + QByteArray(value) + "\nMessage2=after\n";

        QTest::newRow("comments and blank lines") << QByteArray(
            "; my keyer\n\n[Messages]  ; the five\n  Message1 = CQ  ; first\n# Message2=no\n\nMessage3=x;y\n");
        QTest::newRow("a key twice") << QByteArray("[Messages]\nMessage1=first\nMessage1=second\n");
        QTest::newRow("a section twice") << QByteArray(
            "[Speed Settings]\nMinSpeed=12\n[Messages]\nMessage1=a\n[Speed%20Settings]\nMaxSpeed=30\nMinSpeed=13\n");
        QTest::newRow("CRLF") << QByteArray("[Messages]\r\nMessage1=CQ\r\nMessage2=\"a,b\"\r\n");
        QTest::newRow("CR only") << QByteArray("[Messages]\rMessage1=CQ\rMessage2=x\r");
        QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbf[Messages]\nMessage1=CQ\n");
        QTest::newRow("unbalanced quote") << QByteArray(
            "[Messages]\nMessage1=\"open\nMessage2=b\nMessage3=\"c\nMessage4=d\n");
        QTest::newRow("continued line") << QByteArray("[Messages]\nMessage1=a\\\nb\nMessage2=c\n");
        QTest::newRow("keys before a section") << QByteArray("Loose=1\n[General]\nAlso=2\n[Messages]\nMessage1=x\n");
        QTest::newRow("line without equals") << QByteArray("[Messages]\nMessage1 CQ\nMessage2=x\n");
        QTest::newRow("broken header") << QByteArray("[Messages\nMessage1=x\n[Other] junk\nMessage2=y\n");
        QTest::newRow("escaped key") << QByteArray("[Messages]\nMessage%31=x\nMy%20Key=y\nA\\B=z\n");
        QTest::newRow("equals in quotes") << QByteArray("[Messages]\n\"a=b\"=c\nMessage1=x\n");
    }

    void filesReadAsQSettingsReadsThem()
    {
        QFETCH(QByteArray, bytes);
        const QString path = freshFile(m_dir, bytes);
        QVERIFY(!path.isEmpty());
        QSettings reference(path, QSettings::IniFormat);
        const QStringList keys = reference.allKeys();

        const IniFile file(bytes);
        QStringList found;
        for (const IniFile::Entry &entry : file.entries()) {
            const QString id = entry.section.isEmpty() ? entry.key : entry.section + QLatin1Char('/') + entry.key;
            if (!found.contains(id))
                found << id;
        }
        QStringList expected = keys;
        expected.sort();
        found.sort();
        QCOMPARE(found, expected);
        for (const QString &id : keys) {
            const qsizetype slash = id.indexOf(QLatin1Char('/'));
            const QString section = slash < 0 ? QString() : id.left(slash);
            const QString key = slash < 0 ? id : id.mid(slash + 1);
            const IniFile::Entry *entry = file.find(section, key);
            QVERIFY2(entry, qPrintable(id));
            const IniCodec::Decoded decoded = IniCodec::decodeValue(file.value(*entry));
            QCOMPARE(decoded.text, qsettingsText(reference.value(id)));
            QCOMPARE(decoded.isList, isList(reference.value(id)));
        }
    }

    void textsWrittenAsQSettingsWritesThem_data()
    {
        QTest::addColumn<QString>("text");

        for (const char *text : {"  CQ", "   ", "say \"hi\"", "TU, 73", "CQ ; DE", "a=b", "@home", "C:\\ports\\COM3", "",
                                 "\x7f" "x"})
            QTest::addRow("%s", text) << QString::fromLatin1(text);
        QTest::newRow("controls") << QStringLiteral("a\tb\nc\rd\ae\bf\fg\vh\x01" "b\x1f" "9");
        QTest::newRow("NUL") << QString(QChar(0)) + QStringLiteral("1a");
        QTest::newRow("non-ASCII") << QStringLiteral("Gr\u00fc\u00dfe \u65e5\u672c \u2014 \u00e9");
        QTest::newRow("beyond the BMP") << QStringLiteral("\U0001F4FB radio");
    }

    void textsWrittenAsQSettingsWritesThem()
    {
        QFETCH(QString, text);
        const QString path = freshFile(m_dir, QByteArray());
        {
            QSettings reference(path, QSettings::IniFormat);
            reference.setValue(QStringLiteral("Messages/Message1"), text);
        }
        const QByteArray written = fileBytes(path);
        const QByteArray prefix = "[Messages]\nMessage1=";
        QVERIFY2(written.startsWith(prefix), written.constData());
        QCOMPARE(IniCodec::encodeText(text), written.mid(prefix.size()).chopped(1));
        // And the store reads its own writing back unchanged.
        QCOMPARE(IniCodec::decodeValue(IniCodec::encodeText(text)).text, text);
    }

    void aWriteChangesOnlyItsValue_data()
    {
        QTest::addColumn<QByteArray>("before");
        QTest::addColumn<QString>("section");
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QByteArray>("after");

        const QByteArray handWritten =
            "; Zavo Keyer, set up by hand\n"
            "[Windows Settings]\n"
            "  FormTop = 6825   ; from the top\n"
            "FormLeft=7920\n"
            "\n"
            "[Messages]\n"
            "Message1 = CQ, CQ DE ME\n"
            "Unknown=kept\n";
        QTest::newRow("value with a comment") << handWritten << "Windows Settings" << "FormTop" << "1200"
            << QByteArray(handWritten).replace("6825", "1200");
        QTest::newRow("value to quote") << handWritten << "Messages" << "Message1" << "TU, 73"
            << QByteArray(handWritten).replace("CQ, CQ DE ME", "\"TU, 73\"");
        QTest::newRow("new key in a section") << handWritten << "Windows Settings" << "OnTop" << "1"
            << QByteArray(handWritten).replace("FormLeft=7920\n", "FormLeft=7920\nOnTop=1\n");
        QTest::newRow("new section") << handWritten << "Speed Settings" << "MinSpeed" << "12"
            << handWritten + "\n[Speed%20Settings]\nMinSpeed=12\n";
        QTest::newRow("no final line break") << QByteArray("[Messages]\nMessage1=CQ") << "Messages" << "Message2"
            << "5NN" << QByteArray("[Messages]\nMessage1=CQ\nMessage2=5NN\n");
        QTest::newRow("CRLF kept") << QByteArray("[Messages]\r\nMessage1=CQ\r\n\r\n[Other]\r\nX=1\r\n")
            << "Messages" << "Message2" << "5NN"
            << QByteArray("[Messages]\r\nMessage1=CQ\r\nMessage2=5NN\r\n\r\n[Other]\r\nX=1\r\n");
        QTest::newRow("the last of two counts") << QByteArray("[Messages]\nMessage1=a\nMessage1=b\n")
            << "Messages" << "Message1" << "c" << QByteArray("[Messages]\nMessage1=a\nMessage1=c\n");
        QTest::newRow("a section header only") << QByteArray("[Messages]\n[Other]\nX=1\n") << "Messages"
            << "Message1" << "CQ" << QByteArray("[Messages]\nMessage1=CQ\n[Other]\nX=1\n");
    }

    void aWriteChangesOnlyItsValue()
    {
        QFETCH(QByteArray, before);
        QFETCH(QString, section);
        QFETCH(QString, key);
        QFETCH(QString, text);
        QFETCH(QByteArray, after);

        const QByteArray written = IniFile(before).withValue(section, key, IniCodec::encodeText(text));
        QCOMPARE(written, after);
        // QSettings reads the new value, and every other value as before.
        QSettings was(freshFile(m_dir, before), QSettings::IniFormat);
        QSettings now(freshFile(m_dir, written), QSettings::IniFormat);
        const QString id = section + QLatin1Char('/') + key;
        QCOMPARE(now.value(id).toString(), text);
        for (const QString &other : was.allKeys()) {
            if (other != id)
                QCOMPARE(qsettingsText(now.value(other)), qsettingsText(was.value(other)));
        }
    }

    void binaryDataIsNoSettingsFile_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<bool>("binary");

        QTest::newRow("settings, Latin-1") << QByteArray("[Messages]\r\nMessage1=a\tb\f\v\xfc\n") << false;
        QTest::newRow("NUL") << QByteArray("[Messages]\nMessage1=a\0b\n", 22) << true;
        QTest::newRow("escape byte") << QByteArray("[Messages]\nMessage1=\x1b[0m\n") << true;
        QTest::newRow("UTF-16") << QByteArray("\xff\xfe[\0M\0", 6) << true;
    }

    void binaryDataIsNoSettingsFile()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(bool, binary);
        QCOMPARE(!IniFile(bytes).binaryReason().isEmpty(), binary);
    }

private:
    QTemporaryDir m_dir;
};

ZAVO_SUITE(IniFileTest)
#include "tst_inifile.moc"
