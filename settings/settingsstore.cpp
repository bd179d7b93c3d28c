// The settings store on an INI file (and, on Windows, the registry of the
// earlier releases). The file is read again whenever it changed on disk and
// written through IniFile, which changes nothing but the value written.
#include "settings/settingsstore.h"

#include "settings/inicodec.h"
#include "settings/inifile.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>

#ifdef Q_OS_UNIX
#include <sys/stat.h>
#endif

namespace {

// A note shows this much of a line; a runaway quote can swallow a lot of file.
constexpr qsizetype kNoteChars = 60;
// More notes than this would not fit a message box.
constexpr int kMaxNotes = 12;
// How long a write waits for another instance that holds the file.
constexpr int kLockWaitMs = 2000;

QString shortened(const QString &text)
{
    QString line = text;
    line.replace(QLatin1Char('\r'), QLatin1Char(' ')).replace(QLatin1Char('\n'), QLatin1Char(' '));
    return line.size() <= kNoteChars ? line : line.left(kNoteChars) + QStringLiteral("...");
}

} // namespace

SettingsStore::SettingsStore()
    : m_file(std::make_unique<IniFile>())
{
#ifdef Q_OS_WIN
    // Keep reading the registry key that the stores of earlier releases live in.
    m_registry = std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("VB and VBA Program Settings"),
                                             QString::fromLatin1(kApplication));
#else
    // QSettings only names the file (and honours QSettings::setPath); the
    // file itself is ours to read and write.
    m_path = QSettings(QSettings::NativeFormat, QSettings::UserScope, QString::fromLatin1(kApplication))
                 .fileName();
#endif
}

SettingsStore::SettingsStore(const QString &iniPath)
    : m_path(iniPath)
    , m_file(std::make_unique<IniFile>())
{
}

SettingsStore::~SettingsStore() = default;

SettingsStore::Stamp SettingsStore::stampOf() const
{
    Stamp stamp;
#ifdef Q_OS_UNIX
    struct stat st {};
    if (::stat(QFile::encodeName(m_path).constData(), &st) != 0)
        return stamp;
    stamp.exists = true;
    stamp.size = st.st_size;
    stamp.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.changedNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    stamp.inode = st.st_ino;
#else
    const QFileInfo info(m_path);
    stamp.exists = info.exists();
    stamp.size = info.size();
    stamp.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return stamp;
}

void SettingsStore::refresh() const
{
    const Stamp now = stampOf();
    if (m_loaded && now == m_stamp)
        return;
    m_loaded = true;
    m_stamp = now;
    m_readError.clear();
    if (!now.exists) {
        // Deleted while we run: the last content read stands in for it.
        if (!m_seen)
            *m_file = IniFile();
        return;
    }
    QFile file(m_path);
    if (!file.open(QIODevice::ReadOnly)) {
        m_readError = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return;
    }
    *m_file = IniFile(file.readAll());
    m_seen = true;
}

std::optional<QString> SettingsStore::fileValue(const QString &section, const QString &key, bool note) const
{
    const IniFile::Entry *found = m_file->find(section, key);
    if (!found)
        return std::nullopt;
    const IniFile::Entry &entry = *found;
    const QByteArrayView raw = m_file->value(entry);
    const IniCodec::Decoded decoded = IniCodec::decodeValue(raw);
    // What the store itself writes (or the same typed by hand) reads as written.
    if (!entry.hasComment && !decoded.isList && IniCodec::encodeText(decoded.text) == raw)
        return decoded.text;
    // Typed by hand without quotes or backslashes: an unquoted comma (which
    // QSettings takes for a list) means the comma, as typed.
    const bool plain = !raw.contains('"') && !raw.contains('\\') && !raw.startsWith('@');
    if (!entry.hasComment && plain)
        return QString::fromUtf8(raw);
    // Otherwise the INI rules decide, and the operator hears about it once.
    const QString typed = QString::fromUtf8(m_file->typed(entry));
    const QString id = entry.section + QLatin1Char('/') + entry.key;
    if (note && decoded.text != typed && !m_noted.contains(id)) {
        m_noted.insert(id);
        m_notes.append(QStringLiteral("[%1] %2 = %3   (read as \"%4\")")
                           .arg(entry.section, entry.key, shortened(typed), shortened(decoded.text)));
    }
    return decoded.text;
}

