// USB driver of the modules: finding and opening a module, then libusb bulk
// transfers on its vendor interface (ksusb_libusb.cpp) or its kernel driver
// node.
#include "ksusb.h"

#include <errno.h>
#include <fcntl.h>
#include <libusb.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <mutex>
#include <new>
#include <string>

#include "ksusb_internal.h"
#include "ksusb_record.h"
#include "qDiag.h"
#include "qFile.h"
#include "qStream.h"
#include "qTime.h"
#include "unix_streampoll.h"

namespace {

constexpr uint16_t kKsusbTag = 0x05B5;
constexpr int kNodeWrites = 1000;

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
// returned open on a match and closed otherwise. *denied is set when a
// module could not be opened for want of permission (its serial string
// cannot be read then: it may be the one asked for).
libusb_device_handle* sOpenIfSerial(libusb_device* dev, const char* serial, bool* denied) {
    libusb_device_descriptor dd;
    if (libusb_get_device_descriptor(dev, &dd) != 0 ||
        !ksusb_is_keystrand_id(dd.idVendor, dd.idProduct))
        return nullptr;
    libusb_device_handle* h = nullptr;
    const int opened = libusb_open(dev, &h);
    if (opened == LIBUSB_ERROR_ACCESS)
        *denied = true;
    if (opened != 0 || !h)
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
    if (r == LIBUSB_ERROR_BUSY)
        return qErrBusy;
    if (r == LIBUSB_ERROR_NO_DEVICE || r == LIBUSB_ERROR_NOT_FOUND)
        return qErrNotFound; // unplugged between the match and the claim
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
    bool denied = false;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_handle* h = sOpenIfSerial(list[i], serial, &denied);
        if (!h) {
            if (denied)
                result = qErrPermission;
            continue;
        }
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
    if (fd < 0) {
        if (errno == EBUSY)
            return qErrBusy;
        if (errno == EACCES || errno == EPERM)
            return qErrPermission;
        return errno == ENOENT || errno == ENODEV || errno == ENXIO ? qErrNotFound : qErrIO;
    }
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

qErr sCloseLibusb(ksusb* u) {
    if (!u->handle)
        return qErrMode;
    ksusb_libusb::cancelIn(u);
    // A module that has left the bus (it restarts into its loader or its
    // new firmware) cannot give its interface back: that is the normal end
    // of an update, not worth a note.
    int r = libusb_release_interface(u->handle, u->interfaceNumber);
    if (r != 0 && r != LIBUSB_ERROR_NO_DEVICE)
        qDiag_Printf("USB: releasing interface %d failed: %s", u->interfaceNumber,
                     libusb_error_name(r));
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
    u->inTransfer = u->outTransfer = nullptr;
    u->tag = kKsusbTag;
    if (driverType == ksusbDriverLibusb && !ksusb_libusb::init(u)) {
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
        ksusb_libusb::cancelIn(u);
        libusb_close(u->handle);
    }
    ksusb_libusb::release(u);
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
    return usb->driverType == ksusbDriverLibusb ? ksusb_libusb::write(usb, data, len)
                                                : sWriteNode(usb, data, len);
}

qErr ksusb_get_from_device(ksusb* usb, uint8_t* byte) {
    if (!sValid(usb) || !byte)
        return qErrParam;
    return usb->driverType == ksusbDriverLibusb ? ksusb_libusb::get(usb, byte)
                                                : sGetNode(usb, byte);
}

qErr ksusb_read_from_device(ksusb* usb, uint8_t* dst, size_t max, size_t* got) {
    if (got)
        *got = 0;
    if (!sValid(usb) || !dst || !got || max == 0)
        return qErrParam;
    return usb->driverType == ksusbDriverLibusb ? ksusb_libusb::read(usb, dst, max, got)
                                                : sReadNode(usb, dst, max, got);
}

qErr ksusb_wait_for_data(ksusb* usb, int wakeFd, unsigned long msTimeout) {
    if (!sValid(usb))
        return qErrParam;
    if (usb->driverType == ksusbDriverLibusb)
        return ksusb_libusb::wait(usb, wakeFd, msTimeout);
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
