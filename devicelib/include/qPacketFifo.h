// Packet queues named by process-wide ids. A link's input thread puts the
// packets that arrive; any thread takes them out, oldest first or the first
// one a filter accepts, with or without waiting. The queue keeps its own
// copies and hands out new packets that the caller releases with
// qPacket_Destroy.
//
// Locking: one registry mutex guards the id table (held only to look up,
// add or remove an entry); each queue has its own mutex and condition,
// held for every change of that queue and while filters run. The two are
// never held together. A queue stays in memory while any call still uses
// it, so destroying it while other threads are inside Put, Get or Await is
// safe: those calls fail or return null.
#pragma once

#include "qError.h"
#include "qPacket.h"

// Packets a queue holds; a put that leaves more queued empties it entirely.
#define qPACKETFIFO_CAPACITY 20

// Decides whether a queued packet is the one wanted. Called with the queue's
// mutex held: it must be quick and must not call into the queue.
typedef bool (*qPacketFilter)(const qPacket* p, const void* ref);

// Creates an empty queue and returns its id (ids start at 1 and are never
// reused); 0 when out of memory.
unsigned long qPacketFifo_Create();

// Discards the queued packets, wakes every waiter (they return null),
// releases the queue and sets *id to 0.
// Returns: qErrNone; qErrParam (null id); qErrNotFound (no queue with that
// id; *id is left as it was).
qErr qPacketFifo_Destroy(unsigned long* id);

// Number of queued packets; 0 for an unknown id.
long qPacketFifo_GetLength(unsigned long id);

// Appends a copy of p and wakes a waiter. A queue that holds
// qPACKETFIFO_CAPACITY packets refuses the new one and keeps what it holds.
// Returns: qErrNone; qErrParam (unknown id or invalid packet); qErrOverrun
// (full: nothing changed); qErrResource (no memory for the entry);
// qErrCancel (the queue is being destroyed).
qErr qPacketFifo_Put(unsigned long id, const qPacket* p);

// As qPacketFifo_Put, waiting up to msTimeout milliseconds for room in a
// full queue (a take or drain makes room); qErrOverrun when it stayed full.
qErr qPacketFifo_PutWithin(unsigned long id, const qPacket* p, unsigned long msTimeout);

// Removes and returns the oldest packet; null when the id is unknown, the
// queue is empty or being destroyed, or memory is short (nothing is lost).
qPacket* qPacketFifo_Get(unsigned long id);

// Like qPacketFifo_Get, waiting up to msTimeout milliseconds for a packet.
qPacket* qPacketFifo_Await(unsigned long id, unsigned long msTimeout);

// Removes and returns the oldest packet that filter accepts; the others stay
// queued in order. Null when none matches, filter is null, or in the cases
// of qPacketFifo_Get.
qPacket* qPacketFifo_GetFirst(unsigned long id, qPacketFilter filter, const void* ref);

// Like qPacketFifo_GetFirst, waiting up to msTimeout milliseconds in all
// for a matching packet to arrive.
qPacket* qPacketFifo_AwaitFirst(unsigned long id, qPacketFilter filter, const void* ref,
                                unsigned long msTimeout);

// Removes and frees every queued packet that filter accepts; returns how
// many (0 for an unknown id, an empty queue or a null filter).
long qPacketFifo_DrainPackets(unsigned long id, qPacketFilter filter, const void* ref);
