// Packet queues with a process-wide id registry.
//
// The registry maps ids to shared queue records; every call holds its own
// reference while it works, so a queue destroyed meanwhile stays in memory
// (dead: tag cleared, count -1) until the last call has left it. Waits are
// measured on the monotonic clock, so setting the wall clock neither
// stretches nor cuts a time-out.
#include <pthread.h>

#include <cerrno>
#include <climits>
#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <mutex>
#include <new>

#include "qPacketFifo.h"
#include "unix_packetfifo_internal.h"

namespace {

constexpr uint16_t kFifoTag = 0xFEED;
constexpr long kNanosPerSecond = 1000000000L;

struct PacketFifo {
    PacketFifo() {
        pthread_condattr_t attr;
        pthread_condattr_init(&attr);
        pthread_condattr_setclock(&attr, CLOCK_MONOTONIC);
        pthread_cond_init(&cond, &attr);
        pthread_condattr_destroy(&attr);
        pthread_mutex_init(&mutex, nullptr);
    }
    ~PacketFifo() {
        pthread_cond_destroy(&cond);
        pthread_mutex_destroy(&mutex);
    }
    PacketFifo(const PacketFifo&) = delete;
    PacketFifo& operator=(const PacketFifo&) = delete;

    // All guarded by mutex.
    std::list<qPacket> packets; // copies, oldest first
    long count = 0;             // packets.size(), or -1 once destroyed
    uint16_t tag = kFifoTag;

    pthread_cond_t cond; // broadcast on every put and on destroy
    pthread_mutex_t mutex;
};

using FifoRef = std::shared_ptr<PacketFifo>;

struct Registry {
    std::mutex mutex;
    // Guarded by mutex.
    std::map<unsigned long, FifoRef> fifos;
    unsigned long nextId = 1;
};

// Never destroyed, so link threads still running at exit find it intact.
Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

FifoRef lookup(unsigned long id) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    auto it = r.fifos.find(id);
    return it == r.fifos.end() ? nullptr : it->second;
}

class FifoLock {
  public:
    explicit FifoLock(PacketFifo& f) : f_(f) { pthread_mutex_lock(&f_.mutex); }
    ~FifoLock() { pthread_mutex_unlock(&f_.mutex); }
    FifoLock(const FifoLock&) = delete;
    FifoLock& operator=(const FifoLock&) = delete;

    // Waits for a put or destroy, at most until deadline; false on time-out.
    bool waitUntil(const struct timespec& deadline) {
        return pthread_cond_timedwait(&f_.cond, &f_.mutex, &deadline) != ETIMEDOUT;
    }
    // Waits for a put, a destroy or a wake, without a time-out.
    void wait() { pthread_cond_wait(&f_.cond, &f_.mutex); }

  private:
    PacketFifo& f_;
};

bool live(const PacketFifo& f) {
    return f.tag == kFifoTag && f.count >= 0;
}

struct timespec deadlineIn(unsigned long ms) {
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    return fifoDeadline(now, ms);
}

// Moves the entry into out and unlinks it. Caller holds the mutex.
void takeEntry(PacketFifo& f, std::list<qPacket>::iterator it, qPacket* out) {
    *out = *it;
    f.packets.erase(it);
    f.count--;
}

bool acceptAll(const qPacket*, const void*) {
    return true;
}

// Shared by the get and await variants: finds the first accepted entry,
// waiting for puts until deadline when one is given.
qPacket* take(unsigned long id, qPacketFilter filter, const void* ref,
              const struct timespec* deadline) {
    if (filter == nullptr) {
        return nullptr;
    }
    FifoRef f = lookup(id);
    if (!f) {
        return nullptr;
    }
    // Allocated before anything is unlinked, so a lack of memory loses no packet.
    qPacket* out = qPacket_Create();
    if (out == nullptr) {
        return nullptr;
    }
    {
        FifoLock lock(*f);
        bool timedOut = false;
        while (live(*f)) {
            for (auto it = f->packets.begin(); it != f->packets.end(); ++it) {
                if (filter(&*it, ref)) {
                    takeEntry(*f, it, out);
                    return out;
                }
            }
            if (deadline == nullptr || timedOut) {
                break;
            }
            // Nothing (matching) queued: sleep until the next put rather
            // than scanning the same packets again and again.
            timedOut = !lock.waitUntil(*deadline);
        }
    }
    (void)qPacket_Destroy(&out);
    return nullptr;
}

} // namespace

