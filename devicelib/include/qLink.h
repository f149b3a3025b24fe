// The link engine: one live packet connection ("link") to a module over a
// byte stream (USB, TCP/IP, a serial line, or a stream handed in).
//
// Each running link has an input thread, which assembles packets from the
// received bytes, keeps the byte stream aligned with the module (the sync
// exchange), answers the module's heartbeats and queues every other packet on
// the link's input FIFO, and an output thread, which writes the packets
// queued on the link's output FIFO, one per millisecond at most. Callers never
// touch the stream: they put and take packets by link id.
//
// Wire format on every transport: address byte, length byte (0..28), data.
// Host-to-module packets carry the destination, module-to-host packets the
// source address; a module address is non-zero and even.
//
// Links live in one process-wide table and are shared: creating a link for a
// module that already has one returns the same id and counts one more user;
// the destroy that brings the count to 0 stops the threads and closes the
// stream.
//
// Threads: every function may be called from any thread except that a link
// must not be stopped, reset or destroyed from its own input or output thread
// (for example from a user packet filter), and a user packet filter must not
// call qLink_Create*, qLink_Destroy, qLink_Reset or
// qLink_InstallUserPacketFilter (it may queue packets with qLink_PutPacket).
#pragma once

#include <stdint.h>

#include "qDiscovery.h"
#include "qError.h"
#include "qPacket.h"
#include "qPacketFifo.h"
#include "qStream.h"

// Link status values (qLink_GetStatus).
enum {
    qLinkStatusStopped = 0,  // initialised with a stream, threads not running
    qLinkStatusStarting = 1, // threads being created
    qLinkStatusRunning = 2,  // aligned, packets flow
    qLinkStatusStopping = 3,
    qLinkStatusSyncing = 4,    // sync request sent, waiting for the answer
    qLinkStatusNoStream = 5,   // no stream; also the status of an unknown id
    qLinkStatusIOError = 6,    // the last stream read or packet write failed
    qLinkStatusPacketError = 8 // a complete packet could not be queued
};

// Special addresses and bytes of the link protocol.
#define qLINK_ENDPOINT_ADDRESS 0xAF // link start and stop packets go here
#define qLINK_SYNC_BYTE 0xAD
#define qLINK_SYNC_REQUEST_SIZE 12
#define qLINK_RESET_ATTEMPTS 20
#define qLINK_IDENTIFIER_STREAM 0xFFFFFFFFu

// Filters over received packets (the FIFO's filter type, bool(const qPacket*,
// const void* ref)): return true to select the packet. They run with the
// FIFO's lock held: be quick and do not call back into the link.
typedef qPacketFilter qLinkPacketFilter;

// The user packet filter runs on the input thread for every complete received
// packet before anything else is done with it; returning true consumes it.
typedef bool (*qLinkUserPacketFilter)(const qPacket* packet, void* ref);

// Opens the link to the module that spec names, over its transport, or
// shares the link that exists for the same identifier (the serial number for
// USB and serial links, the IPv4 address for TCP/IP links, whatever their
// transport): its use count grows and its id is returned. The stream is
// opened without holding up other links' creation, destruction or reset.
// *linkId is the new or shared id, 0 on failure.
// Returns: qErrNone; qErrParam for null pointers, a transport that cannot be
// opened from a specifier (linkTypeNone, unknown), or a specifier its
// transport cannot open (USB serial number 0, TCP port 0 or above 65535,
// an unsupported baud rate or an empty port name); the cause of a failed
// open: qErrNotFound (no such module on the bus, no such serial port or
// driver node), qErrPermission (the device, node or port may not be opened
// by this user), qErrBusy (claimed or locked by another program),
// qErrConnection (TCP connection refused, reset or unreachable), qErrTimeout
// (no TCP answer within the connect deadline), qErrConfiguration (a USB
// device without the module's interface), qErrIO (another failure of the
// device), qErrCancel (a TCP connect given up on qStream_InterruptOpens);
// qErrResource or qErrMemory when the link cannot be made or started.
qErr qLink_Open(const linkSpec* spec, uint32_t* linkId);

