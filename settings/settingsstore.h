// The per-user settings store: text values addressed by section and key
// under the one application name. A missing key reads as the empty text.
//
// The store's file belongs to the operator as much as to us: it may be
// edited by hand, made read-only, replaced or deleted while the program
// runs. A write changes only the value written and leaves every other byte
// of the file as it was; a file that is no text at all is never written.
// A write lands whole or not at all: the file is replaced by a complete copy
// made next to it, never cut short in place. All the keys of one action of
// the operator go out in one such replace (see Batch), so that a crash leaves
// either the old store or the new one. Only an ordinary file (or a link to
// one) is ever read or replaced: a device, a FIFO or a folder in its place is
// neither read nor written, and the values stay in memory.
#pragma once

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class IniFile;
class QSettings;

class SettingsStore
{
public:
    static constexpr char kApplication[] = "Vardel Zavo Keyer";

    // The operator's own store: on Linux "$XDG_CONFIG_HOME/Vardel Zavo Keyer.conf";
    // on Windows the registry key that earlier releases used.
    SettingsStore();
    // A store in an INI file of the caller's choosing (same format as on Linux).
    explicit SettingsStore(const QString &iniPath);
    ~SettingsStore();

    SettingsStore(const SettingsStore &) = delete;
    SettingsStore &operator=(const SettingsStore &) = delete;

    QString GetSetting(const QString &section, const QString &key) const;
    // Writes and flushes at once, together with any value held from an
    // earlier failed write. Returns false when the store could not be
    // written; the value is then held for the rest of the run (reads give
    // it) and goes out with the next write that succeeds. Reports nothing
    // itself: see reportUnsaved(). Inside a Batch it only holds the value
    // and returns true: the batch writes.
    bool SaveSetting(const QString &section, const QString &key, const QString &value);

    // The writes of one action of the operator (an Update, the close, the
    // first run's seed): while a batch lives, SaveSetting holds its values,
    // and commit() (or the end of the batch) writes them all, with anything
    // held from before, in one replace of the file. Batches may nest; the
    // outermost one writes.
    class Batch
    {
    public:
        explicit Batch(SettingsStore &store);
        ~Batch();
        Batch(const Batch &) = delete;
        Batch &operator=(const Batch &) = delete;
        // Returns false when the store could not be written (the values are
        // then held, as after a failed SaveSetting).
        bool commit();

    private:
        SettingsStore &m_store;
        bool m_open = true;
    };

    enum class Moment { Running, Exiting };
    // Tells the error reporter, in one message, what the writes since the
    // last report could not save and why; says nothing when they all
    // landed. Every action of the operator that writes (an Update, the
    // close, the first run's seed) calls it once when its writes are done,
    // so that one action never raises more than one message. At Exiting
    // the held values are about to be lost, and the message says so.
    // Returns whether anything was reported.
    bool reportUnsaved(Moment moment = Moment::Running);
    // Whether any value is held unsaved.
    bool hasUnsaved() const { return !m_unsaved.isEmpty(); }

    // True when anything at all is stored (the first run finds nothing). A
    // store that is no ordinary file stores nothing.
    bool exists() const;
    // The file (or registry path) behind the store, for messages.
    QString location() const;

    void setErrorReporter(std::function<void(const QString &message)> reporter);

    // Why the store's file cannot be used at all (it cannot be read, it is
    // too large or it holds binary data), or the empty text. Something that
    // is no ordinary file is not this: it is never read, and the first
    // write that meets it says so (the program runs on without a store).
    QString unreadableReason() const;
    // Lines typed by hand that read differently from how they look (a
    // comment after ';', a backslash, a quote) among the keys read so far,
    // and lines that say nothing the store understands; one note each.
    // Taking them empties the list.
    QStringList takeHandEditNotes();

private:
    // Re-reads the file if it changed on disk since it was last read.
    void refresh() const;
    // Writes every held value in one replace of the file.
    bool writeHeld();
    // The value the file gives section/key, if any, and a note when its
    // line reads differently from how it looks.
    std::optional<QString> fileValue(const QString &section, const QString &key, bool note) const;
    bool writeFile(const QString &target, const QByteArray &bytes, QString *why);
    bool failed(const QString &why, bool notAFile = false);

    // What is at the path, as lstat() and stat() see it without opening
    // anything, to tell when it changed and whether it is a file to use.
    struct Stamp {
        bool exists = false;   // anything at all, a dangling link included
        bool regular = false;  // an ordinary file, or a link to one
        quint32 linkMode = 0;  // lstat's mode: a link swapped for a file shows
        quint32 mode = 0;
        qint64 size = -1;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        quint64 inode = 0;
        quint64 device = 0;
        bool operator==(const Stamp &) const = default;
    };
    Stamp stampOf() const;
    // Why what is at the path is no file to read or replace, or empty.
    QString notAFileReason(const Stamp &stamp) const;

    std::unique_ptr<QSettings> m_registry; // Windows only
    QString m_path;
    std::function<void(const QString &)> m_reporter;
    // Why the last write failed, if one failed since the last report.
    QString m_untold;
    bool m_untoldNotAFile = false;
    // That nothing is saved to something that is no file is told once.
    QString m_toldNotAFile;
    int m_batchDepth = 0;

    // The file as last read (or written); never null.
    std::unique_ptr<IniFile> m_file;
    mutable Stamp m_stamp;
    mutable bool m_loaded = false;
    // The file was there once: if it goes, the last content read stands in
    // for it, and the next write puts all of it back.
    mutable bool m_seen = false;
    // The last content read stands in for a file that went (or was emptied).
    mutable bool m_standIn = false;
    // The file was found empty though it held something when last read: an
    // editor may be between truncating it and writing it again.
    mutable bool m_emptied = false;
    bool m_emptiedRefused = false;
    mutable QString m_readError;
    mutable QString m_notAFile;
    // Values that could not be written, held for the rest of the run, in
    // the order they were written (new keys reach the file in that order).
    struct Held {
        QString section;
        QString key;
        QString value;
    };
    QList<Held> m_unsaved;
    const Held *held(const QString &section, const QString &key) const;
    mutable QStringList m_notes;
    mutable QSet<QString> m_noted;
    bool m_strayNoted = false;
};
