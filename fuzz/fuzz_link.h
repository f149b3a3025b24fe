// The bodies of the fuzz targets for bytes from a module: the link engine's
// packet assembler with its sync recogniser, the UEI reply filter and the
// multi-packet get. Shared with the ctest test that replays the seeds and the
// kept regressions. Each aborts on a broken rule.
#pragma once

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <memory>
#include <string>
#include <vector>

#include "LinkPrivate.h"
#include "qPacket.h"
#include "qPacketFifo.h"
#include "qUEI.h"
#include "unix_link_private.h"

namespace fuzzlink {

inline void Require(bool ok, const char* what) {
    if (!ok) {
        std::fprintf(stderr, "fuzz: %s\n", what);
        std::abort();
    }
}

// A stream whose writes (sync requests) go nowhere and that has nothing to read.
inline qErr NoByte(uint8_t*, void*) {
    return qErrNotReady;
}
inline qErr DropByte(uint8_t, void*) {
    return qErrNone;
}
inline qErr DropBytes(const uint8_t*, size_t, void*) {
    return qErrNone;
}

// Every byte goes through the input thread's handling, without the thread.
// Whatever it queues must be a sound packet, and all it answers by itself
// are heartbeats.
inline void ModuleBytes(const uint8_t* data, size_t size) {
    static uint32_t nextId = 0x7F000000;
    ks_link::setSyncPauseForFuzzing(false);
    std::unique_ptr<qLink> link(new qLink());
    qStream* stream = qStream_Create(NoByte, DropByte, DropBytes, nullptr, nullptr);
    if (!stream)
        return;
    if (ks_link::init(link.get(), nextId++, stream) != qErrNone) {
        (void)ks_link::releaseResources(link.get()); // a half-made link: free what there is
        return;
    }
    link->status.store(qLinkStatusRunning);
    for (size_t i = 0; i < size; ++i) {
        ks_link::receiveByte(link.get(), data[i]);
        int32_t status = link->status.load();
        Require(status == qLinkStatusRunning || status == qLinkStatusSyncing ||
                    status == qLinkStatusPacketError,
                "link status");
        Require(link->assembly->byteCount <= qPACKET_MAX_BYTES + 1, "assembly count");
    }
    while (qPacket* p = qPacketFifo_Get(link->inputFifo)) {
        Require(p->address != 0 && (p->address & 1) == 0, "queued packet address");
        Require(p->length <= qPACKET_MAX_DATA && qPacket_IsComplete(p), "queued packet length");
        Require(qPacket_Destroy(&p) == qErrNone, "queued packet release");
    }
    while (qPacket* p = qPacketFifo_Get(link->outputFifo)) {
        Require(p->length == 2 && p->data[0] == 0, "heartbeat answer");
        Require(qPacket_Destroy(&p) == qErrNone, "answer release");
    }
    Require(ks_link::releaseResources(link.get()) == qErrNone, "link release");
}

// A packet from the input: address, length (cut to 28), data.
inline bool NextPacket(const uint8_t*& data, size_t& size, qPacket& p) {
    if (size < 2)
        return false;
    std::memset(&p, 0, sizeof p);
    p.address = data[0];
    p.length = static_cast<uint8_t>(data[1] % (qPACKET_MAX_DATA + 1));
    size_t n = std::min<size_t>(p.length, size - 2);
    p.length = static_cast<uint8_t>(n);
    std::memcpy(p.data, data + 2, n);
    data += 2 + n;
    size -= 2 + n;
    return true;
}

// The UEI filter on one packet against the request in the first four bytes.
// Input: module, command, option, index, then packets.
inline void UEIReplies(const uint8_t* data, size_t size) {
    using namespace Quillmar::Keystrand;
    if (size < 4)
        return;
    const uint8_t module = data[0], command = data[1], option = data[2], index = data[3] & 0x1F;
    data += 4;
    size -= 4;
    qPacket p;
    while (NextPacket(data, size, p)) {
        uei m{};
        m.module = module;
        m.command = command;
        m.option = option;
        m.specifier = index;
        m.type = ueiTypeBytes; // never what a reply sets
        const bool match = p.address == module && p.length > 2 && p.data[0] == command &&
                           p.data[1] == option && (p.data[2] & 0x1F) == index;
        Require(linkUEIFilter(&p, &m) == match, "UEI filter match");
        if (!match)
            continue;
        if (p.data[2] & 0x80) {
            Require(m.specifier == p.data[2], "error specifier");
            Require(m.value.byteVal == (p.length > 3 ? p.data[3] : uint8_t(qErrUnknown)),
                    "error code");
            continue;
        }
        static const int types[] = {-1,          -1,           -1, ueiTypeVoid,
                                    ueiTypeByte, ueiTypeShort, -1, ueiTypeInt};
        int expected = p.length < 8 ? types[p.length] : -1;
        Require(expected < 0 ? m.type == ueiTypeBytes : m.type == expected, "reply type");
        if (p.length == 7)
            Require(m.value.intVal == (uint32_t(p.data[3]) << 24 | uint32_t(p.data[4]) << 16 |
                                       uint32_t(p.data[5]) << 8 | p.data[6]),
                    "int value");
    }
}

// The multi-packet get over a queue of packets, as EntityClass::getUEIBytes
// runs it: each turn the first packet the filter accepts is taken, the
// others stay queued. The buffer is exactly the capacity (so any write past
// it is caught), and the value must be the module's pieces in sequence.
// Input: capacity, then packets (the module is 6, command 3, option 32,
// index 0).
inline void MultiPacketGet(const uint8_t* data, size_t size) {
    using namespace Quillmar::Keystrand;
    if (size < 1)
        return;
    const size_t capacity = 1 + data[0] % 96;
    data += 1;
    size -= 1;
    std::deque<qPacket> queue;
    qPacket p;
    while (NextPacket(data, size, p))
        queue.push_back(p);

    std::unique_ptr<uint8_t[]> buffer(new uint8_t[capacity]);
    size_t received = 0;
    uei m{};
    m.module = 6;
    m.command = 3;
    m.option = 32;
    m.specifier = 0;
    m.type = ueiTypeBytes;
    m.value.bufPtr = buffer.get();
    m.length = capacity;
    m.received = &received;
    // The reference: the pieces a sound module of address 6 sends, in order.
    std::string expected;
    uint8_t want = 0;
    bool done = false;
    for (size_t turn = 0; turn <= capacity && !done; ++turn) {
        auto it = queue.begin();
        while (it != queue.end() && !entityBytesFilter(&*it, &m))
            ++it;
        if (it == queue.end())
            break; // the wait would time out
        const qPacket& got = *it;
        Require(got.address == 6 && got.length > 2 && got.data[0] == 3 && got.data[1] == 32 &&
                    (got.data[2] & 0x1F) == 0,
                "a packet of another module or option was taken");
        if ((got.data[2] & 0x80) || (m.specifier & 0x80)) {
            done = true;
        } else {
            const uint8_t sequence = got.data[got.length - 1];
            Require((sequence & 0x7F) == (want & 0x7F), "a piece out of sequence was taken");
            expected.append(reinterpret_cast<const char*>(got.data + 3),
                            got.length >= 4 ? got.length - 4u : 0u);
            want = static_cast<uint8_t>(sequence + 1);
            m.sequence = want;
            done = !(sequence & 0x80);
        }
        queue.erase(it);
    }
    Require(received <= capacity, "more received than the buffer holds");
    if (!(m.specifier & 0x80))
        Require(std::string(reinterpret_cast<const char*>(buffer.get()), received) == expected,
                "the value is not the pieces in sequence");
}

} // namespace fuzzlink
