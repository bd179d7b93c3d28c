// The program's own command-line options. QApplication takes Qt's options
// (-platform, -display, -style, ...) out of argv when it starts; anything
// left that is none of these is refused, so that a misspelt option never
// starts the program without what the operator asked for.
#pragma once

#include "keyer/listenaddress.h"

#include <QString>
#include <QStringList>

#include <cstdio>
#include <optional>

struct CommandLine {
    enum class Action { Run, Help, Version, Refuse };
    // The first of --help, --version or a bad value, in the order given.
    Action action = Action::Run;
    // Refuse: why, in one line.
    QString error;
    QString firstRunPort;
    std::optional<ListenAddress> cwdaemon;
    // What is none of ours: Qt's options while QApplication has not yet
    // taken them, mistakes once it has.
    QStringList unknown;
};

// The arguments after the program's name.
CommandLine parseCommandLine(const QStringList &arguments);
void printUsage(std::FILE *to);
