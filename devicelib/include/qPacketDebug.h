// Packet log: a byte ring holding whole records of a link's packet traffic
// (sent, received) and of text added by the caller, read out oldest first,
// usually by a logger thread (qLogger.h) that writes them to a file.
//
// Record layout in the ring: type (1 byte), data length (1 byte), data.
// For packets the data is the packet as on the wire: address byte, length
// byte, data bytes. A full ring drops its oldest records, whole, to make room;
// one byte always stays free so that full and empty differ.
#pragma once

#include <cstdint>

#include "qError.h"
#include "qPacket.h"

// Record types.
#define qPACKETLOG_SENT 1     // packet written to the module
#define qPACKETLOG_RECEIVED 2 // packet received from the module
#define qPACKETLOG_TEXT 3     // text added by the caller

// Ring sizes of a link's packet log.
#define qPACKETLOG_DEFAULT_SIZE 65536u
#define qPACKETLOG_MAX_SIZE 67108864u
// Longest data of one record (the length is one byte).
#define qPACKETLOG_MAX_RECORD 255u

struct qPacketLog;

// ---- The ring itself. It has no lock of its own: a link's log is only used
// ---- under that link's packet log mutex (the qLink_PacketDebug_* functions
// ---- and qPacketDebug_RecordPacket take it).

// A new, empty, disabled log with a ring of size bytes; null when memory is short.
qPacketLog* qPacketLog_Create(uint32_t size);

// Adds one record, dropping the oldest records as needed.
// Returns: qErrNone; qErrParam (null log, or null data with length > 0);
// qErrOverrun (length above 255, or length + 2 bytes can never fit the ring).
qErr qPacketLog_Put(qPacketLog* log, uint8_t type, uint32_t length, const uint8_t* data);

// Takes out the oldest record. On entry *length is the capacity of data; on
// return *type and *length describe the record.
// Returns: qErrNone (copied and removed); qErrParam (a null argument);
// qErrNotFound (empty); qErrOverrun (data too small: the record stays, and
// *length tells the size needed).
qErr qPacketLog_Get(qPacketLog* log, int32_t* type, uint32_t* length, uint8_t* data);

// Whether the link engine should record packets (text records are taken
// regardless). A null log is disabled.
bool qPacketLog_IsEnabled(const qPacketLog* log);
void qPacketLog_SetEnabled(qPacketLog* log, bool enabled);

// Frees the log and sets *log to null; null is accepted.
// Returns: qErrNone.
qErr qPacketLog_Destroy(qPacketLog** log);

// ---- Hooks for the link engine. It attaches each link when the link record
// ---- is initialised, detaches it when the link is destroyed or reset (which
// ---- drops its log), and hands every packet to qPacketDebug_RecordPacket:
// ---- the input thread each complete received packet before anything else
// ---- sees it, the output thread each packet after writing it (not while
// ---- stopping). All three are safe from any thread.

// Makes linkId known to the qLink_PacketDebug_* functions, without a log. The
// record address names the link's packet log mutex ("LOG_SEMA_%p").
// Returns: qErrNone; qErrParam (linkId 0); qErrDuplicate (already attached);
// qErrResource (no mutex or memory).
qErr qPacketDebug_AttachLink(uint32_t linkId, const void* linkRecord);

// Forgets linkId and releases its log once no call is using it any more.
// Returns: qErrNone; qErrNotFound (not attached).
qErr qPacketDebug_DetachLink(uint32_t linkId);

// Records p as qPACKETLOG_SENT or qPACKETLOG_RECEIVED when the link has a
// log and it is enabled; otherwise does nothing.
// Returns: qErrNone (recorded or not wanted); qErrParam (invalid packet,
// unknown type); the qPacketLog_Put error.
qErr qPacketDebug_RecordPacket(uint32_t linkId, uint8_t type, const qPacket* p);

// ---- Packet debugging of a link. An unknown (unattached) link id gives
// ---- qErrParam.

// Ring size for the log when it is created: 0 or negative for the default.
// Returns: qErrNone; qErrParam (unknown link, size above qPACKETLOG_MAX_SIZE);
// qErrBusy (the log exists already; its size cannot change).
qErr qLink_PacketDebug_SetLogSize(uint32_t linkId, int32_t size);

// Creates the log on first use and starts recording packets.
// Returns: qErrNone; qErrParam (unknown link); qErrResource (no memory for
// the log).
qErr qLink_PacketDebug_Enable(uint32_t linkId);

// Stops recording packets; the log and its records stay readable.
// Returns: qErrNone; qErrParam (unknown link); qErrNotReady (no log).
qErr qLink_PacketDebug_Disable(uint32_t linkId);

// qPacketLog_Get on the link's log.
// Returns: qErrNotReady (no log); qErrParam (unknown link); else as
// qPacketLog_Get.
qErr qLink_PacketDebug_Read(uint32_t linkId, int32_t* type, uint32_t* length, uint8_t* data);

// qPacketLog_Put on the link's log, e.g. a qPACKETLOG_TEXT record.
// Returns: qErrNotReady (no log); qErrParam (unknown link); else as
// qPacketLog_Put.
qErr qLink_PacketDebug_Write(uint32_t linkId, uint8_t type, uint32_t length, const uint8_t* data);
