// Everything the command line decides for one run of the simulator.
#pragma once

#include "chipoptions.h"

#include <QString>

struct SimSettings {
    QString linkPath;
    QString logPath;
    // Keyed characters are not echoed on stdout.
    bool quiet = false;
    ChipOptions chip;
};
