// The text encoding of the settings file, the INI dialect QSettings writes
// and reads: values with quotes and backslash escapes, keys and section
// names with percent escapes. Earlier releases wrote the store through
// QSettings, so every file they left behind reads the same here, and what
// is written here reads the same in QSettings. The rules are QSettings'
// own, byte for byte; the tests hold them against QSettings itself.
// Header only: the store and its tests are all that use it.
#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringDecoder>
#include <QStringList>

namespace IniCodec {

// A value as QSettings reads it: a text, or a list when an unquoted comma
// split it.
struct Decoded {
    QString text;       // the text; for a list its items joined by ", "
    QStringList items;  // the items of a list, else empty
    bool isList = false;
};

// The bytes QSettings writes for a text value (after the '=').
inline QByteArray encodeText(const QString &value);
// A value as QSettings reads it from the bytes after the '=' up to the end
// of the line (a trailing comment already cut off). Values of other types
// QSettings knows (@Variant, @Rect, ...) read as the empty text, as
// QVariant::toString() gives them.
inline Decoded decodeValue(QByteArrayView raw);

// A key or section name as QSettings writes it ("Windows Settings" ->
// "Windows%20Settings"), and back.
inline QByteArray escapeKey(const QString &key);
inline QString unescapeKey(QByteArrayView key);


namespace detail {

inline bool isHexDigit(char16_t c)
{
    return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f') || (c >= u'A' && c <= u'F');
}

inline int hexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return c - 'A' + 10;
}

// Blanks at the end of what an unquoted run added are not part of the value.
inline void chopTrailingBlanks(QString &text, qsizetype limit)
{
    while (text.size() > limit && (text.back() == u' ' || text.back() == u'\t'))
        text.chop(1);
}

// QSettings' reading of a single (non-list) text: the '@' forms.
inline QString textOf(const QString &s)
{
    if (s.startsWith(u'@')) {
        if (s.endsWith(u')')) {
            if (s.startsWith(QLatin1String("@ByteArray(")))
                return QString::fromUtf8(s.sliced(11).chopped(1).toLatin1());
            if (s.startsWith(QLatin1String("@String(")))
                return s.sliced(8).chopped(1);
            for (const char *other : {"@Variant(", "@DateTime(", "@Rect(", "@Size(", "@Point("}) {
                if (s.startsWith(QLatin1String(other)))
                    return {};
            }
            if (s == QLatin1String("@Invalid()"))
                return {};
        }
        if (s.startsWith(QLatin1String("@@")))
            return s.sliced(1);
    }
    return s;
}

} // namespace detail

inline QByteArray encodeText(const QString &value)
{
    QString s = value;
    if (s.contains(QChar(0)))
        s = QStringLiteral("@String(") + s + QLatin1Char(')');
    else if (s.startsWith(u'@'))
        s.prepend(u'@');

    QByteArray out;
    out.reserve(s.size() + s.size() / 2);
    bool needsQuotes = false;
    bool escapeNextIfDigit = false;
    for (qsizetype i = 0; i < s.size(); ++i) {
        const char16_t c = s.at(i).unicode();
        if (c == u';' || c == u',' || c == u'=')
            needsQuotes = true;
        if (escapeNextIfDigit && detail::isHexDigit(c)) {
            out += "\\x" + QByteArray::number(c, 16);
            continue;
        }
        escapeNextIfDigit = false;
        switch (c) {
        case 0:
            out += "\\0";
            escapeNextIfDigit = true;
            break;
        case u'\a': out += "\\a"; break;
        case u'\b': out += "\\b"; break;
        case u'\f': out += "\\f"; break;
        case u'\n': out += "\\n"; break;
        case u'\r': out += "\\r"; break;
        case u'\t': out += "\\t"; break;
        case u'\v': out += "\\v"; break;
        case u'"': out += "\\\""; break;
        case u'\\': out += "\\\\"; break;
        default:
            if (c <= 0x1F) {
                out += "\\x" + QByteArray::number(c, 16);
                escapeNextIfDigit = true;
            } else if (QChar::isHighSurrogate(c) && i + 1 < s.size() && s.at(i + 1).isLowSurrogate()) {
                out += s.sliced(i, 2).toUtf8();
                ++i;
            } else {
                out += QStringView(s).sliced(i, 1).toUtf8();
            }
        }
    }
    if (needsQuotes || (!out.isEmpty() && (out.front() == ' ' || out.back() == ' '))) {
        out.prepend('"');
        out.append('"');
    }
    return out;
}

