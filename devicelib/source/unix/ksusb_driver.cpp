// USB driver of the modules: libusb bulk transfers on the vendor interface,
// or the module's kernel driver node.
#include "ksusb.h"

#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "ksusb_internal.h"
#include "qFile.h"
#include "qStream.h"
#include "qTime.h"
#include "unix_streampoll.h"

namespace {

constexpr uint16_t kKsusbTag = 0x05B5;
constexpr unsigned kWriteTimeoutMs = 50;
constexpr unsigned kReadTimeoutMs = 100;
constexpr int kWriteAttempts = 100;
constexpr int kNodeWrites = 1000;
// A libusb wait handles events in slices this long and looks at the wake
// descriptor between them: a stop is seen within this time.
constexpr unsigned long kWaitSliceMs = 20;
constexpr int kCancelRounds = 100; // x 10 ms: the most a close waits for the IN transfer

// The IN transfer of a libusb record.
enum InState : int {
    kInIdle = 0,    // not submitted
    kInPending = 1, // submitted, waiting for bytes
    kInDone = 2,    // completed (callback ran), not yet looked at by the reader
};

} // namespace

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
    // reader, or the writer inside a synchronous write): it only sets
    // inState (release) and inCompleted (libusb's own wake-up flag); the
    // reader alone looks at the result, after seeing kInDone (acquire).
    libusb_transfer* inTransfer;
    std::atomic<int> inState;
    int inCompleted;
    uint16_t tag;
};

