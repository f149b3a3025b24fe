// USB transport of qStream: a module reached through the USB driver, by its
// kernel driver node when installed, otherwise through libusb.
#include <cstdio>
#include <new>

#include "ksusb.h"
#include "qStream.h"

namespace {

constexpr uint16_t qVALIDUSBS_TAG = 0xDEAD;

struct qUnixUSBStream {
    uint32_t serialNumber;
    ksusb* usb; // owned
    uint16_t tag;
};

qUnixUSBStream* sRecord(void* ref) {
    auto* us = static_cast<qUnixUSBStream*>(ref);
    return us && us->tag == qVALIDUSBS_TAG ? us : nullptr;
}

qErr sUSBStreamGet(uint8_t* byte, void* ref) {
    qUnixUSBStream* us = sRecord(ref);
    if (!us)
        return qErrParam;
    return ksusb_get_from_device(us->usb, byte);
}

qErr sUSBStreamRead(uint8_t* dst, size_t max, size_t* got, void* ref) {
    qUnixUSBStream* us = sRecord(ref);
    if (!us)
        return qErrParam;
    return ksusb_read_from_device(us->usb, dst, max, got);
}

qErr sUSBStreamWait(int wakeFd, unsigned long msTimeout, void* ref) {
    qUnixUSBStream* us = sRecord(ref);
    if (!us)
        return qErrParam;
    return ksusb_wait_for_data(us->usb, wakeFd, msTimeout);
}

qErr sUSBStreamWrite(const uint8_t* data, size_t count, void* ref) {
    qUnixUSBStream* us = sRecord(ref);
    if (!us)
        return qErrParam;
    return ksusb_write_to_device(us->usb, data, count);
}

qErr sUSBStreamPut(uint8_t byte, void* ref) {
    return sUSBStreamWrite(&byte, 1, ref);
}

qErr sUSBStreamDelete(void* ref) {
    qUnixUSBStream* us = sRecord(ref);
    if (!us)
        return qErrParam;
    qErr e = ksusb_close_keystrand_device(us->usb);
    if (e != qErrNone)
        return e; // left as it is: the device could not be closed
    (void)ksusb_destroy(&us->usb);
    us->tag = 0;
    delete us;
    return qErrNone;
}

} // namespace

qErr qStream_CreateUSB(uint32_t serialNumber, qStream** out) {
    if (out)
        *out = nullptr;
    if (serialNumber == 0 || !out)
        return qErrParam;
    auto* us = new (std::nothrow) qUnixUSBStream;
    if (!us)
        return qErrMemory;
    us->serialNumber = serialNumber;
    us->tag = qVALIDUSBS_TAG;
    const int type =
        ksusb_is_kernel_driver_installed(serialNumber) ? ksusbDriverKernel : ksusbDriverLibusb;
    us->usb = ksusb_create_usb(type);
    if (!us->usb) {
        delete us;
        return qErrResource;
    }
    char serial[16];
    std::snprintf(serial, sizeof serial, "%08X", serialNumber);
    qErr e = ksusb_open_keystrand_device(us->usb, serial);
    if (e != qErrNone) {
        (void)ksusb_destroy(&us->usb);
        delete us;
        return e;
    }
    qStream* s =
        qStream_Create(sUSBStreamGet, sUSBStreamPut, sUSBStreamWrite, sUSBStreamDelete, us);
    if (!s) {
        (void)ksusb_close_keystrand_device(us->usb);
        (void)ksusb_destroy(&us->usb);
        delete us;
        return qErrMemory;
    }
    (void)qStream_SetReceive(s, sUSBStreamRead, sUSBStreamWait);
    *out = s;
    return qErrNone;
}
