// The per-user settings store: text values addressed by section and key
// under the one application name. A missing key reads as the empty text.
//
// The store's file belongs to the operator as much as to us: it may be
// edited by hand, made read-only, replaced or deleted while the program
// runs. A write changes only the value written and leaves every other byte
// of the file as it was; a file that is no text at all is never written.
// A write lands whole or not at all: the file is replaced by a complete copy
// made next to it, never cut short in place.
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
    // itself: see reportUnsaved().
    bool SaveSetting(const QString &section, const QString &key, const QString &value);

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

    // True when anything at all is stored (the first run finds nothing).
    bool exists() const;
    // The file (or registry path) behind the store, for messages.
    QString location() const;

    void setErrorReporter(std::function<void(const QString &message)> reporter);

    // Why the store's file cannot be used at all (it cannot be read, or it
    // holds binary data), or the empty text.
    QString unreadableReason() const;
    // Lines typed by hand that read differently from how they look (a
    // comment after ';', a backslash, a quote) among the keys read so far,
    // and lines that say nothing the store understands; one note each.
    // Taking them empties the list.
    QStringList takeHandEditNotes();

private:
    // Re-reads the file if it changed on disk since it was last read.
    void refresh() const;
    // The value the file gives section/key, if any, and a note when its
    // line reads differently from how it looks.
    std::optional<QString> fileValue(const QString &section, const QString &key, bool note) const;
    bool writeFile(const QByteArray &bytes, QString *why);
    bool failed(const QString &why);

    // Size, times and inode of the file, to tell when it changed.
    struct Stamp {
        bool exists = false;
        qint64 size = -1;
        qint64 modifiedNs = 0;
        qint64 changedNs = 0;
        quint64 inode = 0;
        bool operator==(const Stamp &) const = default;
    };
    Stamp stampOf() const;

    std::unique_ptr<QSettings> m_registry; // Windows only
    QString m_path;
    std::function<void(const QString &)> m_reporter;
    // Why the last write failed, if one failed since the last report.
    QString m_untold;

    // The file as last read (or written); never null.
    std::unique_ptr<IniFile> m_file;
    mutable Stamp m_stamp;
    mutable bool m_loaded = false;
    // The file was there once: if it goes, the last content read stands in
    // for it, and the next write puts all of it back.
    mutable bool m_seen = false;
    mutable QString m_readError;
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
