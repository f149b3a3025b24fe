// Starting and stopping a link, and its two threads: the input thread
// (packet assembly, synchronisation, heartbeat replies, the user packet
// filter) and the output thread (paced writes of queued packets).
//
// Both threads sleep while nothing happens: the input thread waits on the
// stream (qStream_WaitReadable, with the link's wake eventfd) and takes
// whatever has arrived in one read; the output thread waits on the output
// FIFO's condition. Stop wakes both. Streams that cannot wait (made by a
// caller without a wait callback) are polled, backing off to 2 ms.
#include <poll.h>
#include <stdint.h>
#include <string.h>
#include <sys/eventfd.h>
#include <time.h>
#include <unistd.h>

#include "qPacketFifo.h"
#include "qTime.h"
#include "unix_link_private.h"
#include "unix_packetfifo_internal.h"

namespace {

// Sync recogniser states: where the input thread stands in the module's sync
// answer A 00 A 00 (A non-zero and even, the same both times).
enum SyncState : uint32_t {
    kSyncIdle = 0,   // not syncing
    kSyncUnsent = 1, // the answer broke off: the next byte asks again
    kSyncWantAddress = 2,
    kSyncWantZero = 3,
    kSyncWantAddressAgain = 4,
    kSyncWantLastZero = 5
};

// Heartbeat states while a heartbeat with byte 0 or 1 is being answered.
constexpr uint32_t kHeartbeatIdle = 0;
constexpr uint32_t kHeartbeatZero = 2;
constexpr uint32_t kHeartbeatOne = 3;

constexpr uint8_t kHeartbeatCommand = 0x00;
constexpr uint8_t kLinkStart = 0x01;
constexpr uint8_t kLinkStop = 0x00;

constexpr long kErrorPauseUs = 100000;    // after a failed read
constexpr unsigned long kSyncPauseMs = 2; // before a sync request
// After a sync request, how long a broken answer is taken for bytes the
// module sent before it saw the request (see sSyncBroken).
constexpr unsigned long kSyncAnswerWindowMs = 200;
constexpr long kPacingNs = 1000000; // pause after each sent packet
// The input thread's wait on its stream: a safety net only (a stop or bytes
// end it at once), so that even a lost wake-up costs at most this much.
constexpr unsigned long kInputWaitMs = 1000;
// Polling a stream that cannot wait: from 50 us, doubling up to 2 ms.
constexpr long kPollFirstUs = 50;
constexpr long kPollMostUs = 2000;
// A wait that says "readable" and a read that then finds nothing, this many
// times in a row (a hung-up line), makes the thread pause before waiting
// again, so that it never spins.
constexpr unsigned kEmptyWakesBeforePause = 3;
constexpr long kEmptyWakePauseUs = 10000;
constexpr size_t kChunkBytes = 512; // one read of the input thread
// The link start and stop packets wait this long for room in a full queue.
constexpr unsigned long kControlPutWaitMs = 200;
// Upper bounds that keep loops finite.
constexpr int kDrainLimit = 256;
constexpr int kDiscardReads = 64;
constexpr int kEntryWaitSteps = 20000; // x 50 us = 1 s

void sSleepNs(long ns) {
    timespec t = {ns / 1000000000L, ns % 1000000000L};
    nanosleep(&t, nullptr);
}

// Sleeps up to us microseconds, waking at once when the link is stopped.
void sPause(qLink* link, long us) {
    if (!link->running.load())
        return;
    timespec t = {us / 1000000L, (us % 1000000L) * 1000L};
    pollfd p = {link->wakeFd, POLLIN, 0};
    ppoll(&p, 1, &t, nullptr);
}

// Writes one packet as address, length and data bytes, in one write.
qErr sWritePacket(qLink* link, const qPacket* p) {
    uint8_t wire[2 + sizeof p->data];
    size_t length = p->length <= sizeof p->data ? p->length : sizeof p->data;
    wire[0] = p->address;
    wire[1] = static_cast<uint8_t>(length);
    memcpy(wire + 2, p->data, length);
    return link->stream ? qStream_Write(link->stream, wire, length + 2) : qErrConnection;
}

// A write of the output thread failed: the packet is lost and the link is
// not running any more, which callers waiting for a reply see at once.
void sWriteFailed(qLink* link) {
    int32_t status = link->status.load();
    if (status == qLinkStatusRunning || status == qLinkStatusSyncing)
        link->status.compare_exchange_strong(status, qLinkStatusIOError);
}

const uint8_t kSyncRequest[qLINK_SYNC_REQUEST_SIZE] = {qLINK_SYNC_BYTE, 0, qLINK_SYNC_BYTE, 0,
                                                       qLINK_SYNC_BYTE, 0, qLINK_SYNC_BYTE, 0,
                                                       qLINK_SYNC_BYTE, 0, qLINK_SYNC_BYTE, 0};

// On the output thread: writes the sync request that the input thread asked
// for, if any, before the next packet.
void sWriteSyncRequest(qLink* link) {
    if (!link->syncRequested.load())
        return;
    if (!link->stream || qStream_Write(link->stream, kSyncRequest, sizeof kSyncRequest) != qErrNone)
        sWriteFailed(link);
    link->syncRequested.store(false); // from here on, what arrives may be the answer
}

qErr sQueueControl(qLink* link, uint8_t value) {
    const uint8_t data[1] = {value};
    qPacket* p = qPacket_CreateWithData(qLINK_ENDPOINT_ADDRESS, 1, data);
    if (!p)
        return qErrMemory;
    qErr e = qPacketFifo_PutWithin(link->outputFifo, p, kControlPutWaitMs);
    (void)qPacket_Destroy(&p);
    return e;
}

// The pause before a sync request; 0 only for the fuzz target.
std::atomic<bool> g_syncPause{true};

// Drops packet alignment: waits briefly for the module to finish what it is
// sending, then asks it for a sync answer. The request is written by the
// output thread, the stream's only writer.
void sStartSync(qLink* link) {
    if (g_syncPause.load())
        (void)qTime_MSSleep(kSyncPauseMs);
    link->status.store(qLinkStatusSyncing);
    link->syncStarts++;
    link->syncStartMs = qTime_GetMSTicks();
    (void)qPacket_Reset(link->assembly);
    // What arrived until now was sent before the module saw this request:
    // the rest of a packet, or the answer to an earlier request. Fed to the
    // recogniser it could keep it one byte out of step with every answer to
    // come, each mismatch asking again, without end.
    uint8_t stale[kChunkBytes];
    size_t got = 0;
    for (int i = 0; i < kDiscardReads && link->stream &&
                    qStream_ReadAvailable(link->stream, stale, sizeof stale, &got) == qErrNone;
         i++) {
    }
    link->syncState = kSyncWantAddress;
    // The fuzz target feeds bytes without threads: no output thread would
    // ever send the request, so it counts as sent.
    link->syncRequested.store(g_syncPause.load());
    fifoWake(link->outputFifo);
}

// A byte that breaks the sync answer. Within the answer window after a
// request it is taken for one the module sent before it saw the request (a
// heartbeat in flight): the answer is looked for in what follows, the byte
// itself perhaps starting it. After the window the next byte asks again. (On
// a loaded host the bytes in flight outlast a heartbeat period; asking again
// at each of them made every new request meet the same fate, a chain of
// requests as long as the load lasted.)
void sSyncBroken(qLink* link, uint8_t byte) {
    const unsigned long window = g_syncPause.load() ? kSyncAnswerWindowMs : 0;
    if (qTime_GetMSTicks() - link->syncStartMs >= window) {
        link->syncState = kSyncUnsent;
    } else if (byte != 0 && (byte & 1) == 0) {
        link->syncAddress = byte;
        link->syncState = kSyncWantZero;
    } else {
        link->syncState = kSyncWantAddress;
    }
}

// One byte received while syncing.
void sSyncByte(qLink* link, uint8_t byte) {
    switch (link->syncState) {
    case kSyncUnsent:
        sStartSync(link);
        return;
    case kSyncWantAddress:
        if (byte != 0 && (byte & 1) == 0) {
            link->syncAddress = byte;
            link->syncState = kSyncWantZero;
        } else {
            sSyncBroken(link, byte);
        }
        return;
    case kSyncWantZero:
        if (byte == 0)
            link->syncState = kSyncWantAddressAgain;
        else
            sSyncBroken(link, byte);
        return;
    case kSyncWantAddressAgain:
        if (byte == link->syncAddress)
            link->syncState = kSyncWantLastZero;
        else
            sSyncBroken(link, byte);
        return;
    case kSyncWantLastZero:
        if (byte == 0) {
            link->syncState = kSyncIdle;
            link->status.store(qLinkStatusRunning);
        } else {
            sSyncBroken(link, byte);
        }
        return;
    default:
        return;
    }
}

// Answers a heartbeat (command 0 with one byte x) with x + 2; returns whether
// the packet was one.
bool sHandleHeartbeat(qLink* link, const qPacket* p) {
    if (p->length != 2 || p->data[0] != kHeartbeatCommand ||
        (link->heartbeatState != 0 && link->heartbeatState != 1))
        return false;
    if (p->data[1] == 0)
        link->heartbeatState = kHeartbeatZero;
    else if (p->data[1] == 1)
        link->heartbeatState = kHeartbeatOne;
    const qPacket reply = {
        qPACKET_TAG, 4, p->address, 2, {kHeartbeatCommand, static_cast<uint8_t>(p->data[1] + 2)}};
    // A full output queue refuses the reply: the module asks again.
    if (qPacketFifo_Put(link->outputFifo, &reply) != qErrNone)
        link->heartbeatState = kHeartbeatIdle;
    link->heartbeatState = kHeartbeatIdle;
    return true;
}

// Called after every accepted byte; acts once the packet is complete.
qErr sHandlePacket(qLink* link) {
    qPacket* p = link->assembly;
    if (!qPacket_IsComplete(p))
        return qErrNone;
    (void)qPacketDebug_RecordPacket(link->linkId, qPACKETLOG_RECEIVED, p);
    bool consumed = false;
    {
        std::lock_guard<std::mutex> guard(link->filterLock);
        if (link->userFilter)
            consumed = link->userFilter(p, link->userRef);
    }
    qErr e = qErrNone;
    if (!consumed && !sHandleHeartbeat(link, p))
        e = fifoPutDroppingOldest(link->inputFifo, p); // nobody reads the oldest
    (void)qPacket_Reset(p);
    return e;
}

// Feeds received bytes to the engine. A sync request started on the way
// makes the rest of them stale (see sStartSync): they are dropped.
void sFeed(qLink* link, const uint8_t* bytes, size_t n) {
    for (size_t i = 0; i < n; i++) {
        const uint32_t syncs = link->syncStarts;
        ks_link::receiveByte(link, bytes[i]);
        if (link->syncStarts != syncs)
            return;
    }
}

// Sleeps until the stream may have bytes or the link stops. pollUs is the
// back-off for a stream that cannot wait; emptyWakes counts waits that
// found nothing to read.
void sAwaitInput(qLink* link, long* pollUs, unsigned* emptyWakes) {
    if (*emptyWakes >= kEmptyWakesBeforePause) {
        sPause(link, kEmptyWakePauseUs);
        *emptyWakes = 0;
    }
    qErr w = qStream_WaitReadable(link->stream, link->wakeFd, kInputWaitMs);
    if (w == qErrNone) {
        ++*emptyWakes; // cleared by the read when it finds bytes
    } else if (w == qErrMode) {
        sPause(link, *pollUs);
        *pollUs = *pollUs * 2 > kPollMostUs ? kPollMostUs : *pollUs * 2;
    } else if (w != qErrCancel && w != qErrTimeout) {
        sPause(link, kErrorPauseUs); // the wait itself failed: do not spin on it
    }
}

void* sInPipeProcess(void* arg) {
    qLink* link = static_cast<qLink*>(arg);
    link->heartbeatState = kHeartbeatIdle;
    link->syncState = kSyncIdle;
    link->syncAddress = 1;
    link->status.store(qLinkStatusRunning);
    link->inputEntered.store(true);
    uint8_t chunk[kChunkBytes];
    long pollUs = kPollFirstUs;
    unsigned emptyWakes = 0;
    while (link->running.load()) {
        size_t got = 0;
        qErr e = link->stream ? qStream_ReadAvailable(link->stream, chunk, sizeof chunk, &got)
                              : qErrParam;
        if (e == qErrNone) {
            pollUs = kPollFirstUs;
            emptyWakes = 0;
            sFeed(link, chunk, got);
            if (got == sizeof chunk)
                continue; // more may be waiting
            sAwaitInput(link, &pollUs, &emptyWakes);
        } else if (e == qErrNotReady) {
            sAwaitInput(link, &pollUs, &emptyWakes);
        } else {
            link->status.store(qLinkStatusIOError);
            sPause(link, kErrorPauseUs);
        }
    }
    return nullptr;
}

void* sOutPipeProcess(void* arg) {
    qLink* link = static_cast<qLink*>(arg);
    qPacket p;
    while (link->running.load()) {
        sWriteSyncRequest(link);
        if (!fifoAwaitWhile(link->outputFifo, &p, link->running, &link->syncRequested)) {
            if (link->running.load() && !link->syncRequested.load())
                sPause(link, kErrorPauseUs); // no FIFO (cannot happen): do not spin
            continue;
        }
        if (sWritePacket(link, &p) != qErrNone)
            sWriteFailed(link);
        sSleepNs(kPacingNs);
        (void)qPacketDebug_RecordPacket(link->linkId, qPACKETLOG_SENT, &p);
    }
    // Stopping: what is still queued (the link stop packet among it) goes out
    // at once and unlogged.
    for (int i = 0; i < kDrainLimit; i++) {
        qPacket* q = qPacketFifo_Get(link->outputFifo);
        if (!q)
            break;
        const qErr written = sWritePacket(link, q);
        (void)qPacket_Destroy(&q);
        if (written != qErrNone)
            break; // the stream is gone: the rest cannot leave either
    }
    return nullptr;
}

} // namespace