namespace {

std::mutex g_nodeDirLock;
std::string g_nodeDir = "/dev";

std::string sNodePath(const char* serial) {
    std::lock_guard<std::mutex> lock(g_nodeDirLock);
    char path[4096];
    std::snprintf(path, sizeof path, "%s/keystrand.%s", g_nodeDir.c_str(), serial);
    return path;
}

bool sValid(const ksusb* u) {
    return u && u->tag == kKsusbTag;
}

// Finds the vendor interface of the first configuration and its endpoints.
// A later matching setting overwrites an earlier one.
bool sFindEndpoints(ksusb* u) {
    libusb_config_descriptor* cfg = nullptr;
    if (libusb_get_config_descriptor(libusb_get_device(u->handle), 0, &cfg) != 0 || !cfg)
        return false;
    bool haveInterface = false, haveIn = false, haveOut = false;
    for (int i = 0; i < cfg->bNumInterfaces; ++i) {
        const libusb_interface& itf = cfg->interface[i];
        for (int a = 0; a < itf.num_altsetting; ++a) {
            const libusb_interface_descriptor& alt = itf.altsetting[a];
            if (alt.bInterfaceClass != ksusbInterfaceClass ||
                alt.bInterfaceSubClass != ksusbInterfaceSubClass ||
                alt.bInterfaceProtocol != ksusbInterfaceProtocol)
                continue;
            haveInterface = true;
            u->interfaceNumber = alt.bInterfaceNumber;
            for (int e = 0; e < alt.bNumEndpoints; ++e) {
                const libusb_endpoint_descriptor& ep = alt.endpoint[e];
                if (!(ep.bmAttributes & 0x02)) // bulk or interrupt
                    continue;
                if (ep.bEndpointAddress & 0x80) {
                    u->inEndpoint = ep.bEndpointAddress;
                    haveIn = true;
                } else {
                    u->outEndpoint = ep.bEndpointAddress;
                    haveOut = true;
                }
            }
        }
    }
    libusb_free_config_descriptor(cfg);
    return haveInterface && haveIn && haveOut;
}

// Opens a device if it is a module with this serial string; the handle is
// returned open on a match and closed otherwise.
libusb_device_handle* sOpenIfSerial(libusb_device* dev, const char* serial) {
    libusb_device_descriptor dd;
    if (libusb_get_device_descriptor(dev, &dd) != 0 ||
        !ksusb_is_keystrand_id(dd.idVendor, dd.idProduct))
        return nullptr;
    libusb_device_handle* h = nullptr;
    if (libusb_open(dev, &h) != 0 || !h)
        return nullptr;
    unsigned char text[50] = {0};
    if (dd.iSerialNumber != 0)
        libusb_get_string_descriptor_ascii(h, dd.iSerialNumber, text, sizeof text - 1);
    if (std::strcmp(reinterpret_cast<const char*>(text), serial) == 0)
        return h;
    libusb_close(h);
    return nullptr;
}

qErr sClaimError(int r) {
    if (r == LIBUSB_ERROR_BUSY || r == LIBUSB_ERROR_NO_DEVICE)
        return qErrBusy;
    if (r == LIBUSB_ERROR_ACCESS)
        return qErrPermission;
    return qErrUnknown;
}

qErr sOpenLibusb(ksusb* u, const char* serial) {
    if (u->state == ksusbStateNone)
        return qErrResource;
    if (u->handle)
        return qErrBusy; // already open through this record
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(u->ctx, &list);
    qErr result = qErrNotFound;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_handle* h = sOpenIfSerial(list[i], serial);
        if (!h)
            continue;
        std::snprintf(u->serial, sizeof u->serial, "%s", serial);
        u->handle = h;
        u->state = ksusbStateOpening;
        if (!sFindEndpoints(u)) {
            result = qErrConfiguration;
        } else {
            int r = libusb_claim_interface(h, u->interfaceNumber);
            result = r == 0 ? qErrNone : sClaimError(r);
        }
        if (result == qErrNone) {
            u->state = ksusbStateReady;
            u->available = 0;
            u->readPos = u->rx;
        } else {
            libusb_close(h);
            u->handle = nullptr;
            u->interfaceNumber = u->inEndpoint = u->outEndpoint = 0;
            u->state = ksusbStateClosed;
        }
        break;
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    return result;
}

qErr sOpenNode(ksusb* u, const char* serial) {
    if (u->fd > 0)
        return qErrBusy;
    std::snprintf(u->serial, sizeof u->serial, "%s", serial);
    const std::string path = sNodePath(u->serial);
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (fd < 0)
        return errno == EBUSY ? qErrBusy : qErrIO;
    if (fd == 0) {
        // 0 means "closed" in the record: move the node off descriptor 0.
        int moved = fcntl(fd, F_DUPFD_CLOEXEC, 3);
        close(fd);
        if (moved < 0)
            return qErrIO;
        fd = moved;
    }
    u->fd = fd;
    return qErrNone;
}

// The state check shared by libusb reads and writes.
qErr sStateError(int32_t state) {
    if (state == ksusbStateClosed)
        return qErrConnection;
    if (state == ksusbStateCreated || state == ksusbStateOpening)
        return qErrNotReady;
    return state == ksusbStateReady ? qErrNone : qErrIO;
}

qErr sWriteLibusb(ksusb* u, const uint8_t* data, size_t len) {
    qErr e = sStateError(u->state);
    if (e != qErrNone)
        return e;
    qErr result = qErrNone;
    size_t done = 0; // bytes of data acknowledged by the device
    for (int attempt = 0; attempt < kWriteAttempts && done < len; ++attempt) {
        uint8_t chunk[64] = {0};
        const size_t n = len - done < ksusbChunkSize ? len - done : ksusbChunkSize;
        std::memcpy(chunk, data + done, n);
        int sent = 0;
        int r = libusb_bulk_transfer(u->handle, u->outEndpoint, chunk, static_cast<int>(n), &sent,
                                     kWriteTimeoutMs);
        if (r == 0 && static_cast<size_t>(sent) >= n) {
            done += n;
            continue;
        }
        if (r == LIBUSB_ERROR_PIPE) {
            if (libusb_clear_halt(u->handle, u->outEndpoint) != 0) {
                u->state = ksusbStateFailed;
                result = qErrIO;
            }
            continue; // the chunk again, next attempt
        }
        // Part of the chunk may have gone out: send only the rest, once more.
        // (Resending bytes the device took would put them twice on the wire.)
        const size_t part = sent > 0 ? static_cast<size_t>(sent) : 0;
        int sent2 = 0;
        r = libusb_bulk_transfer(u->handle, u->outEndpoint, chunk + part,
                                 static_cast<int>(n - part), &sent2, kWriteTimeoutMs);
        if (r == 0 && part + static_cast<size_t>(sent2) >= n) {
            done += n;
            continue;
        }
        done += part + (sent2 > 0 ? static_cast<size_t>(sent2) : 0);
        u->state = ksusbStateFailed;
        result = qErrIO;
    }
    return done < len ? qErrWrite : result;
}

void LIBUSB_CALL sInDone(libusb_transfer* t) {
    auto* u = static_cast<ksusb*>(t->user_data);
    u->inCompleted = 1;
    u->inState.store(kInDone, std::memory_order_release);
}

// Takes the result of a completed IN transfer: its bytes become readable, a
// stalled endpoint is cleared, a vanished or failing device fails the record.
void sHarvestIn(ksusb* u) {
    if (u->inState.load(std::memory_order_acquire) != kInDone)
        return;
    u->inState.store(kInIdle);
    libusb_transfer* t = u->inTransfer;
    switch (t->status) {
    case LIBUSB_TRANSFER_COMPLETED:
    case LIBUSB_TRANSFER_TIMED_OUT:
        if (t->actual_length > 0) {
            u->available = static_cast<uint32_t>(t->actual_length);
            u->readPos = u->rx;
        }
        break;
    case LIBUSB_TRANSFER_STALL:
        libusb_clear_halt(u->handle, u->inEndpoint);
        break;
    case LIBUSB_TRANSFER_CANCELLED:
        break;
    default: // no device, error, overflow
        u->state = ksusbStateFailed;
        break;
    }
}

// Submits the IN transfer when none is out and no byte is left unread.
void sSubmitIn(ksusb* u) {
    if (u->inState.load() != kInIdle || u->available != 0 || u->state != ksusbStateReady)
        return;
    libusb_fill_bulk_transfer(u->inTransfer, u->handle, u->inEndpoint, u->rx,
                              static_cast<int>(sizeof u->rx), sInDone, u, 0);
    u->inCompleted = 0;
    u->inState.store(kInPending);
    if (libusb_submit_transfer(u->inTransfer) != 0) {
        u->inState.store(kInIdle);
        u->state = ksusbStateFailed;
    }
}

// Cancels a submitted IN transfer and handles events until its callback has
// run (bounded), so that the transfer can be freed or the device closed.
void sCancelIn(ksusb* u) {
    if (!u->inTransfer || u->inState.load() != kInPending)
        return;
    libusb_cancel_transfer(u->inTransfer);
    for (int i = 0; i < kCancelRounds && u->inState.load() == kInPending; ++i) {
        timeval tv = {0, 10000};
        libusb_handle_events_timeout_completed(u->ctx, &tv, &u->inCompleted);
    }
    u->inState.store(kInIdle);
}

qErr sReadLibusb(ksusb* u, uint8_t* dst, size_t max, size_t* got) {
    if (u->available == 0) {
        qErr e = sStateError(u->state);
        if (e != qErrNone)
            return e;
        sHarvestIn(u);
        if (u->available == 0) {
            sSubmitIn(u);
            return u->state == ksusbStateFailed ? qErrIO : qErrNotReady;
        }
    }
    const size_t n = u->available < max ? u->available : max;
    std::memcpy(dst, u->readPos, n);
    u->readPos += n;
    u->available -= static_cast<uint32_t>(n);
    *got = n;
    if (u->available == 0)
        sSubmitIn(u); // the next bytes are on their way while these are handled
    return qErrNone;
}

// Handles libusb's events until the IN transfer completes, wakeFd is readable
// or msTimeout passes. A record that is not ready has nothing to wait for:
// the read reports its state at once.
qErr sWaitLibusb(ksusb* u, int wakeFd, unsigned long msTimeout) {
    if (u->available > 0 || u->state != ksusbStateReady)
        return qErrNone;
    sSubmitIn(u);
    const unsigned long start = qTime_GetMSTicks();
    for (;;) {
        if (u->inState.load(std::memory_order_acquire) != kInPending)
            return qErrNone;
        if (unixStreamPoll(-1, -1, wakeFd, 0) == qErrCancel)
            return qErrCancel;
        // One round of event handling may end early (any event ends it):
        // the time is taken from the clock.
        const unsigned long waited = qTime_GetMSTicks() - start;
        if (msTimeout != qSTREAM_WAIT_FOREVER && waited >= msTimeout)
            return qErrTimeout;
        unsigned long slice = kWaitSliceMs;
        if (msTimeout != qSTREAM_WAIT_FOREVER && msTimeout - waited < slice)
            slice = msTimeout - waited;
        timeval tv = {0, static_cast<suseconds_t>(slice * 1000)};
        libusb_handle_events_timeout_completed(u->ctx, &tv, &u->inCompleted);
    }
}

// One byte: what the IN transfer brought, else a wait of at most 100 ms.
qErr sGetLibusb(ksusb* u, uint8_t* byte) {
    size_t got = 0;
    qErr e = sReadLibusb(u, byte, 1, &got);
    if (e != qErrNotReady)
        return e;
    (void)sWaitLibusb(u, -1, kReadTimeoutMs);
    return sReadLibusb(u, byte, 1, &got);
}

qErr sCloseLibusb(ksusb* u) {
    if (!u->handle)
        return qErrMode;
    sCancelIn(u);
    int r = libusb_release_interface(u->handle, u->interfaceNumber);
    if (r != 0)
        std::printf("error release %d\n", r);
    libusb_close(u->handle);
    u->handle = nullptr;
    u->interfaceNumber = u->inEndpoint = u->outEndpoint = 0;
    u->available = 0; // nothing of a closed device is served later
    u->readPos = u->rx;
    u->state = ksusbStateClosed;
    return qErrNone;
}

qErr sWriteNode(ksusb* u, const uint8_t* data, size_t len) {
    if (u->fd <= 0)
        return qErrMode;
    size_t done = 0;
    for (int i = 0; i < kNodeWrites && done < len; ++i) {
        ssize_t n = write(u->fd, data + done, len - done);
        if (n < 0)
            return qErrIO;
        done += static_cast<size_t>(n);
    }
    return done < len ? qErrIO : qErrNone;
}

qErr sGetNode(ksusb* u, uint8_t* byte) {
    if (u->fd <= 0)
        return qErrMode;
    ssize_t n = read(u->fd, byte, 1);
    if (n == 1)
        return qErrNone;
    if (n == 0 || errno == EFAULT)
        return qErrNotReady;
    return qErrIO;
}

qErr sReadNode(ksusb* u, uint8_t* dst, size_t max, size_t* got) {
    if (u->fd <= 0)
        return qErrMode;
    ssize_t n = read(u->fd, dst, max);
    if (n > 0) {
        *got = static_cast<size_t>(n);
        return qErrNone;
    }
    if (n == 0 || errno == EFAULT || errno == EAGAIN || errno == EINTR)
        return qErrNotReady;
    return qErrIO;
}

qErr sCloseNode(ksusb* u) {
    if (u->fd <= 0)
        return qErrNone;
    if (close(u->fd) != 0)
        return qErrCancel;
    u->fd = 0;
    u->state = ksusbStateClosed;
    return qErrNone;
}

} // namespace