inline Decoded decodeValue(QByteArrayView raw)
{
    Decoded result;
    QString text;
    QStringDecoder fromUtf8(QStringDecoder::Utf8);
    bool inQuotes = false;
    bool quoted = false; // the current item had quotes: none of its blanks are cut
    bool chopAtEnd = true; // QSettings leaves the blanks when a lone backslash ends the value
    qsizetype chopLimit = 0;
    qsizetype i = 0;
    const qsizetype size = raw.size();
    auto skipBlanks = [&] {
        while (i < size && (raw[i] == ' ' || raw[i] == '\t'))
            ++i;
        chopLimit = text.size();
    };
    skipBlanks();
    while (i < size) {
        const char c = raw[i];
        if (c == '\\') {
            ++i;
            if (i >= size) {
                chopAtEnd = false;
                break;
            }
            const char e = raw[i++];
            switch (e) {
            case 'a': text += u'\a'; break;
            case 'b': text += u'\b'; break;
            case 'f': text += u'\f'; break;
            case 'n': text += u'\n'; break;
            case 'r': text += u'\r'; break;
            case 't': text += u'\t'; break;
            case 'v': text += u'\v'; break;
            case '"':
            case '?':
            case '\'':
            case '\\':
                text += QLatin1Char(e);
                break;
            case 'x': {
                if (i >= size)
                    chopAtEnd = false;
                if (i < size && detail::isHexDigit(char16_t(uchar(raw[i])))) {
                    char16_t value = 0;
                    while (i < size && detail::isHexDigit(char16_t(uchar(raw[i]))))
                        value = char16_t((value << 4) + detail::hexValue(raw[i++]));
                    text += QChar(value);
                }
                break;
            }
            case '\n':
            case '\r':
                // A line continued on the next: its break is no part of the value.
                if (i < size && (raw[i] == '\n' || raw[i] == '\r') && raw[i] != e)
                    ++i;
                break;
            default:
                if (e >= '0' && e <= '7') {
                    char16_t value = char16_t(e - '0');
                    while (i < size && raw[i] >= '0' && raw[i] <= '7')
                        value = char16_t(value * 8 + (raw[i++] - '0'));
                    text += QChar(value);
                }
                // Any other character after a backslash goes with it.
                break;
            }
            chopLimit = text.size();
        } else if (c == '"') {
            ++i;
            quoted = true;
            inQuotes = !inQuotes;
            if (!inQuotes)
                skipBlanks();
        } else if (c == ',' && !inQuotes) {
            if (!quoted)
                detail::chopTrailingBlanks(text, chopLimit);
            result.isList = true;
            result.items.append(text);
            text.clear();
            quoted = false;
            ++i;
            skipBlanks();
        } else {
            qsizetype j = i + 1;
            while (j < size && raw[j] != '\\' && raw[j] != '"' && raw[j] != ',')
                ++j;
            text += fromUtf8(raw.sliced(i, j - i));
            i = j;
        }
    }
    if (!quoted && chopAtEnd)
        detail::chopTrailingBlanks(text, chopLimit);

    if (result.isList) {
        result.items.append(text);
        for (QString &item : result.items)
            item = detail::textOf(item);
        result.text = result.items.join(QStringLiteral(", "));
    } else {
        result.text = detail::textOf(text);
    }
    return result;
}

inline QByteArray escapeKey(const QString &key)
{
    static const char kHex[] = "0123456789ABCDEF";
    QByteArray out;
    out.reserve(key.size() + key.size() / 2);
    for (const QChar qc : key) {
        const char16_t c = qc.unicode();
        if (c == u'/') {
            out += '\\';
        } else if ((c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') || (c >= u'0' && c <= u'9')
                   || c == u'_' || c == u'-' || c == u'.') {
            out += char(c);
        } else if (c <= 0xFF) {
            out += '%';
            out += kHex[c / 16];
            out += kHex[c % 16];
        } else {
            out += "%U";
            for (int shift = 12; shift >= 0; shift -= 4)
                out += kHex[(c >> shift) & 0xF];
        }
    }
    return out;
}

inline QString unescapeKey(QByteArrayView key)
{
    const QString decoded = QString::fromUtf8(key);
    QString out;
    out.reserve(decoded.size());
    qsizetype i = 0;
    while (i < decoded.size()) {
        const char16_t c = decoded.at(i).unicode();
        if (c == u'\\') {
            out += u'/';
            ++i;
            continue;
        }
        if (c != u'%' || i == decoded.size() - 1) {
            out += QChar(c);
            ++i;
            continue;
        }
        int digits = 2;
        qsizetype first = i + 1;
        if (decoded.at(first) == u'U') {
            ++first;
            digits = 4;
        }
        bool ok = false;
        const ushort value = first + digits <= decoded.size()
            ? QStringView(decoded).sliced(first, digits).toUShort(&ok, 16)
            : 0;
        if (!ok) {
            out += u'%';
            ++i;
            continue;
        }
        out += QChar(value);
        i = first + digits;
    }
    return out;
}

} // namespace IniCodec
