// Test helpers for the link engine: the module's end of a byte stream, on
// loopback TCP or on a socket pair, with bounded waits.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

namespace linktest {

using Bytes = std::vector<uint8_t>;

// One connected socket end, owned. Reads wait at most the given time.
class PeerEnd {
  public:
    PeerEnd() = default;
    explicit PeerEnd(int fd) : fd_(fd) {}
    ~PeerEnd();
    PeerEnd(PeerEnd&& other) noexcept;
    PeerEnd& operator=(PeerEnd&& other) noexcept;
    PeerEnd(const PeerEnd&) = delete;
    PeerEnd& operator=(const PeerEnd&) = delete;

    bool valid() const { return fd_ >= 0; }
    int fd() const { return fd_; }
    // Sends all bytes; false on failure.
    bool send(const Bytes& bytes);
    // Reads exactly n bytes within timeoutMs; returns what arrived (fewer on
    // time-out or end of stream).
    Bytes read(size_t n, int timeoutMs);
    // Reads whatever arrives until nothing has come for quietMs.
    Bytes drain(int quietMs);
    // True when the other side has closed (end of stream) within timeoutMs.
    bool closedWithin(int timeoutMs);
    void close();

  private:
    int fd_ = -1;
};

// A TCP listener on 127.0.0.1 with an ephemeral port.
class Listener {
  public:
    Listener();
    ~Listener();
    Listener(const Listener&) = delete;
    Listener& operator=(const Listener&) = delete;
    bool valid() const { return fd_ >= 0; }
    uint16_t port() const { return port_; }
    // The next connection within timeoutMs, or an invalid end.
    PeerEnd accept(int timeoutMs);
    void close();

  private:
    int fd_ = -1;
    uint16_t port_ = 0;
};

// 127.0.0.1 in network byte order.
uint32_t loopbackAddress();

// A connected pair of stream sockets: the first end non-blocking (for the
// stream under test), the second an ordinary blocking peer end.
bool socketPair(int* linkSide, PeerEnd* peerSide);

} // namespace linktest