void ksusb_set_node_directory(const char* dir) {
    std::lock_guard<std::mutex> lock(g_nodeDirLock);
    g_nodeDir = dir ? dir : "/dev";
}

bool ksusb_is_keystrand_id(uint16_t vendorId, uint16_t productId) {
    return vendorId == ksusbVendorId && (productId & 0x8000) == 0;
}

ksusb* ksusb_create_usb(int driverType) {
    if (driverType != ksusbDriverKernel && driverType != ksusbDriverLibusb)
        return nullptr;
    auto* u = new (std::nothrow) ksusb;
    if (!u)
        return nullptr;
    u->driverType = driverType;
    std::memset(u->serial, 0, sizeof u->serial);
    u->fd = 0;
    u->ctx = nullptr;
    u->handle = nullptr;
    u->state = ksusbStateCreated;
    u->interfaceNumber = u->outEndpoint = u->inEndpoint = 0;
    std::memset(u->rx, 0, sizeof u->rx);
    u->available = 0;
    u->readPos = u->rx;
    u->inTransfer = nullptr;
    u->inState.store(kInIdle);
    u->inCompleted = 0;
    u->tag = kKsusbTag;
    if (driverType == ksusbDriverLibusb &&
        (libusb_init(&u->ctx) != 0 || !(u->inTransfer = libusb_alloc_transfer(0)))) {
        if (u->ctx)
            libusb_exit(u->ctx);
        u->tag = 0;
        delete u;
        return nullptr;
    }
    return u;
}

