// The settings file's INI dialect held against QSettings itself: what
// QSettings reads from a file the store's parser reads the same, what
// QSettings writes for a text the store writes byte for byte, and a write
// changes the one value and nothing else.
#include "settings/inicodec.h"
#include "settings/inifile.h"

#include "../faults/storefiles.h"
#include "suites.h"

#include <QSettings>

namespace {
struct Rewrite { QByteArray before; QString section, key, text; QByteArray after; };
} // namespace

class IniFileTest : public QObject
{
    Q_OBJECT

private slots:
    void filesReadAsQSettingsReadsThem_data()
    {
        QTest::addColumn<QByteArray>("bytes");

        // Commas and quotes make lists; escapes of every kind; '@' types.
        for (const char *value : {"   5NN TU   ", "CQ, CQ DE", "TU,", "\"a\", \"b\"", "CQ ; DE X", "\"CQ ; DE X\"",
                                  "5NN \"TU\"", "say \\\"hi\\\"", "CQ  \\", "a\\tb\\nc\\rd\\ae\\bf\\fg\\vh\\?\\'",
                                  "\\x41\\x1\\x62\\x", "\\x10041", "a=b", "TU\\73 \\101\\0", "@@home",
                                  "@ByteArray(xyz)", "Gr\xc3\xbc\xc3\x9f" "e", "Gr\xfc\xdf" "e", "\"\""})
            QTest::addRow("value %s", value) << "[Messages]\nMessage1=" + QByteArray(value) + "\nMessage2=after\n";

        QTest::newRow("comments") << QByteArray("; keyer\n[Messages]  ; five\n  Message1 = CQ  ; x\n# Message2=no\n");
        QTest::newRow("a key and a section twice")
            << QByteArray("[Speed Settings]\nMinSpeed=12\n[Messages]\n[Speed%20Settings]\nMinSpeed=13\nMinSpeed=14\n");
        QTest::newRow("CRLF") << QByteArray("[Messages]\r\nMessage1=CQ\r\nMessage2=\"a,b\"\r\n");
        QTest::newRow("CR only") << QByteArray("[Messages]\rMessage1=CQ\rMessage2=x\r");
        QTest::newRow("byte order mark") << QByteArray("\xef\xbb\xbf[Messages]\nMessage1=CQ\n");
        QTest::newRow("unbalanced quote") << QByteArray("[Messages]\nMessage1=\"open\nMessage2=b\nMessage3=\"c\n");
        QTest::newRow("continued line") << QByteArray("[Messages]\nMessage1=a\\\nb\nMessage2=c\n");
        QTest::newRow("keys before a section") << QByteArray("Loose=1\n[General]\nAlso=2\n[Messages]\nMessage1=x\n");
        QTest::newRow("line without equals") << QByteArray("[Messages]\nMessage1 CQ\nMessage2=x\n");
        QTest::newRow("broken header") << QByteArray("[Messages\nMessage1=x\n[Other] junk\nMessage2=y\n");
        QTest::newRow("escaped key") << QByteArray("[Messages]\nMessage%31=x\nMy%20Key=y\nA\\B=z\n\"a=b\"=c\n");
    }

    void filesReadAsQSettingsReadsThem()
    {
        QFETCH(QByteArray, bytes);
        QSettings reference(freshFile(bytes), QSettings::IniFormat);
        const IniFile file(bytes);
        QStringList found;
        for (const IniFile::Entry &entry : file.entries())
            found << (entry.section.isEmpty() ? entry.key : entry.section + QLatin1Char('/') + entry.key);
        found.removeDuplicates();
        found.sort();
        QStringList keys = reference.allKeys();
        keys.sort();
        QCOMPARE(found, keys);
        for (const QString &id : keys) {
            const qsizetype slash = id.indexOf(QLatin1Char('/'));
            const IniFile::Entry *entry
                = file.find(slash < 0 ? QString() : id.left(slash), id.mid(slash + 1));
            QVERIFY2(entry, qPrintable(id));
            const IniCodec::Decoded decoded = IniCodec::decodeValue(file.value(*entry));
            const QVariant value = reference.value(id);
            const bool list = value.typeId() == QMetaType::QStringList || value.typeId() == QMetaType::QVariantList;
            // A list joined as the store joined lists before it read them as typed.
            QCOMPARE(decoded.text, list ? value.toStringList().join(QStringLiteral(", ")) : value.toString());
            QCOMPARE(decoded.isList, list);
        }
    }

