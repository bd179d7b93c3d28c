// The settings store on an INI file (and, on Windows, the registry of the
// earlier releases). The file is read again whenever it changed on disk and
// written through IniFile, which changes nothing but the value written.
#include "settings/settingsstore.h"

#include "settings/inicodec.h"
#include "settings/inifile.h"
#include "settings/settingstable.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>
#include <QSettings>

#include <algorithm>
#include <cstring>
#include <utility>

#ifdef Q_OS_UNIX
#include <cerrno>
#include <sys/stat.h>
#include <unistd.h>
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
    if (const Held *unsaved = held(section, key))
        return unsaved->value;
    refresh();
    return fileValue(section, key, true).value_or(QString());
}

const SettingsStore::Held *SettingsStore::held(const QString &section, const QString &key) const
{
    for (const Held &entry : m_unsaved) {
        if (entry.section == section && entry.key == key)
            return &entry;
    }
    return nullptr;
}

bool SettingsStore::SaveSetting(const QString &section, const QString &key, const QString &value)
{
    // Held until it reaches the disk: a failed write loses nothing for this run.
    const auto same = [&](const Held &entry) { return entry.section == section && entry.key == key; };
    if (const auto entry = std::find_if(m_unsaved.begin(), m_unsaved.end(), same); entry != m_unsaved.end())
        entry->value = value;
    else
        m_unsaved.append({section, key, value});

    if (m_registry) {
        m_registry->setValue(section + QLatin1Char('/') + key, value);
        m_registry->sync();
        if (m_registry->status() != QSettings::NoError)
            return failed(QStringLiteral("it cannot be written"));
        m_unsaved.clear();
        return true;
    }
    const QString folder = QFileInfo(m_path).absolutePath();
    if (!QDir().mkpath(folder))
        return failed(QStringLiteral("its folder %1 cannot be made").arg(folder));

    // Another instance writing at the same moment must not lose our line or
    // we its. Best effort: a folder we may not write takes no lock file.
    QLockFile lock(m_path + QStringLiteral(".lock"));
    lock.setStaleLockTime(kLockWaitMs * 5);
    lock.tryLock(kLockWaitMs); // held, if taken, until the lock goes out of scope

    // Against the file as it is now, whoever changed it meanwhile.
    m_loaded = false;
    refresh();
    QString why = unreadableReason();
    if (!why.isEmpty())
        return failed(why);
    // A file deleted while we run is put back whole, even for no change.
    if (m_stamp.exists && m_unsaved.size() == 1 && fileValue(section, key, false) == value) {
        m_unsaved.clear();
        return true; // already so: the file stays untouched
    }
    IniFile updated = *m_file;
    for (const Held &entry : std::as_const(m_unsaved))
        updated = IniFile(updated.withValue(entry.section, entry.key, IniCodec::encodeText(entry.value)));
    if (!writeFile(updated.bytes(), &why))
        return failed(why);
    *m_file = std::move(updated);
    m_seen = true;
    m_stamp = stampOf();
    m_unsaved.clear();
    return true;
}

namespace {

#ifdef Q_OS_UNIX
// Why a write failed, in the operator's words.
QString writeErrorText(int error)
{
    switch (error) {
    case ENOSPC:
        return QStringLiteral("the disk is full");
    case EDQUOT:
        return QStringLiteral("the disk quota is used up");
    case EFBIG:
        return QStringLiteral("the file would grow past the file size limit set for Zavo Keyer");
    case EROFS:
        return QStringLiteral("the disk is mounted read-only");
    case EIO:
        return QStringLiteral("the disk reported an input/output error");
    default:
        return QStringLiteral("it cannot be written (%1)").arg(QString::fromLocal8Bit(std::strerror(error)));
    }
}

// All of bytes to fd, or the errno that stopped it.
int writeAll(int fd, QByteArrayView bytes)
{
    while (!bytes.isEmpty()) {
        const ssize_t written = ::write(fd, bytes.data(), size_t(bytes.size()));
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0)
            return written < 0 ? errno : EIO;
        bytes = bytes.sliced(written);
    }
    return ::fsync(fd) == 0 ? 0 : errno;
}
#endif

} // namespace

bool SettingsStore::writeFile(const QByteArray &bytes, QString *why)
{
    const QFileInfo info(m_path);
    // QSaveFile would replace a read-only file by a new one: the operator
    // made it read-only to keep it as it is.
    if (info.exists() && !info.isWritable()) {
        *why = QStringLiteral("the file is read-only");
        return false;
    }
    // The new content goes to a temporary file next to the store and
    // replaces it only once all of it is on the disk. No fallback to
    // writing in place: a full disk would leave the store cut short.
    QSaveFile file(m_path);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
#ifdef Q_OS_UNIX
        const int error = errno; // as QSaveFile left it on the failed open
        if (error == EACCES || error == EPERM) {
            *why = QStringLiteral("no file can be made in its folder %1").arg(info.absolutePath());
            return false;
        }
        if (error == ENOSPC || error == EDQUOT || error == EROFS) {
            *why = writeErrorText(error);
            return false;
        }
#endif
        *why = QStringLiteral("it cannot be written (%1)").arg(file.errorString());
        return false;
    }
#ifdef Q_OS_UNIX
    // Written and synced here, each call checked: QSaveFile does not notice
    // a write that fails while it flushes its buffer on commit.
    if (const int error = writeAll(file.handle(), bytes); error != 0) {
        *why = writeErrorText(error);
        return false; // the temporary file goes with `file`
    }
#else
    for (QByteArrayView rest(bytes); !rest.isEmpty();) {
        const qint64 written = file.write(rest.data(), rest.size());
        if (written <= 0) {
            *why = QStringLiteral("it cannot be written (%1)").arg(file.errorString());
            return false;
        }
        rest = rest.sliced(written);
    }
#endif
    if (!file.commit()) {
        *why = QStringLiteral("it cannot be written (%1)").arg(file.errorString());
        return false;
    }
    return true;
}

bool SettingsStore::failed(const QString &why)
{
    m_untold = why;
    return false;
}

namespace {

// What a key is to the operator.
QString describe(const QString &section, const QString &key)
{
    const SettingsTable::Entry *entry = SettingsTable::find(section, key);
    if (entry && !entry->what.isEmpty())
        return entry->what;
    return QStringLiteral("[%1] %2").arg(section, key);
}

} // namespace

bool SettingsStore::reportUnsaved(Moment moment)
{
    if (m_untold.isEmpty() || m_unsaved.isEmpty()) {
        m_untold.clear();
        return false;
    }
    const QString why = std::exchange(m_untold, QString());
    QStringList what;
    for (const Held &entry : std::as_const(m_unsaved)) {
        const QString thing = describe(entry.section, entry.key);
        if (!what.contains(thing))
            what.append(thing);
    }
    QString list = what.takeLast();
    if (!what.isEmpty())
        list = what.join(QStringLiteral(", ")) + QStringLiteral(" and ") + list;
    if (m_reporter) {
        const QString outcome = moment == Moment::Exiting
            ? QStringLiteral("These changes are lost.")
            : QStringLiteral("Zavo Keyer keeps using the new values and saves them with the next "
                             "Update, or when its window closes, once the file can be written.");
        m_reporter(QStringLiteral("Zavo Keyer could not save %1 to %2: %3.\n%4")
                       .arg(list, location(), why, outcome));
    }
    return true;
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