namespace ks_link {

void setSyncPauseForFuzzing(bool pause) {
    g_syncPause.store(pause);
}

void receiveByte(qLink* link, uint8_t byte) {
    if (link->status.load() == qLinkStatusSyncing) {
        // Until the output thread has written the request, whatever comes
        // was sent before the module saw it: stale, like what sStartSync
        // dropped.
        if (!link->syncRequested.load())
            sSyncByte(link, byte);
    } else if (qPacket_AddByte(link->assembly, byte) != qErrNone)
        sStartSync(link);
    else if (sHandlePacket(link) != qErrNone)
        link->status.store(qLinkStatusPacketError);
}

qErr init(qLink* link, uint32_t linkId, qStream* stream) {
    link->tag = qLINK_TAG;
    link->linkId = linkId;
    link->running.store(false);
    link->stream = stream;
    link->status.store(stream ? qLinkStatusStopped : qLinkStatusNoStream);
    link->inputThread = pthread_self();
    link->outputThread = pthread_self();
    link->inputStarted = false;
    link->outputStarted = false;
    link->inputEntered.store(false);
    link->inputFifo = qPacketFifo_Create();
    link->outputFifo = qPacketFifo_Create();
    link->assembly = qPacket_Create();
    link->heartbeatState = kHeartbeatIdle;
    link->syncState = kSyncIdle;
    link->syncAddress = 1;
    link->syncStarts = 0;
    link->syncStartMs = 0;
    link->syncRequested.store(false);
    link->wakeFd = -1;
    {
        std::lock_guard<std::mutex> guard(link->filterLock);
        link->userFilter = nullptr;
        link->userRef = nullptr;
    }
    link->debugAttached = qPacketDebug_AttachLink(linkId, link) == qErrNone;
    if (!link->inputFifo || !link->outputFifo || !link->assembly || !link->debugAttached)
        return qErrResource;
    return qErrNone;
}

OwnThreads ownThreads(const qLink* link) {
    OwnThreads t;
    t.input = link->inputStarted;
    t.output = link->outputStarted;
    t.inputThread = link->inputThread;
    t.outputThread = link->outputThread;
    return t;
}

bool isCallerOneOf(const OwnThreads& t) {
    pthread_t self = pthread_self();
    return (t.input && pthread_equal(self, t.inputThread)) ||
           (t.output && pthread_equal(self, t.outputThread));
}

bool isOwnThread(const qLink* link) {
    return isCallerOneOf(ownThreads(link));
}

qErr start(qLink* link) {
    if (!qVALIDLINK(link))
        return qErrParam;
    if (link->running.load())
        return qErrNone;
    link->running.store(true);
    link->status.store(qLinkStatusStarting);
    link->heartbeatState = kHeartbeatIdle;
    link->inputEntered.store(false);
    // Without it (no descriptors left) the input thread still sees a stop
    // within its wait's safety time-out.
    link->wakeFd = eventfd(0, EFD_CLOEXEC);
    link->inputStarted = pthread_create(&link->inputThread, nullptr, sInPipeProcess, link) == 0;
    if (!link->inputStarted) {
        link->inputThread = pthread_self();
        return qErrResource;
    }
    link->outputStarted = pthread_create(&link->outputThread, nullptr, sOutPipeProcess, link) == 0;
    if (!link->outputStarted) {
        link->outputThread = pthread_self();
        return qErrResource;
    }
    // Callers see the link running (or failing) once this returns.
    for (int i = 0; i < kEntryWaitSteps && !link->inputEntered.load(); i++)
        sSleepNs(50000);
    return sQueueControl(link, kLinkStart);
}

qErr stop(qLink* link) {
    if (!qVALIDLINK(link))
        return qErrParam;
    int32_t status = link->status.load();
    if ((status == qLinkStatusStopped || status == qLinkStatusStopping) && !link->inputStarted &&
        !link->outputStarted)
        return qErrNone;
    link->status.store(qLinkStatusStopping);
    if (isOwnThread(link))
        return qErrNone;
    qErr result = qErrNone;
    if (link->running.load())
        (void)sQueueControl(link, kLinkStop);
    link->running.store(false);
    if (link->wakeFd >= 0) {
        const uint64_t one = 1;
        ssize_t n = write(link->wakeFd, &one, sizeof one); // cannot fail: the counter is 0 or 1
        (void)n;
    }
    fifoWake(link->outputFifo);
    if (link->inputStarted && pthread_join(link->inputThread, nullptr) != 0)
        result = qErrUnknown;
    if (link->outputStarted && pthread_join(link->outputThread, nullptr) != 0)
        result = qErrUnknown;
    link->inputStarted = false;
    link->outputStarted = false;
    link->inputThread = pthread_self();
    link->outputThread = pthread_self();
    if (link->wakeFd >= 0)
        close(link->wakeFd);
    link->wakeFd = -1;
    (void)qPacket_Reset(link->assembly);
    link->status.store(qLinkStatusStopped);
    link->heartbeatState = kHeartbeatIdle;
    return result;
}

qErr releaseResources(qLink* link) {
    unsigned long input = link->inputFifo.exchange(0);
    unsigned long output = link->outputFifo.exchange(0);
    if (input)
        (void)qPacketFifo_Destroy(&input);
    qErr result = qErrNone;
    if (output)
        result = qPacketFifo_Destroy(&output);
    if (link->assembly)
        (void)qPacket_Destroy(&link->assembly);
    if (link->debugAttached)
        (void)qPacketDebug_DetachLink(link->linkId);
    link->debugAttached = false;
    if (link->stream)
        (void)qStream_Destroy(&link->stream);
    link->stream = nullptr;
    return result;
}

} // namespace ks_link
