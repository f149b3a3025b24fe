// Private state of Quillmar::Keystrand::Link, shared by the units of the link
// object (Link.cpp: identity, connection, packets, UEI messages and packet
// log; LinkStreaming.cpp: stream table, filter and worker thread;
// LinkStore.cpp: store slots and factory data). Not part of the interface.
#pragma once

#include <future>
#include <map>
#include <memory>
#include <mutex>
#include <thread>

#include "Link.h"
#include "LocklessQueue_SPSC.h"
#include "qLink.h"

#include "qLogger.h"
#include "qPacketDebug.h"

namespace Quillmar {
namespace Keystrand {

// Longest name a Link keeps, in characters.
constexpr size_t LINK_NAME_MAX = 1024;
// Slots of the queue between the stream filter and the worker thread.
constexpr uint16_t LINK_ASYNC_SLOTS = 500;
// Wait for a reply to a request.
constexpr unsigned long LINK_REPLY_WAIT_MS = 1000;

struct StreamEntry {
    uint64_t key = 0;
    uint8_t valuePresent = 0; // 1 when a sample came since the value was last read
    Link::StreamCallback callback;
    void* reference = nullptr;
    uint32_t lastValue = 0;
};

// One callback to run on the worker thread. Owns its packet copy, which is
// released when the item is destroyed or overwritten.
struct asyncPacket {
    Link::StreamCallback callback;
    void* reference = nullptr;
    qPacket* packet = nullptr;

    asyncPacket() = default;
    asyncPacket(Link::StreamCallback cb, void* ref, qPacket* p)
        : callback(std::move(cb)), reference(ref), packet(p) {}
    asyncPacket(asyncPacket&& o) noexcept
        : callback(std::move(o.callback)), reference(o.reference), packet(o.packet) {
        o.reference = nullptr;
        o.packet = nullptr;
    }
    asyncPacket& operator=(asyncPacket&& o) noexcept {
        if (this != &o) {
            release();
            callback = std::move(o.callback);
            reference = o.reference;
            packet = o.packet;
            o.callback = nullptr;
            o.reference = nullptr;
            o.packet = nullptr;
        }
        return *this;
    }
    asyncPacket(const asyncPacket&) = delete;
    asyncPacket& operator=(const asyncPacket&) = delete;
    ~asyncPacket() { release(); }
    void release() {
        if (packet)
            (void)qPacket_Destroy(&packet);
    }
};

// What the worker thread shares with its Link: the queue it drains and the
// stop signal it watches. Both sides hold it, so a Link destroyed while its
// worker still runs leaves the worker with memory that stays valid until the
// worker has seen the stop signal and returned. A stopped worker keeps its
// channel; a new worker gets a new one, so there is never more than one
// consumer per queue.
struct AsyncChannel {
    Quillmar::LocklessQueue_SPSC<asyncPacket> queue{LINK_ASYNC_SLOTS};
    std::promise<void> stop;
    std::promise<void> done; // fulfilled by the worker as it returns
    std::shared_future<void> doneFuture = done.get_future().share();
};

struct Link::impl {
    explicit impl(Link& o, const char* n);
    ~impl();

    Link& owner;
    uint32_t linkId = 0; // caller's thread only
    qLogger* logger = nullptr;
    uint32_t loggerLinkId = 0; // the engine link the logger reads
    // Guarded by streamMutex; read and written by the engine's input thread
    // (through the stream filter) and by the caller's thread.
    std::map<uint64_t, StreamEntry> streams;
    std::thread* worker = nullptr;         // caller's thread only
    std::shared_ptr<AsyncChannel> channel; // replaced only while no filter runs
    std::mutex streamMutex;
    char* name = nullptr;
    linkSpec* spec = nullptr;
    bool filterInstalled = false; // caller's thread only

    // Installs or removes the stream filter and starts or stops the worker.
    qErr installStreamFilter(bool on);
    // Stops the worker thread, if any, without touching the engine link.
    void stopWorker();
    // On the input thread: hands a callback and a packet copy to the worker.
    void queueAsyncCallback(const StreamEntry& entry, const qPacket* packet);
    // The worker thread's body.
    static void asyncWork(std::shared_ptr<AsyncChannel> channel, std::future<void> stop);
    // The packet logger's record writer.
    static void readDebugBuffer(void* file, uint32_t linkId);
};

// Helpers shared by the units of the link object.
bool linkValidModule(uint8_t module);
// Builds a packet and hands it to the engine. qErrResource when the packet
// cannot be made.
qErr linkPut(uint32_t linkId, uint8_t address, uint8_t length, const uint8_t* data);
// The UEI filter: context is a uei record that receives the reply.
bool linkUEIFilter(const qPacket* packet, const void* context);
// The filter of a multi-packet byte value (EntityClass::getUEIBytes):
// context is the uei record of the transfer (module, command, option,
// index, expected sequence, write position, capacity and counter). Accepts
// the module's error reply, or its next piece in sequence (copied, or an
// overflow marked as error qErrMemory); leaves anything else queued.
bool entityBytesFilter(const qPacket* packet, const void* context);

} // namespace Keystrand
} // namespace Quillmar
