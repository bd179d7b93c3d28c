// The settings store, the seed a first run writes and the loading of the
// keyer record. Every store here lives in a temporary folder. (Which file is
// the operator's own store, the end-to-end tests read.)
#include "settings/keyersettings.h"
#include "settings/seed.h"
#include "settings/settingsstore.h"
#include "settings/settingstable.h"

#include "../faults/storefiles.h"
#include "suites.h"

#include <QDir>

#include <atomic>
#include <fcntl.h>
#include <optional>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

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
    }

    void fileChangedWhileRunning_data()
    {
        QTest::addColumn<QString>("change");
        QTest::newRow("deleted") << "deleted";
        QTest::newRow("emptied for good") << "emptied";
        QTest::newRow("emptied, then written by its editor") << "rewritten";
    }

    // Deleted while the program runs: reads answer from what was read last,
    // and the next write puts the whole store back, even for no change.
    // Emptied: an editor may be between truncating the file and writing it
    // again, so the write that finds it empty is refused and told; the next
    // one keeps what the editor wrote, or, if it stayed empty, puts the
    // whole store back.
    void fileChangedWhileRunning()
    {
        QFETCH(QString, change);
        const QString path = storePath();
        SettingsStore store(path);
        QStringList reports;
        store.setErrorReporter([&reports](const QString &text) { reports << text; });
        Seed::seedStore(store, QStringLiteral("3"));
        QByteArray file = readBytes(path);
        const QString message3 = Seed::value(kMessages, messageKey(3));
        const bool deleted = change == QLatin1String("deleted");
        QVERIFY(deleted ? QFile::remove(path) : writeBytes(path, QByteArray()));
        QCOMPARE(store.GetSetting(kMessages, messageKey(3)), message3);
        QCOMPARE(store.SaveSetting(kMessages, messageKey(3), message3), deleted);
        QCOMPARE(store.reportUnsaved(), !deleted);
        QCOMPARE(readBytes(path), deleted ? file : QByteArray());
        if (!deleted)
            QVERIFY2(reports.first().contains(QLatin1String("found empty")), qPrintable(reports.first()));
        if (change == QLatin1String("rewritten")) {
            file.replace("Message4=" + Seed::value(kMessages, messageKey(4)).toUtf8(), "; by hand\nMessage4=TU 73 GL");
            QVERIFY(writeBytes(path, file));
            // Kept private by its operator: the copy that replaces it is too.
            QVERIFY(QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner));
            QCOMPARE(store.GetSetting(kMessages, messageKey(4)), QStringLiteral("TU 73 GL"));
        }
        QVERIFY(store.SaveSetting(kSpeed, QStringLiteral("MinSpeed"), QStringLiteral("12")));
        QCOMPARE(readBytes(path), file.replace("MinSpeed=10", "MinSpeed=12"));
        if (change == QLatin1String("rewritten"))
            QCOMPARE(QFile::permissions(path) & (QFile::ReadGroup | QFile::ReadOther), QFileDevice::Permissions());
    }

    void anActionLandsWholeOrNotAtAll_data()
    {
        QTest::addColumn<bool>("firstRun"); // the seed into no file, else an Update's keys
        QTest::addColumn<bool>("killed");   // the process dies in the write, else the write fails
        QTest::newRow("first run, killed") << true << true;
        QTest::newRow("Update, killed") << false << true;
        QTest::newRow("Update, fails") << false << false;
    }

    // A file size limit stops the write half-way: by SIGXFSZ, which ends the
    // process there as a crash would, or by a failed write. Key by key, the
    // first keys would have landed; instead the store is as it was (after
    // a first run cut short there is none, and the next start seeds it
    // again), and the next action writes every key: the seed writes the
    // port and every other entry, as the program reads them all without a
    // default.
    void anActionLandsWholeOrNotAtAll()
    {
        QFETCH(bool, firstRun);
        QFETCH(bool, killed);
        const QString path = storePath();
        if (!firstRun) {
            SettingsStore store(path);
            Seed::seedStore(store, QStringLiteral("3"));
        }
        const QByteArray before = readBytes(path);
        // One character longer each: one at a time, the first would fit.
        const auto action = [firstRun](SettingsStore &store) {
            if (firstRun)
                return Seed::seedStore(store, QStringLiteral("3"));
            SettingsStore::Batch batch(store);
            for (const SettingsTable::Entry *entry : SettingsTable::updateOrder())
                store.SaveSetting(entry->section, entry->key, entry->seed + QLatin1Char('0'));
        };
        const qint64 limit = firstRun ? seededFile(QStringLiteral("3")).size() / 2 : before.size() + 8;
        SettingsStore store(path);
        if (killed) {
            const pid_t child = ::fork();
            if (child == 0) {
                const rlimit none {0, 0};
                const rlimit size {rlim_t(limit), rlim_t(limit)};
                ::setrlimit(RLIMIT_CORE, &none);
                ::setrlimit(RLIMIT_FSIZE, &size);
                std::signal(SIGXFSZ, SIG_DFL);
                action(store);
                ::_exit(0);
            }
            int status = 0;
            QCOMPARE(::waitpid(child, &status, 0), child);
            QVERIFY(WIFSIGNALED(status) && WTERMSIG(status) == SIGXFSZ);
        } else {
            FileSizeLimit sizeLimit(limit);
            QVERIFY(sizeLimit.isActive());
            action(store);
            QVERIFY(store.hasUnsaved());
        }
        QCOMPARE(readBytes(path), before);
        QCOMPARE(SettingsStore(path).exists(), !firstRun);
        if (killed)
            action(store);
        else
            QVERIFY(store.SaveSetting(kMessages, messageKey(1), QStringLiteral("QRL?")));
        SettingsStore reread(path);
        for (const SettingsTable::Entry &entry : SettingsTable::entries()) {
            QCOMPARE(entry.seed.isEmpty(), entry.key == QLatin1String("ComPort"));
            const QString wanted = entry.key == QLatin1String("ComPort") ? QStringLiteral("3")
                : entry.updateOrder > 0 && !firstRun                    ? entry.seed + QLatin1Char('0')
                : entry.key == messageKey(1) && !killed                  ? QStringLiteral("QRL?")
                                                                         : entry.seed;
            QCOMPARE(reread.GetSetting(entry.section, entry.key), wanted);
        }
    }

    void onlyAnOrdinaryFileIsReadOrReplaced_data()
    {
        QTest::addColumn<QString>("thing"); // put at the store's path (or its lock's)
        QTest::addColumn<bool>("saved");    // the store is written all the same
        QTest::newRow("FIFO") << "fifo" << false;
        QTest::newRow("folder") << "folder" << false;
        QTest::newRow("link to a null device") << "null" << false;
        QTest::newRow("link to a zero device") << "zero" << false;
        QTest::newRow("link to nothing") << "nothing" << false;
        QTest::newRow("link to an ordinary file") << "file" << true;
        QTest::newRow("FIFO at the lock's name") << "lock" << true;
    }

    // Something that is no ordinary file is neither opened, read nor
    // replaced: nothing is stored (a first run), the operator hears once
    // that nothing is saved, the values live in memory, and they all go out
    // once an ordinary file can take the place. Through a link to an
    // ordinary file, that file is written and the link stays; a FIFO at
    // the lock's name is no lock.
    void onlyAnOrdinaryFileIsReadOrReplaced()
    {
        QFETCH(QString, thing);
        QFETCH(bool, saved);
        const auto is = [&thing](const char *what) { return thing == QLatin1String(what); };
        const QString path = storePath();
        const QString other = m_dir->filePath(QStringLiteral("other"));
        const QString fifo = is("lock") ? path + QStringLiteral(".lock") : path;
        if ((is("null") || is("zero")) && ::geteuid() != 0)
            QSKIP("a device node is made by root only");
        if (is("null") || is("zero"))
            QCOMPARE(::mknod(QFile::encodeName(other).constData(), S_IFCHR | 0666, makedev(1, is("null") ? 3 : 5)), 0);
        QVERIFY(!is("file") || writeBytes(other, "; mine\n"));
        if (is("fifo") || is("lock"))
            QCOMPARE(::mkfifo(QFile::encodeName(fifo).constData(), 0600), 0);
        else
            QVERIFY(is("folder") ? QDir().mkdir(path) : QFile::link(other, path));
        const auto look = [this] {
            QStringList entries;
            for (const QString &name : QDir(m_dir->path()).entryList(QDir::AllEntries | QDir::NoDotAndDotDot | QDir::Hidden | QDir::System)) {
                struct stat st {};
                ::lstat(QFile::encodeName(m_dir->filePath(name)).constData(), &st);
                entries << QStringLiteral("%1 %2 %3").arg(name).arg(st.st_mode).arg(st.st_rdev);
            }
            return entries;
        };
        const QStringList before = look();
        // Whoever opens the FIFO to read lets in a writer that does not wait
        // (which lets a waiting reader go on).
        std::atomic<bool> opened = false;
        std::optional<std::jthread> watch;
        if (is("fifo") || is("lock")) {
            watch.emplace([&opened, name = QFile::encodeName(fifo)](const std::stop_token &stop) {
                for (; !stop.stop_requested(); std::this_thread::sleep_for(std::chrono::milliseconds(2))) {
                    if (const int fd = ::open(name.constData(), O_WRONLY | O_NONBLOCK); fd >= 0) {
                        opened = true;
                        ::close(fd);
                    }
                }
            });
        }

        SettingsStore store(path);
        QStringList reports;
        store.setErrorReporter([&reports](const QString &text) { reports << text; });
        QCOMPARE(store.exists(), is("file"));
        QCOMPARE(store.unreadableReason(), QString());
        Seed::seedStore(store, QStringLiteral("3"));
        QCOMPARE(store.reportUnsaved(), !saved);
        QCOMPARE(store.GetSetting(kMessages, messageKey(1)), Seed::value(kMessages, messageKey(1)));
        QCOMPARE(store.SaveSetting(kSpeed, QStringLiteral("MinSpeed"), QStringLiteral("12")), saved);
        QVERIFY(!store.reportUnsaved(SettingsStore::Moment::Exiting));
        watch.reset();
        QVERIFY(!opened);
        QCOMPARE(reports.size(), saved ? 0 : 1);
        if (saved) {
            QCOMPARE(QFileInfo(fifo).isSymLink(), is("file"));
            QVERIFY(!is("file") || readBytes(other).startsWith("; mine\n"));
        } else {
            QVERIFY2(reports.first().contains(path) && reports.first().contains(QLatin1String("saves nothing")),
                     qPrintable(reports.first()));
            QCOMPARE(look(), before);
            QVERIFY(is("folder") ? QDir().rmdir(path) : QFile::remove(path));
            QVERIFY(store.SaveSetting(kMessages, messageKey(2), QStringLiteral("QRZ?")));
        }
        SettingsStore reread(path);
        QCOMPARE(reread.GetSetting(kMessages, messageKey(1)), Seed::value(kMessages, messageKey(1)));
        QCOMPARE(reread.GetSetting(kSpeed, QStringLiteral("MinSpeed")), QStringLiteral("12"));
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
