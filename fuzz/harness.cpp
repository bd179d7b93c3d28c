#include "harness.h"

#include <clocale>
#include <cstdint>
#include <cstdio>
#include <cstdlib>

void require(bool holds, const char *rule, const QString &detail)
{
    if (holds)
        return;
    std::fprintf(stderr, "\n== broken rule: %s\n   %s\n", rule, qUtf8Printable(detail));
    std::abort();
}

QString shown(const QString &text)
{
    QString out = QStringLiteral("\"");
    for (const QChar c : text) {
        const bool plain = c.unicode() >= 0x20 && c.unicode() < 0x7F && c != QLatin1Char('\\');
        out += plain ? QString(c) : QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return out + QLatin1Char('"');
}

extern "C" int LLVMFuzzerInitialize(int *, char ***)
{
    // strtod, an oracle here, reads the decimal point from the locale; texts always use '.'.
    std::setlocale(LC_NUMERIC, "C");
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    fuzzOne(QByteArray(reinterpret_cast<const char *>(data), static_cast<qsizetype>(size)));
    return 0;
}
