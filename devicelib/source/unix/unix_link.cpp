// The link table, link creation, destruction and reset, and the packet
// traffic calls of the link engine.
//
// Locking: the table mutex guards every entry's use count and serialises
// every create, destroy and reset (creation holds it while the stream is
// opened, a reset while it stops, re-opens and restarts the link). The list
// mutex guards the list itself for short look-ups: packet traffic calls take
// it only to copy the link's FIFO ids and state, and then work on the FIFOs
// alone, which stay safe to use by id even if the link goes away meanwhile
// (a destroyed FIFO's id is never reused). The list is changed only with
// both mutexes held, so holding either one is enough to read it.
#include <stdint.h>
#include <stdlib.h>
#include <time.h>

#include <new>

#include "qPacketFifo.h"
#include "qTime.h"
#include "unix_link_private.h"

namespace {

struct LinkEntry {
    uint32_t linkId;
    uint32_t identifier; // serial number, IPv4 address, or 0xFFFFFFFF
    uint32_t port;
    linkType type;
    int16_t useCount;
    qLink* link;
    LinkEntry* next;
};

// The table: newest entry first; ids start at 1 and are never reused.
struct LinkTable {
    LinkEntry* head = nullptr;
    uint32_t nextId = 1;
};

LinkTable gTable; // list: gTableMutex + gListMutex to change; use counts: gTableMutex
std::mutex gTableMutex;
std::mutex gListMutex;

constexpr unsigned long kResetPauseMs = 100;
// qLink_AwaitFirst looks at the link's state at least this often.
constexpr unsigned long kAwaitSliceMs = 25;
// qLink_InstallUserPacketFilter gives up after this many 1 ms tries.
constexpr int kInstallAttempts = 10000;

LinkEntry* sFindById(uint32_t linkId) {
    for (LinkEntry* e = gTable.head; e; e = e->next)
        if (e->linkId == linkId)
            return e;
    return nullptr;
}

LinkEntry* sFindByIdentifier(uint32_t identifier) {
    for (LinkEntry* e = gTable.head; e; e = e->next)
        if (e->identifier == identifier)
            return e;
    return nullptr;
}

// Both list changes need the table mutex held by the caller.
void sInsert(LinkEntry* entry) {
    std::lock_guard<std::mutex> hold(gListMutex);
    entry->next = gTable.head;
    gTable.head = entry;
}

void sUnlink(LinkEntry* entry) {
    std::lock_guard<std::mutex> hold(gListMutex);
    for (LinkEntry** p = &gTable.head; *p; p = &(*p)->next)
        if (*p == entry) {
            *p = entry->next;
            return;
        }
}

// Stops and frees a link whose entry has left the table.
qErr sFreeLink(qLink* link) {
    (void)ks_link::stop(link);
    qErr result = ks_link::releaseResources(link);
    link->tag = 0;
    delete link;
    return result;
}

// Makes the stream of a new link; the caller holds the table mutex.
typedef qErr (*StreamMaker)(const LinkEntry* entry, const void* arg, qStream** out);

// Creates, registers and starts a link, or returns the id of the existing
// link for the same identifier. A stream given in (maker null) is owned from
// here on and destroyed on failure.
uint32_t sCreate(linkType type, uint32_t identifier, uint32_t port, StreamMaker maker,
                 const void* arg, qStream* given) {
    std::lock_guard<std::mutex> hold(gTableMutex);
    if (maker) {
        if (LinkEntry* existing = sFindByIdentifier(identifier)) {
            if (existing->useCount >= INT16_MAX)
                return 0; // the count must not wrap and free a link in use
            existing->useCount++;
            return existing->linkId;
        }
    }
    LinkEntry* entry = new (std::nothrow) LinkEntry{0, identifier, port, type, 0, nullptr, nullptr};
    qLink* link = new (std::nothrow) qLink();
    qStream* stream = given;
    if (entry && link && maker && maker(entry, arg, &stream) != qErrNone)
        stream = nullptr;
    if (!entry || !link || !stream) {
        delete entry;
        delete link;
        if (stream)
            (void)qStream_Destroy(&stream);
        return 0;
    }
    entry->linkId = gTable.nextId++;
    entry->link = link;
    qErr e = ks_link::init(link, entry->linkId, stream);
    if (e == qErrNone) {
        entry->useCount = 1;
        sInsert(entry);
        e = ks_link::start(link);
        if (e != qErrNone)
            sUnlink(entry);
    }
    if (e != qErrNone) {
        if (!link->stream)
            link->stream = stream; // init failed before taking it
        (void)sFreeLink(link);
        delete entry;
        return 0;
    }
    return entry->linkId;
}

qErr sMakeUSB(const LinkEntry* entry, const void*, qStream** out) {
    return qStream_CreateUSB(entry->identifier, out);
}

qErr sMakeSocket(const LinkEntry* entry, const void*, qStream** out) {
    return qStream_CreateSocket(entry->identifier, static_cast<int>(entry->port), out);
}

struct SerialArgs {
    const char* port;
    int baudIndex;
};

qErr sMakeSerial(const LinkEntry*, const void* arg, qStream** out) {
    const SerialArgs* a = static_cast<const SerialArgs*>(arg);
    return qStream_CreateSerial(a->port, a->baudIndex, false, qSerial_8Bits, qSerial_1StopBit, out);
}

// Re-opens the transport of a stopped link: up to 20 attempts for USB and
// TCP/IP links; other links cannot be re-opened (qErrParam at once).
qErr sReopen(const LinkEntry* entry, qStream** stream) {
    StreamMaker maker = nullptr;
    if (entry->type == linkTypeUSB)
        maker = sMakeUSB;
    else if (entry->type == linkTypeTCPIP)
        maker = sMakeSocket;
    if (!maker)
        return qErrParam;
    qErr e = qErrResource;
    for (int attempt = 0; attempt < qLINK_RESET_ATTEMPTS; attempt++) {
        e = maker(entry, nullptr, stream);
        if (e == qErrNone)
            return qErrNone;
        *stream = nullptr;
        (void)qTime_MSSleep(kResetPauseMs);
    }
    return e;
}

qErr sResetLink(LinkEntry* entry) {
    qLink* link = entry->link;
    (void)ks_link::stop(link);
    (void)ks_link::releaseResources(link);
    qStream* stream = nullptr;
    qErr opened = sReopen(entry, &stream);
    qErr e = ks_link::init(link, entry->linkId, stream);
    if (e != qErrNone)
        return e;
    e = ks_link::start(link);
    return opened != qErrNone ? opened : e;
}

// What packet traffic needs of a link, copied under the list mutex.
struct Snapshot {
    unsigned long inputFifo;
    unsigned long outputFifo;
    bool running;
    int32_t status;
};

bool sSnapshot(uint32_t linkId, Snapshot* s) {
    return ks_link::withLink(linkId, [s](qLink* link) {
        s->inputFifo = link->inputFifo;
        s->outputFifo = link->outputFifo;
        s->running = link->running.load();
        s->status = link->status.load();
    });
}

} // namespace

