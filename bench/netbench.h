// A logger keying through the program: cwdaemon datagrams on loopback to
// the server and the keyer link in this process, on the benchmark's pty
// chip. Datagram-to-wire times, and a flood from a client in a process of
// its own (the benchmark run again): memory, processor, the event loop's
// longest stall, and the Escape that ends it.
#pragma once

#include "benchoptions.h"
#include "benchreport.h"
#include "keyer/cwdaemonserver.h"
#include "benchwait.h"
#include "ptychip.h"

#include <QTemporaryDir>

#include <functional>

#include <memory>

class KeyerLink;
class SettingsStore;

class NetBench
{
public:
    NetBench(const BenchOptions &options, BenchReport &report);
    ~NetBench();
    void run();

    // The flood's client (--flood-child): sends to 127.0.0.1:port for ms
    // milliseconds as fast as it can and prints how many datagrams it sent.
    static int runFlooder(int port, int ms);

private:
    bool bringUp();
    bool measureToWire(const QString &what, int expectedBytes,
                       const std::function<QByteArray(int)> &datagram);
    bool measureFlood();

    const BenchOptions &m_options;
    BenchReport &m_report;
    PtyChip m_chip;
    QTemporaryDir m_dir;
    std::unique_ptr<SettingsStore> m_store;
    std::unique_ptr<KeyerLink> m_link;
    std::unique_ptr<CwdaemonServer> m_server;
    Waker m_waker;
    int m_messages = 0;
};
