// The settings file as the operator's bytes: it is parsed the way QSettings
// parses an INI file, but a change rewrites only the value it changes. Every
// other byte (comments, blank lines, spacing, order, keys we do not know)
// stays exactly as it was, whoever wrote it. Parsing follows QSettings'
// INI reader line for line (where a line ends, what a comment is, which of
// two equal keys counts), so the two always agree on what a file says.
// Header only: the store and its tests are all that use it.
#pragma once

#include "settings/inicodec.h"

#include <QByteArray>
#include <QByteArrayView>
#include <QHash>
#include <QList>
#include <QString>

class IniFile
{
public:
    // One "key=value" line (a value may go on over several lines).
    struct Entry {
        QString section;
        QString key;
        // The value's bytes, blanks around it excluded.
        qsizetype valueBegin = 0;
        qsizetype valueEnd = 0;
        // Where the line really ends: after its comment, before its line break.
        qsizetype lineEnd = 0;
        // An unquoted ';' ended the value: the rest of the line is a comment.
        bool hasComment = false;
    };

    IniFile() = default;
    explicit IniFile(QByteArray bytes);

    const QByteArray &bytes() const { return m_bytes; }
    // Every key line, in the order of the file.
    const QList<Entry> &entries() const { return m_entries; }
    // The line QSettings takes for section/key (the last one), or nullptr.
    const Entry *find(const QString &section, const QString &key) const;
    QByteArrayView value(const Entry &entry) const;
    // The value with its comment, as the operator sees it in the file.
    QByteArrayView typed(const Entry &entry) const;
    // Lines that are neither a section, a key with its value, nor a comment.
    const QList<QByteArray> &strayLines() const { return m_stray; }

    // The file with section/key set to the encoded value: the value of its
    // line replaced in place, or a new line at the end of the section, or a
    // new section at the end of the file.
    QByteArray withValue(const QString &section, const QString &key, const QByteArray &encoded) const;

    // Why the bytes cannot be a settings file (they hold binary data), or empty.
    QString binaryReason() const;

private:
    // One "[name]" header and the entries under it, up to the next header.
    struct Section {
        QString name;
        qsizetype insertAt = 0; // after the header's line or its last entry's line
    };

    void parse();
    qsizetype afterLineBreak(qsizetype pos) const;

    QByteArray m_bytes;
    QList<Entry> m_entries;
    QList<Section> m_sections;
    QHash<QString, qsizetype> m_index; // section + '\n' + key -> entry
    QList<QByteArray> m_stray;
    QByteArray m_newline = "\n";
};

