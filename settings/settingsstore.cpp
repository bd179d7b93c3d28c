// The settings store on an INI file (and, on Windows, the registry of the
// earlier releases). The file is read again whenever it changed on disk and
// written through IniFile, which changes nothing but the value written.
#include "settings/settingsstore.h"

#include "settings/inicodec.h"
#include "settings/inifile.h"
#include "settings/settingstable.h"

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <QThread>

#include <algorithm>
#include <cstring>
#include <utility>

#ifdef Q_OS_UNIX
#include <QRandomGenerator>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#else
#include <QLockFile>
#include <QSaveFile>
#endif

namespace {

// A note shows this much of a line; a runaway quote can swallow a lot of file.
constexpr qsizetype kNoteChars = 60;
// More notes than this would not fit a message box.
constexpr int kMaxNotes = 12;
// How long a write waits for another instance that holds the file.
constexpr int kLockWaitMs = 2000;
// Our settings file is a few kilobytes. Reading stops here, whatever the
// file claims: a file that keeps growing must not take memory without end.
constexpr qint64 kMaxFileBytes = 1024 * 1024;

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
    // The file QSettings would use, named the way QSettings names it; a
    // QSettings object would read the file as it is made, and a FIFO put
    // there would hang the program before its window.
    m_path = QFileInfo(QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)
                       + QLatin1Char('/') + QLatin1String(kApplication) + QStringLiteral(".conf"))
                 .absoluteFilePath();
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
    const QByteArray name = QFile::encodeName(m_path);
    struct stat st {};
    if (::lstat(name.constData(), &st) != 0)
        return stamp;
    stamp.exists = true;
    stamp.linkMode = st.st_mode;
    if (S_ISLNK(st.st_mode) && ::stat(name.constData(), &st) != 0)
        return stamp; // a link to nothing
    stamp.mode = st.st_mode;
    stamp.regular = S_ISREG(st.st_mode);
    stamp.size = st.st_size;
    stamp.modifiedNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.changedNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    stamp.inode = st.st_ino;
    stamp.device = st.st_dev;
#else
    const QFileInfo info(m_path);
    stamp.exists = info.exists() || info.isSymLink();
    stamp.regular = info.isFile();
    stamp.size = info.size();
    stamp.modifiedNs = info.lastModified().toMSecsSinceEpoch() * 1000000;
#endif
    return stamp;
}

QString SettingsStore::notAFileReason(const Stamp &stamp) const
{
    if (!stamp.exists || stamp.regular)
        return {};
#ifdef Q_OS_UNIX
    const auto kind = [](quint32 mode) {
        if (S_ISFIFO(mode))
            return QStringLiteral("a FIFO (named pipe)");
        if (S_ISCHR(mode))
            return QStringLiteral("a character device");
        if (S_ISBLK(mode))
            return QStringLiteral("a block device");
        if (S_ISDIR(mode))
            return QStringLiteral("a folder");
        if (S_ISSOCK(mode))
            return QStringLiteral("a socket");
        return QStringLiteral("something else");
    };
    if (S_ISLNK(stamp.linkMode)) {
        const QString target = QFile::symLinkTarget(m_path);
        if (stamp.mode == 0)
            return QStringLiteral("it is a link to %1, which does not exist").arg(target);
        return QStringLiteral("it is a link to %1, %2, not an ordinary file").arg(target, kind(stamp.mode));
    }
    return QStringLiteral("it is %1, not an ordinary file").arg(kind(stamp.mode));
#else
    return QStringLiteral("it is not an ordinary file");
#endif
}

namespace {

enum class Read { Done, NotAFile, Failed };

// All of an ordinary file, or why not. Opened without waiting and looked
// at again once open: the path may have become a FIFO since it was looked
// at, and opening one to read waits for a writer that never comes.
Read readFile(const QString &path, QByteArray *bytes, QString *why)
{
    const QString tooLarge = QStringLiteral("it is larger than %1 kB, which no settings file of "
                                            "Zavo Keyer comes near")
                                 .arg(kMaxFileBytes / 1024);
#ifdef Q_OS_UNIX
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        *why = QStringLiteral("it cannot be read (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)));
        return Read::Failed;
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        ::close(fd);
        return Read::NotAFile;
    }
    bytes->clear();
    char buffer[16384];
    ssize_t n = 0;
    while ((n = ::read(fd, buffer, sizeof buffer)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0 || bytes->size() + n > kMaxFileBytes) {
            *why = n < 0 ? QStringLiteral("it cannot be read (%1)").arg(QString::fromLocal8Bit(std::strerror(errno)))
                         : tooLarge;
            ::close(fd);
            return Read::Failed;
        }
        bytes->append(buffer, n);
    }
    ::close(fd);
    return Read::Done;
#else
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        *why = QStringLiteral("it cannot be read (%1)").arg(file.errorString());
        return Read::Failed;
    }
    *bytes = file.read(kMaxFileBytes + 1);
    if (bytes->size() > kMaxFileBytes) {
        *why = tooLarge;
        return Read::Failed;
    }
    return Read::Done;
#endif
}

} // namespace

