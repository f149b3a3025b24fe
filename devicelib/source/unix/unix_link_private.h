// The link record and the engine's internal operations, shared by the units
// of the link engine (unix_link.cpp: table, creation, traffic;
// unix_link_threads.cpp: start, stop and the two threads). Not part of the
// library's interface.
#pragma once

#include <pthread.h>

#include <atomic>
#include <mutex>

#include "qLink.h"
#include "qPacketDebug.h"

#define qLINK_TAG 0xCEED
#define qVALIDLINK(l) ((l) != nullptr && (l)->tag == qLINK_TAG)

// One link. Ownership and locking:
// - The record belongs to its table entry; it is created, re-initialised
//   (reset) and freed only under the table mutex, or after its entry has left
//   the table, and only while its threads are stopped.
// - running and status are atomics: written by one thread, polled by others.
// - assembly, syncState, syncAddress, syncStarts, syncStartMs and
//   heartbeatState belong to the input thread while it runs (and to the
//   stopping thread after the join).
// - wakeFd: an eventfd made by start before the threads and closed by stop
//   after the join (-1 otherwise). Stop signals it after clearing running;
//   the input thread's waits watch it (and only watch it), so that a stop
//   wakes a thread asleep on the stream at once. The output thread sleeps on
//   the output FIFO's condition, which stop wakes (fifoWake).
// - stream: read by the input thread, written by the output thread alone
//   (the input thread asks it for the sync request with syncRequested);
//   replaced only while stopped.
// - userFilter and userRef are guarded by filterLock (installed from any
//   thread, called on the input thread).
// - The packet log of the link lives in the packet debug registry
//   (qPacketDebug.h), keyed by the link id: attached by init, detached by
//   releaseResources, fed by the threads.
struct qLink {
    uint16_t tag;
    uint32_t linkId;
    std::atomic<bool> running;
    std::atomic<int32_t> status;
    std::atomic<unsigned long> inputFifo;
    qPacket* assembly;
    std::atomic<unsigned long> outputFifo;
    pthread_t inputThread;  // the controlling thread's id while none runs
    pthread_t outputThread; // likewise
    bool inputStarted;
    bool outputStarted;
    std::atomic<bool> inputEntered; // set by the input thread once it runs
    qStream* stream;
    uint32_t heartbeatState;
    uint32_t syncState;
    uint8_t syncAddress;
    uint32_t syncStarts;       // sync requests started, counted to drop stale input
    unsigned long syncStartMs; // when the last sync request was started
    // Set by the input thread to have the output thread, the stream's only
    // writer, send the sync request before its next packet.
    std::atomic<bool> syncRequested;
    int wakeFd;
    bool debugAttached; // known to the packet debug registry
    std::mutex filterLock;
    qLinkUserPacketFilter userFilter;
    void* userRef;
};

namespace ks_link {

// Initialises the record for a (possibly null) stream: tag, id, status 0 (5
// without a stream), fresh FIFOs and assembly packet, heartbeat and user
// filter cleared, the link attached (without a log) for packet debugging.
// The record's old FIFOs, packet, log and stream must already be gone.
// Returns: qErrNone; qErrResource when a FIFO, the packet or the debug
// attachment cannot be made.
qErr init(qLink* link, uint32_t linkId, qStream* stream);

// One byte from the module, as the input thread takes it: the sync
// recogniser while syncing, else packet assembly (a byte that breaks the
// framing starts a sync), then, for a complete packet, the user filter, the
// heartbeat answer or the input FIFO. Called on the input thread (and by the
// fuzz target, which feeds bytes without threads).
void receiveByte(qLink* link, uint8_t byte);
// Whether a sync request waits its 2 ms first (the default). The fuzz
// target, which feeds bytes without a module to wait for, turns it off; the
// program never does.
void setSyncPauseForFuzzing(bool pause);

// Starts the threads and queues the link start packet.
// Returns: qErrNone (also when already running); qErrParam for an invalid
// record; qErrResource when a thread cannot be created; the put's result.
qErr start(qLink* link);

// Queues the link stop packet, stops and joins both threads.
// Returns: qErrNone; qErrParam for an invalid record; qErrUnknown when a join
// fails.
qErr stop(qLink* link);

// The link's running threads, as seen at one moment.
struct OwnThreads {
    bool input = false;
    bool output = false;
    pthread_t inputThread{};
    pthread_t outputThread{};
};
// The link's running threads now; the caller keeps start and stop away
// (the table mutex with no reset under way, or the link's own thread).
OwnThreads ownThreads(const qLink* link);
// Whether the calling thread is one of these.
bool isCallerOneOf(const OwnThreads& threads);
// Whether the calling thread is one of the link's running threads.
bool isOwnThread(const qLink* link);

// Releases the record's FIFOs, assembly packet, packet log (detaching the
// link from packet debugging) and stream; the threads must be stopped.
// Returns the result of destroying the output FIFO.
qErr releaseResources(qLink* link);

// The list mutex guards membership of the link table's list; the list is
// changed only with both it and the table mutex held. It is held only for
// short look-ups, never while a thread is joined or a stream opened.
std::mutex& listMutex();
// The link with this id; the caller holds the list or the table mutex.
qLink* findLocked(uint32_t linkId);

// Runs fn(link) under the list mutex for the link with this id; returns
// false (and does not call fn) when there is none. fn must be quick.
template <typename F> bool withLink(uint32_t linkId, F fn) {
    std::lock_guard<std::mutex> hold(listMutex());
    qLink* link = findLocked(linkId);
    if (!link)
        return false;
    fn(link);
    return true;
}

} // namespace ks_link
