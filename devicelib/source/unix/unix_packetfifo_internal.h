// Pieces of the packet queue for the link engine's output thread, and
// exposed for the unit tests.
#pragma once

#include <atomic>
#include <ctime>

#include "qPacket.h"

// now + ms, with the nanoseconds carried into the seconds so that tv_nsec
// stays below 1000000000.
struct timespec fifoDeadline(struct timespec now, unsigned long ms);

// Waits without a time-out until a packet is queued, then moves the oldest
// into *out (no memory is allocated) and returns true. Returns false at once,
// or as soon as it is woken, when keepWaiting is false, and when the queue is
// unknown or destroyed. keepWaiting is read under the queue's mutex: whoever
// clears it calls fifoWake afterwards, and the waiter cannot miss that.
// A set stopWaiting (null: none) ends the wait likewise; whoever sets it
// calls fifoWake afterwards.
bool fifoAwaitWhile(unsigned long id, qPacket* out, const std::atomic<bool>& keepWaiting,
                    const std::atomic<bool>* stopWaiting = nullptr);

// Wakes every thread waiting on the queue so that it looks again.
void fifoWake(unsigned long id);

// Appends a copy of p; when the queue is full its oldest packets make room.
// For a queue that its reader may leave unread (the packets a link receives):
// the newest packets are the ones a caller waits for.
// Returns as qPacketFifo_Put, never qErrOverrun.
qErr fifoPutDroppingOldest(unsigned long id, const qPacket* p);
