// The store's permission faults, run as an unprivileged user: root writes
// into read-only files and folders anyway, so these cases run in a child
// process that tst_storepermissions starts as "nobody" when it runs as
// root. The chip simulator belongs to the parent, which checks what
// crossed the line; the child gets the link's path in the environment.
#pragma once

#include "storefiles.h"

#include "app/zavomain.h"
#include "keyer/serialfacility.h"
#include "settings/keyersettings.h"

#include <QDir>
#include <QScopeGuard>
#include <QTemporaryDir>
#include <QTest>

#include <optional>
#include <unistd.h>

// Set in the child's environment: the cases to run and the link to use.
inline constexpr char kChildVariable[] = "ZAVO_UNPRIVILEGED_CHILD";
inline constexpr char kLinkVariable[] = "ZAVO_UNPRIVILEGED_LINK";

class UnprivilegedStoreCases : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        QVERIFY2(::geteuid() != 0, "the cases must not run as root");
        m_link = qEnvironmentVariable(kLinkVariable);
        QVERIFY2(!m_link.isEmpty(), kLinkVariable);
        // A user that can still write into a read-only folder proves nothing.
        QTemporaryDir probe;
        QVERIFY(probe.isValid());
        QVERIFY(QFile::setPermissions(probe.path(), QFile::ReadOwner | QFile::ExeOwner));
        const auto unlock = qScopeGuard([&probe] { QFile::setPermissions(probe.path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner); });
        QFile file(probe.filePath(QStringLiteral("x")));
        QVERIFY2(!file.open(QIODevice::WriteOnly), "wrote into a read-only folder: still privileged");
    }

    void init()
    {
        Zavo::resetProcessState();
        m_messages.clear();
        m_reports.clear();
        m_terminations.clear();
        QVERIFY(m_dir.emplace().isValid());
        m_path = m_dir->filePath(QStringLiteral("store.conf"));
    }

    void cleanup()
    {
        QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner);
        m_dir.reset();
    }

    // The folder is read-only, the file is not: no copy can be made next
    // to the file, and it is never cut short in place, so nothing is
    // written; the operator hears it once, and the values are held.
    void readOnlyFolder()
    {
        const QByteArray before = seededFile(m_link);
        QVERIFY(writeBytes(m_path, before));
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::ExeOwner));
        SettingsStore store(m_path);
        QVERIFY(runAndClose(store));
        QCOMPARE(readBytes(m_path), before);
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{QStringLiteral("store.conf")});
        QCOMPARE(m_reports.size(), 1);
        QVERIFY2(m_reports.first().contains(QLatin1String("folder")), qPrintable(m_reports.first()));
        QCOMPARE(store.GetSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormTop")), QStringLiteral("1200"));
        QCOMPARE(m_messages, QStringList());
    }

    // The operator made the file read-only: it stays byte for byte as it
    // was, the operator hears it once, and the program goes on with the
    // values it holds.
    void readOnlyFile()
    {
        const QByteArray before = seededFile(m_link);
        QVERIFY(writeBytes(m_path, before));
        QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner));
        SettingsStore store(m_path);
        QVERIFY(runAndClose(store));
        QCOMPARE(readBytes(m_path), before);
        QCOMPARE(m_reports.size(), 1);
        QVERIFY2(m_reports.first().contains(QLatin1String("read-only")), qPrintable(m_reports.first()));
        QCOMPARE(store.GetSetting(QStringLiteral("Windows Settings"), QStringLiteral("FormTop")), QStringLiteral("1200"));
        QCOMPARE(QDir(m_dir->path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries | QDir::Hidden),
                 QStringList{QStringLiteral("store.conf")});
    }

    // A first run into a folder it may not write: the seed cannot be
    // stored, the operator hears it once, and the program runs on the seed.
    void readOnlyFolderFirstRun()
    {
        QVERIFY(QFile::setPermissions(m_dir->path(), QFile::ReadOwner | QFile::ExeOwner));
        SettingsStore store(m_path);
        store.setErrorReporter([this](const QString &text) { m_reports << text; });
        QVERIFY(!store.exists());
        Seed::seedStore(store, m_link);
        store.reportUnsaved();
        QCOMPARE(m_reports.size(), 1);
        QCOMPARE(store.GetSetting(QStringLiteral("Parameters"), QStringLiteral("ComPort")), m_link);
        // The close fails too, and says so once more: the values are lost now.
        QVERIFY(runAndClose(store));
        QCOMPARE(m_reports.size(), 2);
        QVERIFY(!QFile::exists(m_path));
        QCOMPARE(m_messages, QStringList());
    }

    // A file the program may not even read: it says so and does not start.
    void unreadableFile()
    {
        const QByteArray before = seededFile(m_link);
        QVERIFY(writeBytes(m_path, before));
        QVERIFY(QFile::setPermissions(m_path, QFileDevice::Permissions()));
        SettingsStore store(m_path);
        ZavoMain window(store, hooks());
        QVERIFY(!window.load());
        QCOMPARE(m_terminations, QList<int>{EXIT_FAILURE});
        QCOMPARE(m_messages.size(), 1);
        QVERIFY2(m_messages.first().contains(QLatin1String("cannot be read")), qPrintable(m_messages.first()));
        QVERIFY(!window.port().isOpen());
        QVERIFY(QFile::setPermissions(m_path, QFile::ReadOwner | QFile::WriteOwner));
        QCOMPARE(readBytes(m_path), before);
    }

private:
    ZavoMain::Hooks hooks()
    {
        ZavoMain::Hooks hooks;
        hooks.message = [this](const QString &text) { m_messages << text; };
        hooks.choosePort = [](const QString &) { return std::optional<QString>(); };
        hooks.terminate = [this](int code) { m_terminations << code; };
        return hooks;
    }

    // Starts the window on the store, moves it where FormTop is 1200 and
    // FormLeft 1800 twips, and closes it as the program does.
    bool runAndClose(SettingsStore &store)
    {
        store.setErrorReporter([this](const QString &text) { m_reports << text; });
        ZavoMain window(store, hooks());
        if (!window.load())
            return false;
        window.show();
        if (!QTest::qWaitForWindowExposed(&window))
            return false;
        window.move(120, 80);
        if (!QTest::qWaitFor([&window] { return window.pos() == QPoint(120, 80); }, 5000))
            return false;
        window.close();
        // As the program ends once its window has closed.
        store.reportUnsaved(SettingsStore::Moment::Exiting);
        return !window.port().isOpen() && m_terminations.isEmpty();
    }

    QString m_link;
    std::optional<QTemporaryDir> m_dir;
    QString m_path;
    QStringList m_messages;
    QStringList m_reports;
    QList<int> m_terminations;
};
