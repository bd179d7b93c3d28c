// A settings Update as the operator makes one: the real main window on the
// benchmark's pty chip, the keyer settings opened from the speed panel,
// every one of the 17 keys it stores changed, and Update clicked. The
// rounds run in a child process of the benchmark (--update-child), so that
// zavobench-slowdisk can be loaded into it: once on the disk as it is, once
// with every fsync 20 ms late. The child prints when each click was made
// and when the first byte of the parameter block reached the chip; the
// store's syncs and renames in between are the Update's write (it writes
// before the chip is asked), the last of them its end.
#pragma once

#include "benchoptions.h"
#include "benchreport.h"

class SyncLog;

namespace UpdateBench {

// In the child: the rounds, one line each on stdout, "round <click ns>
// <block ns>"; returns the exit status.
int runChild(int rounds);

// In the parent: both disks, their rows in the report; false when the
// rounds could not be run.
bool measure(const BenchOptions &options, BenchReport &report);

} // namespace UpdateBench
