// The link table, link creation, destruction and reset, and the packet
// traffic calls of the link engine.
//
// Transports are looked up in the table of unix_link_transport.h; nothing
// here tests a transport type.
//
// Locking: the table mutex guards every entry's use count, its reset mark
// and the list of modules being opened. Creation and reset open the stream
// with it released, so that one slow open holds up no other link; a second
// create for the same module waits for the first one's outcome, a second
// reset of a link is refused (qErrBusy) and the last destroy of a link
// being reset stops its attempts and waits for it. The list
// mutex guards the list itself for short look-ups: packet traffic calls take
// it only to copy the link's FIFO ids and state, and then work on the FIFOs
// alone, which stay safe to use by id even if the link goes away meanwhile
// (a destroyed FIFO's id is never reused). The list is changed only with
// both mutexes held, so holding either one is enough to read it.
#include <stdint.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <string.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <new>
#include <vector>

#include "qPacketFifo.h"
#include "qTime.h"
#include "unix_link_private.h"
#include "unix_link_transport.h"
#include "unix_streampoll.h"

namespace {

using ks_link::OpenArgs;
using ks_link::Transport;

struct LinkEntry {
    uint32_t linkId;
    const Transport* transport; // null for a link over a stream given in
    OpenArgs args;              // what opened the stream; sModuleKey names the module
    int16_t useCount;
    qLink* link;
    LinkEntry* next;
    // A reset re-opens the stream with the table mutex released; meanwhile
    // the entry stays in the table (guarded by gTableMutex). The last
    // user's destroy sets abandon, so that the reset gives up its remaining
    // attempts, and waits for it.
    bool resetting = false;
    std::atomic<bool> abandon{false};
    // While a reset runs: an eventfd that the last destroy signals, so that
    // the reset's open under way and its pauses end at once (-1 otherwise;
    // under gTableMutex).
    int resetCancelFd = -1;
    // While a reset runs: the threads it is stopping, taken before it began
    // (the link's own fields change under it). A destroy from one of them
    // is refused, as from the link's own thread.
    ks_link::OwnThreads resetFrom = {};
};

// The table: newest entry first; ids start at 1 and are never reused.
struct LinkTable {
    LinkEntry* head = nullptr;
    uint32_t nextId = 1;
};

LinkTable gTable; // list: gTableMutex + gListMutex to change; use counts: gTableMutex
std::mutex gTableMutex;
std::mutex gListMutex;
// Identifiers whose stream is being opened (outside the table mutex), and the
// condition that a finished open or reset broadcasts; both under gTableMutex. A second
// create for the same module waits for the first one's outcome instead of
// opening the module twice.
std::vector<uint64_t> gOpening;
std::condition_variable gOpened;

constexpr unsigned long kResetPauseMs = 100;
// A create waits at most this long for another thread's open of the same
// module (a TCP open gives up after its connect deadline, well before).
constexpr auto kOpenWaitLimit = std::chrono::seconds(30);
// qLink_PutPacket waits this long for room on a full output queue; the
// output thread sends one packet a millisecond, so a running link makes room
// for a burst far sooner.
constexpr unsigned long kPutWaitMs = 1000;
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

// What makes two links the same module: the transport, its identifier and,
// over TCP/IP, the port (modules behind one host address, as in a rack or a
// fleet, each listen on a port of their own and are different modules).
uint64_t sModuleKey(const Transport* transport, const OpenArgs& args) {
    const uint64_t type = transport ? static_cast<uint64_t>(transport->type) : 0;
    return type << 48 | static_cast<uint64_t>(args.port & 0xFFFF) << 32 | args.identifier;
}

LinkEntry* sFindByKey(uint64_t key) {
    for (LinkEntry* e = gTable.head; e; e = e->next)
        if (sModuleKey(e->transport, e->args) == key)
            return e;
    return nullptr;
}

bool sOpening(uint64_t key) {
    return std::find(gOpening.begin(), gOpening.end(), key) != gOpening.end();
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

// Opens the stream of a new link with the table mutex released, so that a
// slow open (a TCP connect, a USB enumeration) holds up no other link.
// Returns qErrNone with *stream set, qErrNone with *shared set when a link
// for the module exists (its use count raised), or the cause of a failure.
qErr sOpenUnlocked(std::unique_lock<std::mutex>& hold, const Transport* transport,
                   const OpenArgs& args, qStream** stream, uint32_t* shared) {
    const uint64_t id = sModuleKey(transport, args);
    if (!gOpened.wait_for(hold, kOpenWaitLimit, [id] { return !sOpening(id); }))
        return qErrBusy;
    if (LinkEntry* existing = sFindByKey(id)) {
        if (existing->useCount >= INT16_MAX)
            return qErrResource; // the count must not wrap and free a link in use
        existing->useCount++;
        *shared = existing->linkId;
        return qErrNone;
    }
    gOpening.push_back(id);
    hold.unlock();
    qErr e = transport->open(&args, stream);
    hold.lock();
    gOpening.erase(std::find(gOpening.begin(), gOpening.end(), id));
    gOpened.notify_all();
    return e;
}

// Creates, registers and starts a link, or shares the existing link for the
// same identifier. A stream given in (transport null) is owned from here on
// and destroyed on failure. *linkId is the id, 0 on failure.
qErr sCreate(const Transport* transport, const OpenArgs& args, qStream* given, uint32_t* linkId) {
    *linkId = 0;
    std::unique_lock<std::mutex> hold(gTableMutex);
    qStream* stream = given;
    if (transport) {
        uint32_t shared = 0;
        qErr opened = sOpenUnlocked(hold, transport, args, &stream, &shared);
        if (opened != qErrNone || shared != 0) {
            *linkId = shared;
            return opened;
        }
    }
    LinkEntry* entry = new (std::nothrow) LinkEntry{0, transport, args, 0, nullptr, nullptr};
    qLink* link = new (std::nothrow) qLink();
    if (!entry || !link || !stream) {
        delete entry;
        delete link;
        if (stream)
            (void)qStream_Destroy(&stream);
        return qErrMemory;
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
        return e;
    }
    *linkId = entry->linkId;
    return qErrNone;
}

uint32_t sCreateFromSpec(const linkSpec& spec) {
    uint32_t id = 0;
    qErr e = qLink_Open(&spec, &id);
    return e == qErrNone ? id : 0;
}

// Re-opens the transport of a stopped link: up to 20 attempts for a
// transport that can be re-opened; other links cannot be (qErrParam at once).
// The last destroy (cancelFd) and qStream_InterruptOpens end the attempts,
// an open under way included, at once (qErrCancel).
qErr sReopen(const LinkEntry* entry, int cancelFd, qStream** stream) {
    if (!entry->transport || !entry->transport->reopenable)
        return qErrParam;
    OpenArgs args = entry->args;
    args.cancelFd = cancelFd;
    qErr e = qErrResource;
    for (int attempt = 0; attempt < qLINK_RESET_ATTEMPTS; attempt++) {
        if (entry->abandon.load() || unixStreamOpensInterrupted())
            return qErrCancel;
        e = entry->transport->open(&args, stream);
        if (e == qErrNone)
            return qErrNone;
        *stream = nullptr;
        if (unixStreamPauseOpen(cancelFd, kResetPauseMs) == qErrCancel)
            return qErrCancel;
    }
    return e;
}

qErr sResetLink(LinkEntry* entry, int cancelFd) {
    qLink* link = entry->link;
    (void)ks_link::stop(link);
    (void)ks_link::releaseResources(link);
    qStream* stream = nullptr;
    qErr opened = sReopen(entry, cancelFd, &stream);
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

qErr qLink_Open(const linkSpec* spec, uint32_t* linkId) {
    if (linkId)
        *linkId = 0;
    if (!spec || !linkId)
        return qErrParam;
    const Transport* transport = ks_link::transportFor(spec->transport);
    OpenArgs args;
    if (!transport || transport->prepare(spec, &args) != qErrNone)
        return qErrParam;
    return sCreate(transport, args, nullptr, linkId);
}

uint32_t qLink_CreateUSB(uint32_t serialNumber) {
    linkSpec spec{};
    spec.transport = linkTypeUSB;
    spec.serialNumber = serialNumber;
    spec.link.usb.usbSerial = serialNumber;
    return sCreateFromSpec(spec);
}

uint32_t qLink_CreateTCPIP(uint32_t address, uint16_t port) {
    linkSpec spec{};
    spec.transport = linkTypeTCPIP;
    spec.link.tcpip.hostAddress = address;
    spec.link.tcpip.tcpPort = port;
    return sCreateFromSpec(spec);
}

uint32_t qLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate) {
    linkSpec spec{};
    spec.transport = linkTypeSerial;
    spec.serialNumber = serialNumber;
    spec.link.serial.baudRate = baudRate;
    if (!portName || strlen(portName) >= sizeof spec.link.serial.portName)
        return 0;
    memcpy(spec.link.serial.portName, portName, strlen(portName) + 1);
    return sCreateFromSpec(spec);
}

uint32_t qLink_Create(qStream* stream) {
    if (!qVALIDSTREAM(stream))
        return 0;
    OpenArgs args;
    args.identifier = qLINK_IDENTIFIER_STREAM;
    uint32_t id = 0;
    return sCreate(nullptr, args, stream, &id) == qErrNone ? id : 0;
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
    const bool own = entry->resetting ? ks_link::isCallerOneOf(entry->resetFrom)
                                      : ks_link::isOwnThread(entry->link);
    if (entry->useCount <= 1 && own)
        return qErrBusy; // a thread cannot stop itself; nothing changed
    *linkId = 0;
    if (--entry->useCount > 0)
        return qErrNone;
    // The last user: a reset under way gives up and is waited for.
    entry->abandon.store(true);
    unixStreamSignalChange(entry->resetCancelFd);
    gOpened.wait(hold, [entry] { return !entry->resetting; });
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
    if (entry->resetting || ks_link::isOwnThread(entry->link))
        return qErrBusy;
    // The slow part (stopping, re-opening: up to 20 attempts) runs with the
    // table released, so that other links are created and destroyed
    // meanwhile; the entry stays, marked, until it is done.
    entry->resetting = true;
    entry->resetFrom = ks_link::ownThreads(entry->link);
    const int cancelFd = unixStreamChangeFd(); // without it, a destroy waits for the attempts
    entry->resetCancelFd = cancelFd;
    hold.unlock();
    qErr e = sResetLink(entry, cancelFd);
    hold.lock();
    entry->resetCancelFd = -1;
    if (cancelFd >= 0)
        close(cancelFd);
    entry->resetting = false;
    gOpened.notify_all();
    return e;
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
    return qPacketFifo_PutWithin(s.outputFifo, packet, kPutWaitMs);
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