namespace IniFileDetail {

inline bool isSpace(char c)
{
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

inline bool isSpecial(char c)
{
    return c == '\n' || c == '\r' || c == '"' || c == ';' || c == '=' || c == '\\';
}

inline bool isBlank(char c)
{
    return c == ' ' || c == '\t';
}

// One logical line from pos on: comment lines and empty lines are skipped,
// a quoted value or a backslash carries the line over a line break, an
// unquoted ';' ends it. False at the end of the data.
inline bool readLine(QByteArrayView data, qsizetype &pos, qsizetype &lineStart, qsizetype &lineLen,
              qsizetype &equalsPos)
{
    const qsizetype size = data.size();
    bool inQuotes = false;
    equalsPos = -1;
    lineStart = pos;
    while (lineStart < size && isSpace(data[lineStart]))
        ++lineStart;
    qsizetype i = lineStart;
    while (i < size) {
        char c = data[i];
        while (!isSpecial(c)) {
            if (++i == size)
                goto done;
            c = data[i];
        }
        ++i;
        if (c == '=') {
            if (!inQuotes && equalsPos == -1)
                equalsPos = i - 1;
        } else if (c == '\n' || c == '\r') {
            if (i == lineStart + 1) {
                ++lineStart;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        } else if (c == '\\') {
            if (i < size) {
                const char next = data[i++];
                if (i < size) {
                    const char after = data[i];
                    if ((next == '\n' && after == '\r') || (next == '\r' && after == '\n'))
                        ++i;
                }
            }
        } else if (c == '"') {
            inQuotes = !inQuotes;
        } else { // ';'
            if (i == lineStart + 1) {
                while (i < size && data[i] != '\n' && data[i] != '\r')
                    ++i;
                while (i < size && isSpace(data[i]))
                    ++i;
                lineStart = i;
            } else if (!inQuotes) {
                --i;
                goto done;
            }
        }
    }
done:
    pos = i;
    lineLen = i - lineStart;
    return lineLen > 0;
}

} // namespace IniFileDetail


inline IniFile::IniFile(QByteArray bytes)
    : m_bytes(std::move(bytes))
{
    parse();
}

inline const IniFile::Entry *IniFile::find(const QString &section, const QString &key) const
{
    const auto it = m_index.constFind(section + QLatin1Char('\n') + key);
    return it == m_index.cend() ? nullptr : &m_entries.at(*it);
}

inline QByteArrayView IniFile::value(const Entry &entry) const
{
    return QByteArrayView(m_bytes).sliced(entry.valueBegin, entry.valueEnd - entry.valueBegin);
}

inline QByteArrayView IniFile::typed(const Entry &entry) const
{
    qsizetype end = entry.lineEnd;
    while (end > entry.valueBegin && IniFileDetail::isBlank(m_bytes.at(end - 1)))
        --end;
    return QByteArrayView(m_bytes).sliced(entry.valueBegin, end - entry.valueBegin);
}

inline void IniFile::parse()
{
    const QByteArrayView data(m_bytes);
    const qsizetype start = data.startsWith("\xef\xbb\xbf") ? 3 : 0;
    const qsizetype firstBreak = m_bytes.indexOf('\n');
    if (firstBreak > 0 && m_bytes.at(firstBreak - 1) == '\r')
        m_newline = "\r\n";

    // Keys before the first header belong to the general section.
    m_sections.append({QString(), start});
    QString section;
    qsizetype pos = start;
    qsizetype lineStart = 0;
    qsizetype lineLen = 0;
    qsizetype equalsPos = -1;
    while (IniFileDetail::readLine(data, pos, lineStart, lineLen, equalsPos)) {
        const QByteArrayView line = data.sliced(lineStart, lineLen);
        const qsizetype end = lineStart + lineLen;
        if (line.startsWith('[')) {
            const qsizetype close = line.indexOf(']');
            const QByteArray name = (close < 0 ? line.sliced(1) : line.sliced(1, close - 1)).toByteArray().trimmed();
            if (name.compare("general", Qt::CaseInsensitive) == 0)
                section.clear();
            else if (name.compare("%general", Qt::CaseInsensitive) == 0)
                section = QString::fromLatin1(name.mid(1));
            else
                section = IniCodec::unescapeKey(name);
            m_sections.append({section, afterLineBreak(end)});
            continue;
        }
        if (equalsPos < 0) {
            m_stray.append(line.toByteArray());
            continue;
        }
        qsizetype keyEnd = equalsPos;
        while (keyEnd > lineStart && IniFileDetail::isBlank(data[keyEnd - 1]))
            --keyEnd;
        Entry entry;
        entry.section = section;
        entry.key = IniCodec::unescapeKey(data.sliced(lineStart, keyEnd - lineStart));
        entry.valueBegin = equalsPos + 1;
        while (entry.valueBegin < end && IniFileDetail::isBlank(data[entry.valueBegin]))
            ++entry.valueBegin;
        entry.valueEnd = end;
        while (entry.valueEnd > entry.valueBegin && IniFileDetail::isBlank(data[entry.valueEnd - 1]))
            --entry.valueEnd;
        entry.hasComment = end < data.size() && data[end] == ';';
        entry.lineEnd = end;
        if (entry.hasComment) {
            while (entry.lineEnd < data.size() && data[entry.lineEnd] != '\n' && data[entry.lineEnd] != '\r')
                ++entry.lineEnd;
        }
        m_index.insert(entry.section + QLatin1Char('\n') + entry.key, m_entries.size());
        m_sections.last().insertAt = afterLineBreak(entry.lineEnd);
        m_entries.append(entry);
    }
}

inline qsizetype IniFile::afterLineBreak(qsizetype pos) const
{
    while (pos < m_bytes.size() && m_bytes.at(pos) != '\n' && m_bytes.at(pos) != '\r')
        ++pos;
    if (pos < m_bytes.size() && m_bytes.at(pos) == '\r')
        ++pos;
    if (pos < m_bytes.size() && m_bytes.at(pos) == '\n')
        ++pos;
    return pos;
}

inline QByteArray IniFile::withValue(const QString &section, const QString &key, const QByteArray &encoded) const
{
    QByteArray out = m_bytes;
    if (const Entry *entry = find(section, key)) {
        out.replace(entry->valueBegin, entry->valueEnd - entry->valueBegin, encoded);
        return out;
    }
    const QByteArray line = IniCodec::escapeKey(key) + '=' + encoded + m_newline;
    const auto endsWithBreak = [](const QByteArray &bytes, qsizetype at) {
        return at == 0 || bytes.at(at - 1) == '\n' || bytes.at(at - 1) == '\r';
    };
    for (auto it = m_sections.crbegin(); it != m_sections.crend(); ++it) {
        // The general section without a header has no place of its own to add to.
        if (it->name != section || (section.isEmpty() && it == m_sections.crend() - 1))
            continue;
        out.insert(it->insertAt, endsWithBreak(out, it->insertAt) ? line : m_newline + line);
        return out;
    }
    if (!endsWithBreak(out, out.size()))
        out += m_newline;
    // A blank line between sections, as QSettings writes them.
    if (!out.isEmpty() && !out.endsWith(m_newline + m_newline) && out != "\xef\xbb\xbf")
        out += m_newline;
    out += '[' + IniCodec::escapeKey(section) + ']' + m_newline + line;
    return out;
}

inline QString IniFile::binaryReason() const
{
    for (qsizetype i = 0; i < m_bytes.size(); ++i) {
        const auto c = static_cast<uchar>(m_bytes.at(i));
        if (c < 0x20 && (c < 0x09 || c > 0x0D)) {
            return QStringLiteral("it holds binary data, not text (a byte 0x%1 at offset %2)")
                .arg(c, 2, 16, QLatin1Char('0'))
                .arg(i);
        }
    }
    return {};
}
