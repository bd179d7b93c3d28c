// What every fuzz target shares. A target defines fuzzOne(), which checks
// its rules on one input; a broken rule stops the run with the rule's name
// and the values involved, and libFuzzer keeps the input as a crash.
#pragma once

#include <QByteArray>
#include <QString>

#include <cstddef>
#include <cstdint>

void fuzzOne(const QByteArray &input);

// libFuzzer's entry points, defined in harness.cpp.
extern "C" int LLVMFuzzerInitialize(int *argc, char ***argv);
extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

void require(bool holds, const char *rule, const QString &detail = QString());

// A text with every character outside printable ASCII escaped, for messages.
QString shown(const QString &text);
