// Hexadecimal byte lists, read and written.
#include "hexbytes.h"

#include <QRegularExpression>
#include <QString>

std::optional<QByteArray> parseHexBytes(QStringView text)
{
    static const QRegularExpression kSeparators(QStringLiteral("[,\\s]+"));
    static const QRegularExpression kPair(QStringLiteral("\\A[0-9A-Fa-f]{1,2}\\z"));
    const QStringList items = text.toString().split(kSeparators, Qt::SkipEmptyParts);
    if (items.isEmpty())
        return std::nullopt;
    QByteArray bytes;
    for (const QString &item : items) {
        if (!kPair.match(item).hasMatch())
            return std::nullopt;
        bytes.append(char(item.toUInt(nullptr, 16)));
    }
    return bytes;
}

QString hexText(const QByteArray &bytes)
{
    return QString::fromLatin1(bytes.toHex(' ').toUpper());
}