qErr ksusb_destroy(ksusb** usb) {
    if (!usb || !*usb)
        return qErrParam;
    ksusb* u = *usb;
    *usb = nullptr;
    if (!sValid(u))
        return qErrParam;
    if (u->handle) {
        sCancelIn(u);
        libusb_close(u->handle);
    }
    if (u->inTransfer)
        libusb_free_transfer(u->inTransfer);
    if (u->ctx)
        libusb_exit(u->ctx);
    if (u->fd > 0)
        close(u->fd);
    u->tag = 0;
    delete u;
    return qErrNone;
}

bool ksusb_is_kernel_driver_installed(uint32_t serialNumber) {
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", serialNumber);
    return qFile_Exists(sNodePath(serial).c_str());
}

qErr ksusb_open_keystrand_device(ksusb* usb, const char* serial) {
    if (!sValid(usb) || !serial)
        return qErrParam;
    return usb->driverType == ksusbDriverLibusb ? sOpenLibusb(usb, serial) : sOpenNode(usb, serial);
}

qErr ksusb_write_to_device(ksusb* usb, const uint8_t* data, size_t len) {
    if (!sValid(usb) || (!data && len))
        return qErrParam;
    return usb->driverType == ksusbDriverLibusb ? sWriteLibusb(usb, data, len)
                                                : sWriteNode(usb, data, len);
}

