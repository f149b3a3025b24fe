// Test helpers for the module simulator: a module driven by raw bytes and a
// fake clock, and helpers that build packets from hex text.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "modsim/Module.h"

namespace modsim_test {

using Bytes = std::vector<uint8_t>;

// "04 02 0A 0B" -> bytes.
inline Bytes hx(const std::string& s) {
    Bytes b;
    std::istringstream in(s);
    std::string w;
    while (in >> w)
        b.push_back(uint8_t(std::stoul(w, nullptr, 16)));
    return b;
}

inline Bytes cat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

inline Bytes be32(uint32_t v) {
    return {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)};
}

// A packet to the module: address, length, data.
inline Bytes pkt(uint8_t addr, const Bytes& data) {
    Bytes b{addr, uint8_t(data.size())};
    return cat(b, data);
}

inline modsim::ModuleConfig baseConfig() {
    modsim::ModuleConfig c;
    c.name = "t";
    c.serial = 0x40F5849A;
    c.model = 17;
    c.address = 4;
    c.version = 0x12000003; // 1.2.3
    c.build = 1234;
    c.uid[0] = 0xA0A1A2A3;
    c.uid[1] = 0xB0B1B2B3;
    c.uid[2] = 0xC0C1C2C3;
    c.uid[3] = 0xD0D1D2D3;
    c.heartbeatMs = 100;
    c.restartMs = 50;
    c.streamMs = 10;
    return c;
}

// One module, attached to a host, on a clock that only moves when told to.
struct Harness {
    modsim::Module m;
    uint64_t t = 5000000;

    explicit Harness(const modsim::ModuleConfig& c = baseConfig()) : m(c) {
        m.poll(t);
        m.attach(t);
    }
    void step(unsigned ms) {
        for (unsigned i = 0; i < ms; ++i) {
            t += 1000;
            m.poll(t);
        }
    }
    Bytes drain() {
        Bytes o;
        m.takeOutput(o, t);
        return o;
    }
    // Sends bytes, lets `ms` milliseconds pass and returns what came out.
    Bytes xfer(const Bytes& in, unsigned ms = 1) {
        m.receive(in.data(), in.size(), t);
        step(ms);
        return drain();
    }
    Bytes req(const Bytes& data, unsigned ms = 1) { return xfer(pkt(m.address(), data), ms); }
    modsim::ModuleState st() const { return m.state(); }
};

// Splits module output into packets (address, length, data), for outputs that
// hold only packets.
inline std::vector<Bytes> packets(const Bytes& out) {
    std::vector<Bytes> v;
    size_t i = 0;
    while (i + 2 <= out.size()) {
        size_t n = out[i + 1];
        if (i + 2 + n > out.size())
            break;
        v.emplace_back(out.begin() + long(i), out.begin() + long(i + 2 + n));
        i += 2 + n;
    }
    return v;
}

} // namespace modsim_test