namespace ks_link {

std::mutex& listMutex() {
    return gListMutex;
}

qLink* findLocked(uint32_t linkId) {
    LinkEntry* e = sFindById(linkId);
    return e && qVALIDLINK(e->link) ? e->link : nullptr;
}

} // namespace ks_link

uint32_t qLink_CreateUSB(uint32_t serialNumber) {
    return sCreate(linkTypeUSB, serialNumber, 0, sMakeUSB, nullptr, nullptr);
}

uint32_t qLink_CreateTCPIP(uint32_t address, uint16_t port) {
    return sCreate(linkTypeTCPIP, address, port, sMakeSocket, nullptr, nullptr);
}

uint32_t qLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    int index = baudRate > 230400 ? -1 : qStream_SerialBaudIndex(static_cast<int>(baudRate));
    if (index < 0 || !portName)
        return 0;
    SerialArgs args = {portName, index};
    return sCreate(linkTypeSerial, serialNumber, 0, sMakeSerial, &args, nullptr);
}

uint32_t qLink_Create(qStream* stream) {
    if (!qVALIDSTREAM(stream))
        return 0;
    return sCreate(linkTypeNone, qLINK_IDENTIFIER_STREAM, 0, nullptr, nullptr, stream);
}

qErr qLink_Destroy(uint32_t* linkId) {
    if (!linkId)
        return qErrParam;
    std::unique_lock<std::mutex> hold(gTableMutex);
    LinkEntry* entry = sFindById(*linkId);
    if (!entry) {
        *linkId = 0;
        return qErrParam;
    }
    if (entry->useCount <= 1 && ks_link::isOwnThread(entry->link))
        return qErrBusy; // a thread cannot stop itself; nothing changed
    *linkId = 0;
    if (--entry->useCount > 0)
        return qErrNone;
    sUnlink(entry);
    hold.unlock();
    qErr result = sFreeLink(entry->link);
    delete entry;
    return result;
}

