// USB HID devices on the emulated bus, reached through hidraw as the kernel's
// usbhid driver presents them: hidapi's hidraw backend (and libudev, lsusb,
// udevadm) find them by vendor and product id and open "/dev/hidrawN".
//
// The hidraw node keeps the kernel's report boundaries: every read() returns
// one input report (report number first when the device numbers its
// reports), every write() is one output report. poll() on the node is ready
// exactly while input reports are queued; at most 64 are queued, later ones
// are dropped, as the kernel does.
//
// Hosts that use libusb instead of hidraw reach the same device: a class
// SET_REPORT request on the control pipe is an output report like a hidraw
// write, and while such a host has claimed the HID interface, input reports
// go to its interrupt IN transfers (one report per transfer) instead of
// hidraw.
//
// Threads: the node's requests are served on umockdev's worker thread; every
// public HidDevice member is thread-safe. The output handler runs on the
// worker thread without the device lock held, so it may call sendReport().
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "usbsim/usbbus.h"

namespace kssim {

struct HidDeviceConfig {
    uint16_t vendorId = 0x1FC9;
    uint16_t productId = 0x0130;
    uint16_t bcdDevice = 0x0001;
    std::string serial; // empty: no serial string
    std::string manufacturer = "NXP";
    std::string product = "SE Blank";
    std::vector<uint8_t> reportDescriptor; // empty: a vendor-defined default
};

class HidDevice {
  public:
    ~HidDevice();
    HidDevice(const HidDevice&) = delete;
    HidDevice& operator=(const HidDevice&) = delete;

    UsbDevice* usb() const;         // the USB device the HID interface belongs to
    std::string hidrawNode() const; // "/dev/hidrawN"
    std::string hidrawSyspath() const;

    // Queues one input report for the host's read().
    void sendReport(const std::vector<uint8_t>& report);
    size_t pendingReports() const;
    // Every report the host writes, on the worker thread. When it returns, a
    // call of the previous handler on another thread has finished. Without a
    // handler, writes are kept for takeWritten().
    void setOutputHandler(std::function<void(const uint8_t*, size_t)> handler);
    std::vector<std::vector<uint8_t>> takeWritten();
    int openClients() const;

    struct Impl;

  private:
    friend class UsbBus;
    explicit HidDevice(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

// A report descriptor with vendor-defined reports of the given numbers and
// payload sizes, input or output, as the i.MX ROM declares them.
struct HidReportSpec {
    uint8_t id;
    uint16_t size;
    bool input;
};
std::vector<uint8_t> buildReportDescriptor(const std::vector<HidReportSpec>& reports);

} // namespace kssim
