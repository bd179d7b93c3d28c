// Bytes typed by a person or a test as hexadecimal pairs ("C5", "C0,8F",
// "c5 8f c4"), shared by the command line and the stdin commands, and bytes
// written out the same way for the log.
#pragma once

#include <QByteArray>
#include <QString>
#include <QStringView>
#include <optional>

// Pairs may be separated by commas or blanks; every item is one or two hex
// digits. Nothing at all, or anything else, gives no value.
std::optional<QByteArray> parseHexBytes(QStringView text);

// The way the log writes bytes: upper case, space separated ("C0 8F").
QString hexText(const QByteArray &bytes);
