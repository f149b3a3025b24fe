// Internal: the per-module endpoint record of the Bench (guarded by Bench::mu_).
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "imxsim/ImxRom.h"
#include "modsim/Bench.h"

namespace modsim {

// The ROM of a dead i.MX module and, for imx=pty, its serial line, paced at
// the line rate in both directions (a pty has no rate of its own).
struct RomPort {
    imxsim::ImxRom rom;
    int master = -1, slave = -1; // the pty; -1 for a HID ROM
    std::string path;
    std::string link;        // rom-link: a symlink to path, removed on stop
    uint64_t byteUs = 87;    // one byte's time on the line
    uint64_t inFreeUs = 0;   // the line brings the next byte from the host then
    uint64_t outFreeUs = 0;  // and carries the next byte to the host then
    std::deque<uint8_t> out; // answer bytes not yet on the line
    unsigned romEntries = 1; // the module's count of ROM boots last seen
    explicit RomPort(const imxsim::RomConfig& c) : rom(c) {}
};

struct Bench::Endpoint {
    enum Active { None, Tcp, Pty, Node, External };
    Module* mod = nullptr;
    bool hasTcp = false;
    std::string host;
    uint16_t port = 0;
    int listenFd = -1, connFd = -1;
    int ptyMaster = -1, ptySlave = -1;
    std::string ptyPath;
    int nodeMaster = -1, nodeSlave = -1;
    std::string nodeTarget, nodePath;
    Active active = None;             // where the module's answers go
    uint32_t epoch = 0;               // the module's link epoch last seen
    std::vector<uint8_t> pending;     // answers not yet written
    std::vector<uint8_t> extOut;      // answers waiting for the external transport
    std::unique_ptr<RomPort> romPort; // dead i.MX modules only
    // A dead module's LPC chip in ISP mode owns the pty until it starts the
    // flash (BenchLpc.cpp).
    std::unique_ptr<lpcrom::IspChip> lpc;
    bool lpcBooted = false;
    std::vector<uint8_t> lpcPending; // the chip's bytes not yet written to the pty
};

// A pseudo-terminal whose slave side stays open (raw) while the bench runs.
bool openPty(int& master, int& slave, std::string& path, bool nodeMode, std::string& error);

// Opens the UDP discovery socket on an interface (name or IPv4 address).
bool openDiscovery(const std::string& iface, int& fd, std::string& error);

} // namespace modsim
