// Bytes typed by a person or a test as hexadecimal pairs ("C5", "C0,8F",
// "c5 8f c4"), shared by the command line and the stdin commands.
#pragma once

#include <QByteArray>
#include <QStringView>
#include <optional>

// Pairs may be separated by commas or blanks; every item is one or two hex
// digits. Nothing at all, or anything else, gives no value.
std::optional<QByteArray> parseHexBytes(QStringView text);