// The creators of one transport, as qLink_Open with a specifier made of
// their arguments. Each returns the link id, or 0 on failure (qLink_Open
// tells the cause).
//
// USB link to the module with this serial number.
uint32_t qLink_CreateUSB(uint32_t serialNumber);
// TCP/IP link; address is an IPv4 address in network byte order, port in host
// byte order.
uint32_t qLink_CreateTCPIP(uint32_t address, uint16_t port);
// Serial link at 8N1. baudRate must be one of 2400, 4800, 9600, 19200, 38400,
// 57600, 115200, 230400; any other rate returns 0 without opening the port.
uint32_t qLink_CreateSerial(uint32_t serialNumber, const char* portName, uint32_t baudRate);
// Always a new link over a stream made by the caller; the link owns the
// stream from here on, also when creation fails (it is destroyed then).
// A null or invalid stream returns 0.
uint32_t qLink_Create(qStream* stream);

// Drops one user of the link; the last one stops the link (the link stop
// packet AF 01 00 is sent before the threads end) and frees it. *linkId is
// set to 0 in every case but qErrBusy.
// Returns: qErrNone; qErrParam for a null pointer or an unknown id; qErrBusy
// (nothing changed) when the last user's destroy is called on the link's own
// input or output thread, which cannot wait for itself; the result of
// destroying the output FIFO otherwise.
qErr qLink_Destroy(uint32_t* linkId);

// Stops the link, re-opens its transport (up to 20 attempts, 100 ms apart)
// with fresh FIFOs, and starts it again. Packets queued before are lost and
// packet logging and the user packet filter are cleared. Only USB and TCP/IP
// links can be reset; other links are restarted without a stream (status 6).
// The attempts run without holding up other links; the last destroy of the
// link meanwhile, and qStream_InterruptOpens, end them at once, the open
// under way included (a TCP connect).
// Returns: qErrNone; qErrBusy when the link table is in use by another
// thread at that moment, or the link is being reset already (try again);
// qErrParam for an unknown id or a link whose transport cannot be
// re-opened; the cause of the last failed open (qErrNotFound, qErrBusy,
// qErrConnection, qErrTimeout...), or qErrCancel when the attempts were ended,
// when the stream could not be re-made (the link runs without it); the
// result of starting otherwise.
qErr qLink_Reset(uint32_t linkId);

// The link status, or qLinkStatusNoStream (5) for an unknown id.
int32_t qLink_GetStatus(uint32_t linkId);

// Queues a copy of the packet for sending. A full output queue (20 packets)
// is waited on for up to 1 s while the output thread sends; what is queued
// is never dropped. A write that fails on the output thread loses its packet
// and sets qLinkStatusIOError at once.
// Returns: qErrNone; qErrParam for an unknown id or an invalid packet;
// qErrOverrun when the queue stayed full for 1 s (the link is not sending);
// qErrResource or qErrCancel from the output FIFO.
qErr qLink_PutPacket(uint32_t linkId, const qPacket* packet);

// The oldest received packet (caller owns, qPacket_Destroy), or null for an
// unknown id or when there is none.
qPacket* qLink_GetPacket(uint32_t linkId);
// As qLink_GetPacket, waiting up to msTimeout for one.
qPacket* qLink_AwaitPacket(uint32_t linkId, unsigned long msTimeout);
// The oldest received packet that the filter accepts, or null.
qPacket* qLink_GetFirst(uint32_t linkId, qLinkPacketFilter filter, const void* ref);
// Waits up to msTimeout for a received packet that the filter accepts, but
// only while the link is running with status 2: a link that stops, loses
// alignment or fails makes it return null within a few tens of milliseconds.
qPacket* qLink_AwaitFirst(uint32_t linkId, qLinkPacketFilter filter, const void* ref,
                          unsigned long msTimeout);
// Removes the received packets that the filter accepts; returns how many
// (0 for an unknown id).
unsigned long qLink_DrainPackets(uint32_t linkId, qLinkPacketFilter filter, const void* ref);

// Installs the user packet filter, or removes it with a null filter. Once it
// returns, the filter it replaced is no longer running.
// Returns: qErrNone; qErrParam for an unknown id; qErrBusy when the old
// filter kept running for 10 s.
qErr qLink_InstallUserPacketFilter(uint32_t linkId, qLinkUserPacketFilter filter, void* ref);

// Packet logging of a link (qLink_PacketDebug_*) is declared in qPacketDebug.h.