void SettingsStore::refresh() const
{
    const Stamp now = stampOf();
    if (m_loaded && now == m_stamp)
        return;
    m_loaded = true;
    m_stamp = now;
    m_readError.clear();
    m_notAFile = notAFileReason(now);
    m_emptied = false;
    // Gone while we run, or something that is no file put in its place:
    // the last content read stands in for it.
    m_standIn = m_seen;
    if (!now.regular)
        return;
    QByteArray bytes;
    QString why;
    switch (readFile(m_path, &bytes, &why)) {
    case Read::NotAFile:
        m_notAFile = QStringLiteral("it is not an ordinary file");
        return;
    case Read::Failed:
        m_readError = why;
        return;
    case Read::Done:
        break;
    }
    // An editor that saves by truncating the file and writing it again
    // leaves it empty for a moment; that is not the operator's store.
    if (bytes.isEmpty() && m_seen && !m_file->bytes().isEmpty()) {
        m_emptied = true;
        return;
    }
    *m_file = IniFile(std::move(bytes));
    m_seen = true;
    m_standIn = false;
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
    return m_batchDepth > 0 || writeHeld();
}

SettingsStore::Batch::Batch(SettingsStore &store)
    : m_store(store)
{
    ++m_store.m_batchDepth;
}

SettingsStore::Batch::~Batch()
{
    commit();
}

bool SettingsStore::Batch::commit()
{
    if (!std::exchange(m_open, false))
        return !m_store.hasUnsaved();
    return --m_store.m_batchDepth > 0 || m_store.writeHeld();
}

