// How much the benchmark measures: the full run for docs/BENCHMARKS.md,
// or the short one the test command runs to prove that it still works.
#pragma once

#include <QString>

struct BenchOptions {
    int presses = 1000;          // per key, for the key-to-wire times
    int remotePresses = 200;     // F2 through ser2net and socat
    int idleMs = 10000;
    int holdMs = 10000;          // XOFF held in the middle of message 1
    int busyHoldMs = 10000;      // the same hold, waited out by spinning
    int soakMs = 10000;
    int soakIntervalMs = 10;     // one F2 press every this many ms
    int startups = 10;           // rounds of two starts of the real program
    int updates = 10;            // settings Updates, on each of two disks
    int netSends = 200;          // datagrams of each kind, for the datagram-to-wire times
    int floodMs = 10000;         // a client sending as fast as it can
    QString appPath;             // the zavokeyer binary
    bool shortMode = false;

    static BenchOptions shortRun()
    {
        BenchOptions o;
        o.shortMode = true;
        o.presses = 50;
        o.remotePresses = 10;
        o.idleMs = 500;
        o.holdMs = 500;
        o.busyHoldMs = 500;
        o.soakMs = 500;
        o.startups = 1;
        o.updates = 2;
        o.netSends = 20;
        o.floodMs = 2000;
        return o;
    }
};