    void textsWrittenAsQSettingsWritesThem_data()
    {
        QTest::addColumn<QString>("text");

        for (const char *text : {"  CQ", "say \"hi\"", "TU, 73", "CQ ; DE", "a=b", "@home", "C:\\COM3", "", "\x7f"})
            QTest::addRow("%s", text) << QString::fromLatin1(text);
        QTest::newRow("controls") << QStringLiteral("a\tb\nc\rd\ae\bf\fg\vh\x01" "b\x1f" "9");
        QTest::newRow("NUL") << QString(QChar(0)) + QStringLiteral("1a");
        QTest::newRow("non-ASCII") << QStringLiteral("Gr\u00fc\u00dfe \u65e5\u672c \U0001F4FB");
    }

    void textsWrittenAsQSettingsWritesThem()
    {
        QFETCH(QString, text);
        const QString path = freshFile(QByteArray());
        QSettings(path, QSettings::IniFormat).setValue(QStringLiteral("Messages/Message1"), text);
        const QByteArray prefix = "[Messages]\nMessage1=";
        const QByteArray written = readBytes(path);
        QVERIFY2(written.startsWith(prefix), written.constData());
        QCOMPARE(IniCodec::encodeText(text), written.mid(prefix.size()).chopped(1));
        QCOMPARE(IniCodec::decodeValue(IniCodec::encodeText(text)).text, text);
    }

    void aWriteChangesOnlyItsValue_data()
    {
        QTest::addColumn<Rewrite>("r");
        const QByteArray typed = "; by hand\n[Windows Settings]\n  FormTop = 6825   ; top\nFormLeft=7920\n\n"
                                 "[Messages]\nMessage1 = CQ, CQ DE ME\n";
        QTest::newRow("value with a comment")
            << Rewrite{typed, "Windows Settings", "FormTop", "1200", QByteArray(typed).replace("6825", "1200")};
        QTest::newRow("new key in a section") << Rewrite{typed, "Windows Settings", "OnTop", "1",
                                                         QByteArray(typed).replace("7920\n", "7920\nOnTop=1\n")};
        QTest::newRow("new section")
            << Rewrite{typed, "Speed Settings", "MinSpeed", "12", typed + "\n[Speed%20Settings]\nMinSpeed=12\n"};
        QTest::newRow("no final line break")
            << Rewrite{"[Messages]\nMessage1=CQ", "Messages", "Message2", "5NN", "[Messages]\nMessage1=CQ\nMessage2=5NN\n"};
        QTest::newRow("CRLF kept, header only") << Rewrite{"[Messages]\r\n[Other]\r\nX=1\r\n", "Messages", "Message2",
                                                           "5NN", "[Messages]\r\nMessage2=5NN\r\n[Other]\r\nX=1\r\n"};
        QTest::newRow("the last of two counts") << Rewrite{"[Messages]\nMessage1=a\nMessage1=b\n", "Messages", "Message1",
                                                           "c", "[Messages]\nMessage1=a\nMessage1=c\n"};
    }

    void aWriteChangesOnlyItsValue()
    {
        QFETCH(Rewrite, r);
        QCOMPARE(IniFile(r.before).withValue(r.section, r.key, IniCodec::encodeText(r.text)), r.after);
    }

    void binaryDataIsNoSettingsFile()
    {
        QVERIFY(IniFile("[Messages]\r\nMessage1=a\tb\f\v\xfc\n").binaryReason().isEmpty());
        for (const QByteArray &bytes : {QByteArray("a\0b", 3), QByteArray("\x1b[0m"), QByteArray("\xff\xfe[\0M\0", 6)})
            QVERIFY2(!IniFile(bytes).binaryReason().isEmpty(), bytes.toHex().constData());
    }

private:
    // QSettings keeps one cache per file name in a process: every file gets a name of its own.
    QString freshFile(const QByteArray &bytes)
    {
        const QString path = m_dir.filePath(QStringLiteral("f%1.ini").arg(++m_files));
        return writeBytes(path, bytes) ? path : QString();
    }

    QTemporaryDir m_dir;
    int m_files = 0;
};

ZAVO_SUITE(IniFileTest)
#include "tst_inifile.moc"
