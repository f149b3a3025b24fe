// The USB driver's record and its libusb transfers, shared by the driver's
// units: ksusb_driver.cpp (finding, opening and closing a module, the kernel
// node) and ksusb_libusb.cpp (bulk transfers, the reader's wait). Not part
// of the library's interface.
#pragma once

#include <libusb.h>
#include <stddef.h>
#include <stdint.h>

#include <atomic>

#include "ksusb.h"
#include "qError.h"

// The IN transfer of a libusb record.
enum ksusbInState : int {
    ksusbInIdle = 0,    // not submitted
    ksusbInPending = 1, // submitted, waiting for bytes
    ksusbInDone = 2,    // completed (callback ran), not yet looked at by the reader
};

constexpr size_t ksusbOutBufferSize = 64; // one OUT chunk goes out of a zeroed buffer this size

struct ksusb {
    int32_t driverType;
    char serial[64];
    int32_t fd; // kernel node; 0 when closed
    libusb_context* ctx;
    libusb_device_handle* handle;
    std::atomic<int32_t> state; // written by reader and writer alike
    uint8_t interfaceNumber;
    uint8_t outEndpoint;
    uint8_t inEndpoint;
    uint8_t rx[ksusbReadSize]; // the IN transfer's buffer; unread bytes from readPos
    uint32_t available;
    uint8_t* readPos;
    // libusb: one IN transfer, kept submitted while the reader waits. Its
    // callback may run on whichever thread handles libusb's events (the
    // reader, or the writer waiting for its OUT transfer): it only sets
    // inState and inCompleted (libusb's own wake-up flag); the reader alone
    // looks at the result, after seeing ksusbInDone.
    libusb_transfer* inTransfer;
    std::atomic<int> inState;
    int inCompleted;
    // One OUT transfer, reused for every chunk (the writer's alone), and
    // the zeroed buffer each chunk is copied into.
    libusb_transfer* outTransfer;
    uint8_t tx[ksusbOutBufferSize];
    int outCompleted;
    // Completion callbacks run so far (IN and OUT), on any thread: a round of
    // event handling that ends early without one found nothing to do.
    std::atomic<unsigned> completions;
    // The reader's: a round of event handling has ended early with nothing
    // done (the bus's descriptor says "ready" when it is not).
    bool idleRoundsSeen;
    uint16_t tag;
};

// The libusb side of a record (ksusb_libusb.cpp).
namespace ksusb_libusb {

// Makes the context and both transfers; false (with whatever was made
// released) when one cannot be made.
bool init(ksusb* u);
// Cancels a submitted IN transfer and waits (bounded) for its callback.
void cancelIn(ksusb* u);
// Frees what init made; the device must be closed.
void release(ksusb* u);

qErr write(ksusb* u, const uint8_t* data, size_t len);
qErr read(ksusb* u, uint8_t* dst, size_t max, size_t* got);
qErr get(ksusb* u, uint8_t* byte);
qErr wait(ksusb* u, int wakeFd, unsigned long msTimeout);

} // namespace ksusb_libusb
