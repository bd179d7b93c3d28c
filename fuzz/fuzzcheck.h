// What the fuzz targets share: a check that stops the run with the broken
// rule and the values involved, so that a crash file comes with a reason
// (libFuzzer treats the abort as a crash and keeps the input).
#pragma once

#include <QByteArray>
#include <QList>
#include <QString>

#include <cstdio>
#include <cstdlib>

namespace FuzzCheck {

[[noreturn]] inline void fail(const char *rule, const QString &detail)
{
    std::fprintf(stderr, "\n== broken rule: %s\n   %s\n", rule, qUtf8Printable(detail));
    std::fflush(stderr);
    std::abort();
}

inline void require(bool holds, const char *rule, const QString &detail = QString())
{
    if (!holds)
        fail(rule, detail);
}

// A text shown with every non-printable character escaped, for failure messages.
inline QString shown(const QString &text)
{
    QString out;
    for (const QChar c : text) {
        if (c.unicode() >= 0x20 && c.unicode() < 0x7F && c != QLatin1Char('\\'))
            out += c;
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return QLatin1Char('"') + out + QLatin1Char('"');
}

// Splits the input at 0xFF bytes, which never occur in UTF-8: every field
// then decodes to any text at all, newlines and control characters included.
inline QList<QString> fields(const quint8 *data, size_t size)
{
    const QByteArray all(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size));
    QList<QString> out;
    for (const QByteArray &part : all.split(char(0xFF)))
        out << QString::fromUtf8(part);
    return out;
}

} // namespace FuzzCheck