QString SettingsStore::GetSetting(const QString &section, const QString &key) const
{
    if (m_registry) {
        const QVariant value = m_registry->value(section + QLatin1Char('/') + key);
        if (value.typeId() == QMetaType::QStringList)
            return value.toStringList().join(QStringLiteral(", "));
        return value.toString();
    }
    const auto unsaved = m_unsaved.constFind(section + QLatin1Char('/') + key);
    if (unsaved != m_unsaved.cend())
        return *unsaved;
    refresh();
    return fileValue(section, key, true).value_or(QString());
}

bool SettingsStore::SaveSetting(const QString &section, const QString &key, const QString &value)
{
    if (m_registry) {
        m_registry->setValue(section + QLatin1Char('/') + key, value);
        m_registry->sync();
        if (m_registry->status() == QSettings::NoError)
            return true;
        reportFailure(QStringLiteral("it cannot be written"));
        return false;
    }
    const QString id = section + QLatin1Char('/') + key;
    m_unsaved.insert(id, value);
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder)) {
        reportFailure(QStringLiteral("its folder %1 cannot be made").arg(folder));
        return false;
    }

    // Another instance writing at the same moment must not lose our line or
    // we its. Best effort: a folder we may not write takes no lock file.
    QLockFile lock(m_path + QStringLiteral(".lock"));
    lock.setStaleLockTime(kLockWaitMs * 5);
    lock.tryLock(kLockWaitMs); // held, if taken, until the lock goes out of scope

    // Against the file as it is now, whoever changed it meanwhile.
    m_loaded = false;
    refresh();
    QString why = unreadableReason();
    if (why.isEmpty()) {
        // A file deleted while we run is put back whole, even for no change.
        if (m_stamp.exists && fileValue(section, key, false) == value) {
            m_unsaved.remove(id);
            return true; // already so: the file stays untouched
        }
        const QByteArray bytes = m_file->withValue(section, key, IniCodec::encodeText(value));
        if (writeFile(bytes, &why)) {
            *m_file = IniFile(bytes);
            m_seen = true;
            m_stamp = stampOf();
            m_unsaved.remove(id);
            return true;
        }
    }
    reportFailure(why);
    return false;
}

bool SettingsStore::writeFile(const QByteArray &bytes, QString *why)
{
    const QFileInfo info(m_path);
    // QSaveFile would replace a read-only file by a new one: the operator
    // made it read-only to keep it as it is.
    if (info.exists() && !info.isWritable()) {
        *why = QStringLiteral("the file is read-only");
        return false;
    }
    QSaveFile file(m_path);
    // A read-only folder with a writable file: write the file in place.
    file.setDirectWriteFallback(true);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
        *why = QStringLiteral("it cannot be written (%1)").arg(file.errorString());
        return false;
    }
    return true;
}

void SettingsStore::reportFailure(const QString &why)
{
    if (m_reported || !m_reporter)
        return;
    m_reported = true;
    m_reporter(QStringLiteral("The settings could not be saved to %1: %2.\n"
                              "Zavo Keyer goes on with the values it holds.")
                   .arg(location(), why));
}

bool SettingsStore::exists() const
{
    if (m_registry)
        return !m_registry->allKeys().isEmpty();
    return QFileInfo::exists(m_path);
}

QString SettingsStore::location() const
{
    return m_registry ? m_registry->fileName() : m_path;
}

void SettingsStore::setErrorReporter(std::function<void(const QString &)> reporter)
{
    m_reporter = std::move(reporter);
}

QString SettingsStore::unreadableReason() const
{
    if (m_registry)
        return {};
    refresh();
    return m_readError.isEmpty() ? m_file->binaryReason() : m_readError;
}

QStringList SettingsStore::takeHandEditNotes()
{
    if (!m_registry && !m_strayNoted) {
        m_strayNoted = true;
        refresh();
        for (const QByteArray &line : m_file->strayLines())
            m_notes.append(QStringLiteral("%1   (no '=' in it: ignored)").arg(shortened(QString::fromUtf8(line))));
    }
    QStringList notes;
    notes.swap(m_notes);
    if (notes.size() > kMaxNotes) {
        const qsizetype more = notes.size() - (kMaxNotes - 1);
        notes.resize(kMaxNotes - 1);
        notes.append(QStringLiteral("... and %1 more").arg(more));
    }
    return notes;
}
