// Read-only and unreadable settings files and folders. Root writes into
// read-only files anyway, so as root (as CI runs) the cases run as the user
// "nobody", switched with setpriv.
#include "storefiles.h"

#include <QCoreApplication>
#include <QDir>
#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#include <cstring>
#include <optional>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr auto kWritable = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner;
constexpr auto kReadOnly = QFile::ReadOwner | QFile::ExeOwner;

} // namespace

class UnprivilegedStoreCases : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        // A user that can still write into a read-only folder proves nothing.
        QTemporaryDir probe;
        QVERIFY(QFile::setPermissions(probe.path(), kReadOnly));
        const bool wrote = QFile(probe.filePath(QStringLiteral("x"))).open(QIODevice::WriteOnly);
        QFile::setPermissions(probe.path(), kWritable);
        QVERIFY2(!wrote, "wrote into a read-only folder: still privileged");
    }

    void init()
    {
        QVERIFY(m_dir.emplace().isValid());
        m_path = m_dir->filePath(QStringLiteral("store.conf"));
    }

    void cleanup()
    {
        QFile::setPermissions(m_dir->path(), kWritable);
        QFile::setPermissions(m_path, kWritable);
    }

    void failedWriteChangesNothing_data()
    {
        QTest::addColumn<QString>("lock"); // what stops the write
        QTest::addColumn<bool>("firstRun"); // no file yet
        QTest::addColumn<QString>("why");

        QTest::newRow("read-only folder") << "folder" << false << "no file can be made in its folder";
        QTest::newRow("first run, read-only folder") << "folder" << true << "no file can be made in its folder";
        QTest::newRow("read-only file") << "file" << false << "the file is read-only";
        QTest::newRow("unreadable file") << "unreadable" << false << "cannot be read";
        QTest::newRow("rename refused") << "sticky" << false << QString::fromLocal8Bit(std::strerror(EPERM));
    }

    // No copy can be made next to the file in a read-only folder, a
    // read-only file the operator wants kept as it is, and one the program
    // may not read it may not write either (the window does not start on
    // it). The copy is written whole, but the rename over the store is
    // refused: here another user's store in a sticky folder (EPERM), as a
    // store bind-mounted into a sandbox refuses it (EBUSY). Nothing is
    // written, no copy is left, the operator hears it once, then once more
    // at the end, the values are held for the run, and the next write that
    // lands takes them along. (A write that fails half-way through is the
    // store's unit test.)
    void failedWriteChangesNothing()
    {
        QFETCH(QString, lock);
        QFETCH(bool, firstRun);
        QFETCH(QString, why);

        const bool sticky = lock == QLatin1String("sticky");
        if (sticky && qEnvironmentVariableIsEmpty("ZAVO_STICKY_STORE"))
            QSKIP("needs root to lay another user's store in a sticky folder");
        const QString path = sticky ? qEnvironmentVariable("ZAVO_STICKY_STORE") : m_path;
        const QByteArray before = firstRun ? QByteArray() : seededFile(QStringLiteral("/dev/ttyUSB0"));
        QVERIFY(firstRun || (sticky ? readBytes(path) == before : writeBytes(path, before)));
        const QString locked = lock == QLatin1String("folder") ? m_dir->path() : m_path;
        const auto permissions = lock == QLatin1String("unreadable") ? QFileDevice::Permissions() : kReadOnly;
        QVERIFY(sticky || QFile::setPermissions(locked, permissions));
        QStringList reports;
        SettingsStore store(path);
        QCOMPARE(store.unreadableReason().isEmpty(), lock != QLatin1String("unreadable"));
        store.setErrorReporter([&reports](const QString &text) { reports << text; });
        QVERIFY(!store.SaveSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormTop"), QStringLiteral("1200")));
        QVERIFY(store.reportUnsaved());
        QVERIFY(!store.SaveSetting(QStringLiteral("Messages"), QStringLiteral("Message1"), QStringLiteral("TU")));
        QVERIFY(store.reportUnsaved(SettingsStore::Moment::Exiting));
        QCOMPARE(reports.size(), 2);
        QVERIFY2(reports.first().contains(why) && reports.first().contains(path), qPrintable(reports.first()));
        QVERIFY2(reports.last().contains(QLatin1String("lost")), qPrintable(reports.last())); // at the end
        QCOMPARE(store.GetSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormTop")), QStringLiteral("1200"));
        QVERIFY(sticky || QFile::setPermissions(locked, kWritable));
        QCOMPARE(readBytes(path), before);
        QCOMPARE(QDir(QFileInfo(path).path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 firstRun ? QStringList() : QStringList{QFileInfo(path).fileName()});
        if (sticky)
            return;
        QVERIFY(store.SaveSetting(QStringLiteral("Speed Settings"), QStringLiteral("MinSpeed"), QStringLiteral("10")));
        QVERIFY(!store.hasUnsaved());
        for (const char *line : {"FormTop=1200\n", "Message1=TU\n", "MinSpeed=10\n"})
            QVERIFY2(readBytes(m_path).contains(line), line);
    }

private:
    std::optional<QTemporaryDir> m_dir;
    QString m_path;
};

// As root, runs itself again as "nobody": from a copy, as nobody may not be
// able to reach the build tree.
int main(int argc, char *argv[])
{
    QCoreApplication app(argc, argv);
    if (::geteuid() != 0) {
        UnprivilegedStoreCases cases;
        return QTest::qExec(&cases, argc, argv);
    }
    const passwd *nobody = ::getpwnam("nobody");
    const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
    QTemporaryDir copy;
    const QString copied = copy.filePath(QStringLiteral("child"));
    if (!nobody || setpriv.isEmpty() || !QFile::copy(QCoreApplication::applicationFilePath(), copied)) {
        qWarning("SKIP: needs the user nobody and setpriv (util-linux) to drop root");
        return 0;
    }
    for (const QString &path : {copy.path(), copied})
        QFile::setPermissions(path, kWritable | QFile::ReadOther | QFile::ExeOther);
    // root's store, writable by all, in a folder all may write but only
    // owners may replace in.
    QTemporaryDir sticky;
    const QString stickyStore = sticky.filePath(QStringLiteral("store.conf"));
    if (!writeBytes(stickyStore, seededFile(QStringLiteral("/dev/ttyUSB0")))
        || ::chmod(QFile::encodeName(stickyStore).constData(), 0666) != 0
        || ::chmod(QFile::encodeName(sticky.path()).constData(), 01777) != 0) {
        qWarning("FAIL: cannot lay the sticky folder's store");
        return 1;
    }
    QProcess child;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("ZAVO_STICKY_STORE"), stickyStore);
    child.setProcessEnvironment(env);
    child.setProcessChannelMode(QProcess::ForwardedChannels);
    child.start(setpriv, QStringList{QStringLiteral("--reuid=%1").arg(nobody->pw_uid),
                                     QStringLiteral("--regid=%1").arg(nobody->pw_gid), QStringLiteral("--clear-groups"),
                                     QStringLiteral("--"), copied}
                             + QCoreApplication::arguments().mid(1));
    // A crash or a failed start fails the test.
    return child.waitForFinished(-1) && child.exitStatus() == QProcess::NormalExit ? child.exitCode() : 1;
}

#include "tst_storepermissions.moc"