qErr ksusb_get_from_device(ksusb* usb, uint8_t* byte) {
    if (!sValid(usb) || !byte)
        return qErrParam;
    return usb->driverType == ksusbDriverLibusb ? sGetLibusb(usb, byte) : sGetNode(usb, byte);
}

qErr ksusb_read_from_device(ksusb* usb, uint8_t* dst, size_t max, size_t* got) {
    if (got)
        *got = 0;
    if (!sValid(usb) || !dst || !got || max == 0)
        return qErrParam;
    return usb->driverType == ksusbDriverLibusb ? sReadLibusb(usb, dst, max, got)
                                                : sReadNode(usb, dst, max, got);
}

qErr ksusb_wait_for_data(ksusb* usb, int wakeFd, unsigned long msTimeout) {
    if (!sValid(usb))
        return qErrParam;
    if (usb->driverType == ksusbDriverLibusb)
        return sWaitLibusb(usb, wakeFd, msTimeout);
    if (usb->fd <= 0)
        return qErrNone; // the read reports qErrMode
    return unixStreamPoll(usb->fd, -1, wakeFd, msTimeout);
}

qErr ksusb_close_keystrand_device(ksusb* usb) {
    if (!sValid(usb))
        return qErrParam;
    return usb->driverType == ksusbDriverLibusb ? sCloseLibusb(usb) : sCloseNode(usb);
}

int ksusb_state(const ksusb* usb) {
    return sValid(usb) ? usb->state.load() : ksusbStateNone;
}
