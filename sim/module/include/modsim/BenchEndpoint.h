// Internal: the per-module endpoint record of the Bench (guarded by Bench::mu_).
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "modsim/Bench.h"

namespace modsim {

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
    Active active = None;         // where the module's answers go
    uint32_t epoch = 0;           // the module's link epoch last seen
    std::vector<uint8_t> pending; // answers not yet written
    std::vector<uint8_t> extOut;  // answers waiting for the external transport
    // A dead module's LPC chip in ISP mode owns the pty until it starts the
    // flash (BenchLpc.cpp).
    std::unique_ptr<lpcrom::IspChip> lpc;
    bool lpcBooted = false;
    std::vector<uint8_t> lpcPending; // the chip's bytes not yet written to the pty
};

// Opens the UDP discovery socket on an interface (name or IPv4 address).
bool openDiscovery(const std::string& iface, int& fd, std::string& error);

} // namespace modsim
