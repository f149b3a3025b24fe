// Test helpers for the device library's object layer:
// - FakeModule: the module end of a loopback TCP link, answering each
//   received packet with exactly the bytes a test scripts (for byte-exact
//   checks and faults a real module would not make);
// - SimBench: the module simulator started in-process, with link
//   specifiers for its TCP and serial (pty) endpoints.
#pragma once

#include <stdint.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "modsim/Bench.h"
#include "qDiscovery.h"

namespace objtest {

using Bytes = std::vector<uint8_t>;

struct RxPacket {
    uint8_t address = 0;
    Bytes data;
};

// Answers: given a received packet, the raw bytes to send back (may be
// empty, may hold several packets or broken framing).
using Responder = std::function<Bytes(const RxPacket& packet)>;

// A packet on the wire: address, length, data.
Bytes wire(uint8_t address, const Bytes& data);

class FakeModule {
  public:
    explicit FakeModule(Responder responder);
    ~FakeModule();
    FakeModule(const FakeModule&) = delete;
    FakeModule& operator=(const FakeModule&) = delete;

    bool valid() const { return port_ != 0; }
    // A host is connected (accepted and not yet closed).
    bool connected() const { return connFd_ >= 0; }
    linkSpec spec() const; // TCP/IP specifier of this peer
    // Packets received so far, link start and stop packets left out.
    std::vector<RxPacket> received() const;
    // Waits up to ms for at least n received packets.
    bool waitReceived(size_t n, int ms) const;
    // Sends bytes on its own (e.g. stream samples) to the connected host.
    bool inject(const Bytes& bytes);
    void setResponder(Responder responder);
    void clear();

  private:
    void run();
    int listenFd_ = -1;
    std::atomic<int> connFd_{-1};
    uint16_t port_ = 0;
    std::atomic<bool> stop_{false};
    mutable std::mutex mu_;
    Responder responder_;
    std::vector<RxPacket> received_;
    std::mutex sendMu_;
    std::thread thread_;
};

// The module simulator in this process.
class SimBench {
  public:
    SimBench() = default;
    ~SimBench() { bench.stop(); }
    // Statements of a bench file ("module NAME key=value ..." lines).
    bool start(const std::string& text, std::string& error);
    linkSpec tcpSpec(const std::string& name) const;
    linkSpec serialSpec(const std::string& name, uint32_t baud = 115200) const;
    modsim::Bench bench;
};

// A spec-free module line with a loopback TCP port chosen by the system.
std::string moduleLine(const std::string& name, uint32_t serial, uint8_t address,
                       const std::string& extra = "");

} // namespace objtest