namespace {

#ifdef Q_OS_UNIX
// Another instance writing at the same moment must not lose our keys or we
// its. Best effort: a folder we may not write takes no lock file, and a
// name taken by something that is no file (a FIFO would hold the open) is
// left alone. The file goes when the lock is let go; whoever took the lock
// on a file just removed takes it again on the one now at the name.
class StoreLock
{
public:
    explicit StoreLock(const QString &path)
        : m_name(QFile::encodeName(path))
    {
        const QDeadlineTimer deadline(kLockWaitMs);
        for (;;) {
            struct stat st {};
            if (::lstat(m_name.constData(), &st) == 0 && !S_ISREG(st.st_mode))
                return;
            const int fd = ::open(m_name.constData(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
            if (fd < 0)
                return;
            struct stat held {};
            if (::fstat(fd, &held) != 0 || !S_ISREG(held.st_mode)) {
                ::close(fd);
                return;
            }
            if (::flock(fd, LOCK_EX | LOCK_NB) == 0) {
                if (::stat(m_name.constData(), &st) == 0 && st.st_ino == held.st_ino && st.st_dev == held.st_dev) {
                    m_fd = fd;
                    return;
                }
            } else if (errno != EWOULDBLOCK || deadline.hasExpired()) {
                ::close(fd);
                return;
            } else {
                QThread::msleep(10);
            }
            ::close(fd);
        }
    }
    ~StoreLock()
    {
        if (m_fd < 0)
            return;
        ::unlink(m_name.constData());
        ::close(m_fd);
    }
    StoreLock(const StoreLock &) = delete;
    StoreLock &operator=(const StoreLock &) = delete;

private:
    QByteArray m_name;
    int m_fd = -1;
};
#else
class StoreLock
{
public:
    explicit StoreLock(const QString &path)
        : m_lock(path)
    {
        m_lock.setStaleLockTime(kLockWaitMs * 5);
        m_lock.tryLock(kLockWaitMs); // held, if taken, until the lock goes
    }

private:
    QLockFile m_lock;
};
#endif

} // namespace

bool SettingsStore::writeHeld()
{
    if (m_unsaved.isEmpty())
        return true;
    if (m_registry) {
        for (const Held &entry : std::as_const(m_unsaved))
            m_registry->setValue(entry.section + QLatin1Char('/') + entry.key, entry.value);
        m_registry->sync();
        if (m_registry->status() != QSettings::NoError)
            return failed(QStringLiteral("it cannot be written"));
        m_unsaved.clear();
        return true;
    }
    // Nothing is opened, made or locked for a path that is no file.
    if (const QString why = notAFileReason(stampOf()); !why.isEmpty())
        return failed(why, true);
    // Through a link, the file it names is the one replaced.
    const QString canonical = QFileInfo(m_path).canonicalFilePath();
    const QString target = canonical.isEmpty() ? m_path : canonical;
    const QString folder = QFileInfo(target).absolutePath();
    if (!QDir().mkpath(folder))
        return failed(QStringLiteral("its folder %1 cannot be made").arg(folder));

    const StoreLock lock(target + QStringLiteral(".lock"));
    // Against the file as it is now, whoever changed it meanwhile.
    m_loaded = false;
    refresh();
    if (!m_notAFile.isEmpty())
        return failed(m_notAFile, true);
    QString why = unreadableReason();
    if (!why.isEmpty())
        return failed(why);
    // Found empty twice in a row, it was emptied for good: like a deleted
    // file, it gets the whole store back.
    if (!m_emptied) {
        m_emptiedRefused = false;
    } else if (!std::exchange(m_emptiedRefused, true)) {
        return failed(QStringLiteral("it was found empty, though it held the settings when last read; "
                                     "another program may be writing it at this moment, so it was "
                                     "left alone"));
    }
    IniFile updated = *m_file;
    for (const Held &entry : std::as_const(m_unsaved))
        updated = IniFile(updated.withValue(entry.section, entry.key, IniCodec::encodeText(entry.value)));
    // Already so: the file stays untouched. A file that went is put back,
    // even for no change.
    if (m_stamp.exists && !m_standIn && updated.bytes() == m_file->bytes()) {
        m_unsaved.clear();
        return true;
    }
    if (!writeFile(target, updated.bytes(), &why))
        return failed(why);
    *m_file = std::move(updated);
    m_seen = true;
    m_standIn = false;
    m_emptied = false;
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

bool SettingsStore::writeFile(const QString &target, const QByteArray &bytes, QString *why)
{
    const QString folder = QFileInfo(target).absolutePath();
#ifdef Q_OS_UNIX
    const QByteArray name = QFile::encodeName(target);
    struct stat old {};
    const bool replacing = ::stat(name.constData(), &old) == 0;
    // A new file would replace a read-only one: the operator made it
    // read-only to keep it as it is.
    if (replacing && ::access(name.constData(), W_OK) != 0) {
        *why = errno == EROFS ? writeErrorText(EROFS) : QStringLiteral("the file is read-only");
        return false;
    }
    // The new content goes to a file of its own next to the store and
    // replaces it only once all of it is on the disk: one rename, so that
    // whoever reads the store, or starts after a crash, finds the old
    // content or the new, whole. No fallback to writing in place: a full
    // disk would leave the store cut short.
    QByteArray temporary;
    int fd = -1;
    for (int attempt = 0; fd < 0 && attempt < 8; ++attempt) {
        temporary = name + '.' + QByteArray::number(QRandomGenerator::global()->generate64(), 36);
        fd = ::open(temporary.constData(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
        if (fd < 0 && errno != EEXIST)
            break;
    }
    if (fd < 0) {
        const int error = errno;
        *why = error == EACCES || error == EPERM ? QStringLiteral("no file can be made in its folder %1").arg(folder)
                                                 : writeErrorText(error);
        return false;
    }
    if (replacing) {
        // The copy takes the file's place, and its owner and permissions with it.
        [[maybe_unused]] const int owned = ::fchown(fd, old.st_uid, old.st_gid);
        [[maybe_unused]] const int kept = ::fchmod(fd, old.st_mode & 07777);
    }
    int error = writeAll(fd, bytes);
    if (::close(fd) != 0 && error == 0)
        error = errno;
    if (error == 0 && ::rename(temporary.constData(), name.constData()) != 0)
        error = errno;
    if (error != 0) {
        ::unlink(temporary.constData());
        *why = writeErrorText(error);
        return false;
    }
    // The folder is not synced: until the system writes it out, a power cut
    // leaves the old store, whole, and a sync of its own would cost an
    // Update as much again on a slow disk.
    return true;
#else
    const QFileInfo info(target);
    if (info.exists() && !info.isWritable()) {
        *why = QStringLiteral("the file is read-only");
        return false;
    }
    QSaveFile file(target);
    if (!file.open(QIODevice::WriteOnly | QIODevice::Unbuffered)) {
        *why = QStringLiteral("it cannot be written (%1)").arg(file.errorString());
        return false;
    }
    for (QByteArrayView rest(bytes); !rest.isEmpty();) {
        const qint64 written = file.write(rest.data(), rest.size());
        if (written <= 0) {
            *why = QStringLiteral("it cannot be written (%1)").arg(file.errorString());
            return false;
        }
        rest = rest.sliced(written);
    }
    if (!file.commit()) {
        *why = QStringLiteral("it cannot be written (%1)").arg(file.errorString());
        return false;
    }
    Q_UNUSED(folder);
    return true;
#endif
}

bool SettingsStore::failed(const QString &why, bool notAFile)
{
    m_untold = why;
    m_untoldNotAFile = notAFile;
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
    // While the path is no file nothing is saved at all; once said, the
    // operator knows it for every action that follows.
    if (m_untoldNotAFile && std::exchange(m_toldNotAFile, why) == why)
        return false;
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
        const QString outcome = moment == Moment::Exiting ? QStringLiteral("These changes are lost.")
            : m_untoldNotAFile
            ? QStringLiteral("Zavo Keyer reads and replaces only an ordinary file: it saves nothing "
                             "there and runs on with the values in memory, which are lost when it ends.")
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
    return stampOf().regular;
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
