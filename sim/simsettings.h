// Everything the command line decides for one run of the simulator.
#pragma once

#include "chipoptions.h"

#include <QString>

struct SimSettings {
    QString linkPath;
    QString logPath;
    // Keyed characters are not echoed on stdout.
    bool quiet = false;
    // A loopback plug instead of the chip: every byte comes straight back.
    bool loopback = false;
    // The pace of the line from the program, in baud; 0: no pace.
    int baud = 0;
    ChipOptions chip;
};