qErr qLink_Reset(uint32_t linkId) {
    std::unique_lock<std::mutex> hold(gTableMutex, std::try_to_lock);
    if (!hold.owns_lock())
        return qErrBusy;
    LinkEntry* entry = sFindById(linkId);
    if (!entry || !qVALIDLINK(entry->link))
        return qErrParam;
    if (ks_link::isOwnThread(entry->link))
        return qErrBusy;
    return sResetLink(entry);
}

int32_t qLink_GetStatus(uint32_t linkId) {
    Snapshot s;
    if (!sSnapshot(linkId, &s))
        return qLinkStatusNoStream;
    return s.status;
}

qErr qLink_PutPacket(uint32_t linkId, const qPacket* packet) {
    Snapshot s;
    if (!sSnapshot(linkId, &s))
        return qErrParam;
    return qPacketFifo_Put(s.outputFifo, packet);
}

qPacket* qLink_GetPacket(uint32_t linkId) {
    Snapshot s;
    return sSnapshot(linkId, &s) ? qPacketFifo_Get(s.inputFifo) : nullptr;
}

qPacket* qLink_AwaitPacket(uint32_t linkId, unsigned long msTimeout) {
    Snapshot s;
    return sSnapshot(linkId, &s) ? qPacketFifo_Await(s.inputFifo, msTimeout) : nullptr;
}

qPacket* qLink_GetFirst(uint32_t linkId, qLinkPacketFilter filter, const void* ref) {
    Snapshot s;
    return sSnapshot(linkId, &s) ? qPacketFifo_GetFirst(s.inputFifo, filter, ref) : nullptr;
}

qPacket* qLink_AwaitFirst(uint32_t linkId, qLinkPacketFilter filter, const void* ref,
                          unsigned long msTimeout) {
    unsigned long deadline = qTime_GetMSTicks() + msTimeout;
    for (;;) {
        Snapshot s;
        if (!sSnapshot(linkId, &s) || !s.running || s.status != qLinkStatusRunning)
            return nullptr;
        long left = static_cast<long>(deadline - qTime_GetMSTicks());
        if (left <= 0)
            return nullptr;
        unsigned long slice = static_cast<unsigned long>(left);
        if (slice > kAwaitSliceMs)
            slice = kAwaitSliceMs;
        if (qPacket* p = qPacketFifo_AwaitFirst(s.inputFifo, filter, ref, slice))
            return p;
    }
}

unsigned long qLink_DrainPackets(uint32_t linkId, qLinkPacketFilter filter, const void* ref) {
    Snapshot s;
    if (!sSnapshot(linkId, &s))
        return 0;
    long drained = qPacketFifo_DrainPackets(s.inputFifo, filter, ref);
    return drained > 0 ? static_cast<unsigned long>(drained) : 0;
}

qErr qLink_InstallUserPacketFilter(uint32_t linkId, qLinkUserPacketFilter filter, void* ref) {
    // The input thread holds the filter lock while the filter runs, and the
    // filter may look the link up (qLink_PutPacket): so the filter lock is
    // only tried here, with the list mutex released between tries. Once this
    // returns, the old filter is no longer running.
    for (int attempt = 0; attempt < kInstallAttempts; attempt++) {
        bool installed = false;
        bool found = ks_link::withLink(linkId, [&](qLink* link) {
            std::unique_lock<std::mutex> guard(link->filterLock, std::try_to_lock);
            if (!guard.owns_lock())
                return;
            link->userFilter = filter;
            link->userRef = ref;
            installed = true;
        });
        if (!found)
            return qErrParam;
        if (installed)
            return qErrNone;
        (void)qTime_MSSleep(1);
    }
    return qErrBusy;
}
