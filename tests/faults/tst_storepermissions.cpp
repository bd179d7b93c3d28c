// Read-only and unreadable settings files and folders. Root writes into
// read-only files anyway, so when this test runs as root (as CI does) it
// runs each case in a copy of itself as the user "nobody", switched with
// setpriv; as any other user the child simply runs as that user. The chip
// simulator stays with this parent, which checks every byte the child's
// program sent.
#include "unprivilegedcases.h"

#include "link/linkrig.h"

#include <QApplication>
#include <QProcess>
#include <QStandardPaths>

#include <pwd.h>

namespace {

constexpr int kChildTimeoutMs = 120000;

} // namespace

class StorePermissionsTest : public QObject
{
    Q_OBJECT

private slots:
    void asAnUnprivilegedUser_data();
    void asAnUnprivilegedUser();
};

void StorePermissionsTest::asAnUnprivilegedUser_data()
{
    QTest::addColumn<QByteArray>("sent"); // what the child's program sends the chip

    QTest::newRow("readOnlyFolder") << seedStartupBytes();
    QTest::newRow("readOnlyFile") << seedStartupBytes();
    QTest::newRow("readOnlyFolderFirstRun") << seedStartupBytes();
    QTest::newRow("unreadableFile") << QByteArray();
}

void StorePermissionsTest::asAnUnprivilegedUser()
{
    QFETCH(QByteArray, sent);
    const QString testCase = QString::fromLatin1(QTest::currentDataTag());

    SimHarness sim({QStringLiteral("--fast")});
    QVERIFY(sim.start());
    QString program = QCoreApplication::applicationFilePath();
    QStringList arguments;
    QTemporaryDir copy;
    if (::geteuid() == 0) {
        const passwd *nobody = ::getpwnam("nobody");
        const QString setpriv = QStandardPaths::findExecutable(QStringLiteral("setpriv"));
        if (!nobody || setpriv.isEmpty())
            QSKIP("needs the user nobody and setpriv (util-linux) to drop root");
        // Nobody may not be able to reach the build tree: run a copy.
        QVERIFY(copy.isValid());
        const QString copied = copy.filePath(QStringLiteral("child"));
        QVERIFY(QFile::copy(program, copied));
        const auto everyone = QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner | QFile::ReadGroup
            | QFile::ExeGroup | QFile::ReadOther | QFile::ExeOther;
        QVERIFY(QFile::setPermissions(copy.path(), everyone));
        QVERIFY(QFile::setPermissions(copied, everyone));
        // The simulator's link and its pty, opened by the child's program.
        const QFileInfo link(sim.linkPath());
        QVERIFY(QFile::setPermissions(link.absolutePath(), everyone));
        QVERIFY(QFile::setPermissions(link.symLinkTarget(), everyone | QFile::WriteGroup | QFile::WriteOther));
        arguments = {QStringLiteral("--reuid=%1").arg(nobody->pw_uid), QStringLiteral("--regid=%1").arg(nobody->pw_gid),
                     QStringLiteral("--clear-groups"), QStringLiteral("--"), copied};
        program = setpriv;
    }
    arguments << testCase;

    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert(QString::fromLatin1(kChildVariable), QStringLiteral("1"));
    environment.insert(QString::fromLatin1(kLinkVariable), sim.linkPath());
    environment.insert(QStringLiteral("HOME"), QDir::tempPath());
    environment.remove(QStringLiteral("XDG_RUNTIME_DIR"));
    QProcess child;
    child.setProcessEnvironment(environment);
    child.setProcessChannelMode(QProcess::MergedChannels);
    child.start(program, arguments);
    QVERIFY2(child.waitForFinished(kChildTimeoutMs), qPrintable(child.errorString()));
    const QByteArray output = child.readAll();
    QVERIFY2(child.exitStatus() == QProcess::NormalExit && child.exitCode() == 0, output.constData());
    // The case ran and passed; it did not skip.
    QVERIFY2(output.contains("PASS   : UnprivilegedStoreCases::" + testCase.toLatin1() + "()"), output.constData());
    QVERIFY2(!output.contains("SKIP"), output.constData());

    QTest::qWait(200);
    QCOMPARE(sim.received(), sent);
}

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QTEST_SET_MAIN_SOURCE_PATH
    if (qEnvironmentVariableIsSet(kChildVariable)) {
        UnprivilegedStoreCases cases;
        return QTest::qExec(&cases, argc, argv);
    }
    StorePermissionsTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "tst_storepermissions.moc"