struct timespec fifoDeadline(struct timespec now, unsigned long ms) {
    struct timespec d = now;
    unsigned long seconds = ms / 1000;
    long nanos = now.tv_nsec + static_cast<long>(ms % 1000) * 1000000L;
    if (nanos >= kNanosPerSecond) {
        nanos -= kNanosPerSecond;
        seconds++;
    }
    constexpr time_t kMaxTime = static_cast<time_t>(LONG_MAX);
    if (seconds > static_cast<unsigned long>(kMaxTime - now.tv_sec)) {
        d.tv_sec = kMaxTime;
    } else {
        d.tv_sec = now.tv_sec + static_cast<time_t>(seconds);
    }
    d.tv_nsec = nanos;
    return d;
}

unsigned long qPacketFifo_Create() {
    FifoRef f;
    try {
        f = std::make_shared<PacketFifo>();
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        unsigned long id = r.nextId++;
        r.fifos.emplace(id, f);
        return id;
    } catch (const std::bad_alloc&) {
        return 0;
    }
}

qErr qPacketFifo_Destroy(unsigned long* id) {
    if (id == nullptr) {
        return qErrParam;
    }
    FifoRef f;
    {
        Registry& r = registry();
        std::lock_guard<std::mutex> lock(r.mutex);
        auto it = r.fifos.find(*id);
        if (it == r.fifos.end()) {
            return qErrNotFound;
        }
        f = std::move(it->second);
        r.fifos.erase(it);
    }
    {
        FifoLock lock(*f);
        f->packets.clear();
        f->tag = 0;
        f->count = -1;
        pthread_cond_broadcast(&f->cond);
    }
    *id = 0;
    return qErrNone; // the record goes when the last waiter has left it
}

long qPacketFifo_GetLength(unsigned long id) {
    FifoRef f = lookup(id);
    if (!f) {
        return 0;
    }
    FifoLock lock(*f);
    return f->count < 0 ? 0 : f->count;
}

qErr qPacketFifo_Put(unsigned long id, const qPacket* p) {
    if (!qVALIDPACKET(p)) {
        return qErrParam;
    }
    FifoRef f = lookup(id);
    if (!f) {
        return qErrParam;
    }
    FifoLock lock(*f);
    if (!live(*f)) {
        return qErrCancel;
    }
    try {
        f->packets.push_back(*p);
    } catch (const std::bad_alloc&) {
        return qErrResource;
    }
    f->count++;
    if (f->count > qPACKETFIFO_CAPACITY) {
        // Nobody is reading: start afresh rather than hand out stale replies.
        f->packets.clear();
        f->count = 0;
    }
    // Every waiter looks: each may be waiting for a different packet.
    pthread_cond_broadcast(&f->cond);
    return qErrNone;
}

bool fifoAwaitWhile(unsigned long id, qPacket* out, const std::atomic<bool>& keepWaiting) {
    FifoRef f = lookup(id);
    if (!f || !out) {
        return false;
    }
    FifoLock lock(*f);
    while (live(*f) && keepWaiting.load()) {
        if (!f->packets.empty()) {
            takeEntry(*f, f->packets.begin(), out);
            return true;
        }
        lock.wait();
    }
    return false;
}

void fifoWake(unsigned long id) {
    FifoRef f = lookup(id);
    if (!f) {
        return;
    }
    FifoLock lock(*f);
    pthread_cond_broadcast(&f->cond);
}

qPacket* qPacketFifo_Get(unsigned long id) {
    return take(id, acceptAll, nullptr, nullptr);
}

qPacket* qPacketFifo_Await(unsigned long id, unsigned long msTimeout) {
    struct timespec deadline = deadlineIn(msTimeout);
    return take(id, acceptAll, nullptr, &deadline);
}

qPacket* qPacketFifo_GetFirst(unsigned long id, qPacketFilter filter, const void* ref) {
    return take(id, filter, ref, nullptr);
}

qPacket* qPacketFifo_AwaitFirst(unsigned long id, qPacketFilter filter, const void* ref,
                                unsigned long msTimeout) {
    struct timespec deadline = deadlineIn(msTimeout);
    return take(id, filter, ref, &deadline);
}

long qPacketFifo_DrainPackets(unsigned long id, qPacketFilter filter, const void* ref) {
    if (filter == nullptr) {
        return 0;
    }
    FifoRef f = lookup(id);
    if (!f) {
        return 0;
    }
    FifoLock lock(*f);
    if (!live(*f)) {
        return 0;
    }
    long removed = 0;
    for (auto it = f->packets.begin(); it != f->packets.end();) {
        if (filter(&*it, ref)) {
            it = f->packets.erase(it);
            ++removed;
        } else {
            ++it;
        }
    }
    f->count -= removed;
    return removed;
}
