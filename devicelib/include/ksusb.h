// USB driver of the modules: finds one module by its serial number, opens
// it and moves bytes, either through libusb bulk transfers on the module's
// vendor interface or through the module's kernel driver node
// "/dev/keystrand.%08X" when that driver is installed.
//
// Threads: one record serves one link. Reads (ksusb_get_from_device,
// ksusb_read_from_device, ksusb_wait_for_data) come from one thread and
// writes from another, at the same time; the receive buffer belongs to the
// reader, the state may be set to Failed by either side. Over libusb one IN
// transfer stays submitted while the reader waits; whichever thread handles
// libusb's events completes it. Open, close and destroy must not race with
// reads or writes.
#pragma once

#include <cstddef>
#include <cstdint>

#include "qError.h"

struct ksusb;

// Driver types.
enum ksusbDriver : int {
    ksusbDriverKernel = 0, // kernel driver node
    ksusbDriverLibusb = 1, // libusb-1.0
};

// States of a record.
enum ksusbState : int {
    ksusbStateNone = 0,    // never created
    ksusbStateCreated = 1, // created (the kernel variant stays here while open)
    ksusbStateClosed = 2,  // closed, or an open failed after the device matched
    ksusbStateOpening = 3, // device matched, interface not yet claimed
    ksusbStateReady = 4,   // interface claimed: reads and writes move data
    ksusbStateFailed = 5,  // a transfer failed: qErrIO until closed and reopened
};

// Module identification on the bus.
constexpr uint16_t ksusbVendorId = 0x24FF;
constexpr uint8_t ksusbInterfaceClass = 0xFF;
constexpr uint8_t ksusbInterfaceSubClass = 0x88;
constexpr uint8_t ksusbInterfaceProtocol = 0x10;
constexpr size_t ksusbReadSize = 800; // bytes of one IN transfer
constexpr size_t ksusbChunkSize = 50; // bytes of one OUT transfer

// Whether vendor and product ids are those of a module (vendor 0x24FF,
// product bit 15 clear).
bool ksusb_is_keystrand_id(uint16_t vendorId, uint16_t productId);

// A new record with the given driver type in state Created; the libusb type
// gets a libusb context of its own. Null when out of memory, for an unknown
// type, or when libusb cannot be initialised.
ksusb* ksusb_create_usb(int driverType);

// Closes what is still open, ends the libusb context, frees the record and
// sets *usb to null. qErrParam when usb or *usb is null.
qErr ksusb_destroy(ksusb** usb);

// Whether the kernel driver node of this serial number exists.
bool ksusb_is_kernel_driver_installed(uint32_t serialNumber);

// Opens the module whose serial string equals `serial` ("%08X" text).
// libusb: qErrNone, qErrParam (null arguments), qErrMode (wrong type),
// qErrResource (record never created), qErrBusy (already open here, or the
// interface is claimed elsewhere), qErrNotFound (no such module, or gone
// before its interface was claimed), qErrConfiguration (no vendor interface
// with bulk IN and OUT), qErrPermission (the module, or a module whose
// serial number could not be read, may not be opened by this user),
// qErrUnknown (other claim failures).
// Kernel node: qErrNone, qErrParam, qErrMode, qErrBusy, qErrPermission
// (EACCES, EPERM), qErrNotFound (no node, or no device behind it), qErrIO.
qErr ksusb_open_keystrand_device(ksusb* usb, const char* serial);

// Sends len bytes. libusb: in chunks of at most 50 bytes with at most 100
// attempts in all; qErrNone, qErrParam, qErrMode, qErrConnection (closed),
// qErrNotReady (not yet open), qErrIO (failed now or before), qErrWrite
// (data left after the attempts). Kernel node: qErrNone, qErrParam, qErrMode
// (not open), qErrIO.
qErr ksusb_write_to_device(ksusb* usb, const uint8_t* data, size_t len);

// One received byte, or qErrNotReady when none came (a libusb read waits at
// most 100 ms for a transfer). Also qErrParam, qErrMode, qErrConnection
// (closed), qErrIO (transfer failed; the record is Failed).
qErr ksusb_get_from_device(ksusb* usb, uint8_t* byte);

// Whatever has arrived, up to max bytes, without waiting (over libusb the
// bytes of the last completed IN transfer; the next one is submitted when
// they are all taken). Returns qErrNone (*got at least 1), qErrNotReady,
// qErrParam (null arguments, max 0), qErrMode (node not open), and as
// ksusb_get_from_device qErrConnection and qErrIO.
qErr ksusb_read_from_device(ksusb* usb, uint8_t* dst, size_t max, size_t* got);

// Sleeps until bytes have arrived, wakeFd (-1 for none) is readable, or
// msTimeout ms pass (qSTREAM_WAIT_FOREVER: never). Over libusb it handles
// libusb's events in slices of 20 ms, looking at wakeFd between them (on a
// bus whose descriptor says "ready" with nothing to reap, it sleeps up to
// 5 ms before each slice, woken when a write's event handling completes its
// transfer); a record that is not open returns at once (the read gives its
// error).
// Returns qErrNone, qErrCancel (wakeFd), qErrTimeout, qErrParam, qErrIO.
qErr ksusb_wait_for_data(ksusb* usb, int wakeFd, unsigned long msTimeout);

// Closes the module. libusb: qErrNone, qErrParam, qErrMode (wrong type or
// not open). Kernel node: qErrNone, qErrParam, qErrMode, qErrCancel (close
// failed).
qErr ksusb_close_keystrand_device(ksusb* usb);

// State of a record (ksusbStateNone for null).
int ksusb_state(const ksusb* usb);
