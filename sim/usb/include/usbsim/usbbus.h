// Emulated USB bus for tests, built on umockdev.
//
// Inside a process that runs under umockdev's preload (umockdev-wrapper), a
// UsbBus owns one umockdev test bed. Each plugged UsbDevice appears to libusb
// (and to libudev) as a real usb_device: it is enumerated, its descriptors and
// string descriptors are read, its interfaces are claimed and its bulk
// endpoints move data. The usbdevfs ioctls of its device node are served here,
// so the real libusb code path runs unchanged.
//
// The far end of a device is a plain byte pipe:
//   - bytes the host writes to the bulk OUT endpoint go to the host-write
//     handler when one is set, otherwise into a queue read with
//     takeHostBytes()/waitHostBytes();
//   - bytes given to sendToHost() are delivered on the bulk IN endpoint.
//
// Threads: the usbdevfs requests are served on umockdev's worker thread. Every
// public UsbDevice member is thread-safe (one mutex per device guards all of
// its state). The host-write handler runs on the worker thread, without the
// device mutex held, so it may call sendToHost(); it must not block for long.
//
// See README.md in this folder for the full picture and for running a child
// program on the bus.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace kssim {

// One endpoint of an interface descriptor.
struct UsbEndpointDesc {
    uint8_t address = 0x81;    // bit 7 set: IN
    uint8_t attributes = 0x02; // 2 bulk, 3 interrupt
    uint16_t maxPacket = 64;
};

// One interface (alternate setting) of the single configuration.
struct UsbInterfaceDesc {
    uint8_t number = 0;
    uint8_t alternate = 0;
    uint8_t cls = 0xFF;
    uint8_t subClass = 0x88;
    uint8_t protocol = 0x10;
    std::vector<UsbEndpointDesc> endpoints{{0x81, 0x02, 64}, {0x01, 0x02, 64}};
    // Class-specific descriptors between the interface and its endpoints
    // (a HID interface's HID descriptor).
    std::vector<uint8_t> extra;
    // HID interfaces: answered to GET_DESCRIPTOR(REPORT) on the interface.
    std::vector<uint8_t> reportDescriptor;
};

// What a device looks like on the bus. The defaults describe a module with
// its vendor interface and one bulk IN and one bulk OUT endpoint.
struct UsbDeviceConfig {
    uint16_t vendorId = 0x24FF;
    uint16_t productId = 0x0010;
    uint16_t bcdDevice = 0x0100;
    uint8_t deviceClass = 0; // 0: the class is in the interfaces
    uint8_t deviceProtocol = 0;
    std::string serial; // serial-number string; empty = no serial string
    std::string manufacturer = "Quillmar";
    std::string product = "Keystrand module";
    std::vector<UsbInterfaceDesc> interfaces{UsbInterfaceDesc{}};
};

// One completed or ended bulk OUT transfer, as the device saw it.
struct UsbOutTransfer {
    size_t requested = 0; // buffer length the host submitted
    size_t accepted = 0;  // bytes the device took
    int status = 0;       // 0, or the negative errno the URB ended with
};

class UsbBus;
class HidDevice;
struct HidDeviceConfig;

// A device on the bus. Owned by its UsbBus; the pointer stays valid until
// the bus is destroyed, also after unplug().
class UsbDevice {
  public:
    ~UsbDevice();
    UsbDevice(const UsbDevice&) = delete;
    UsbDevice& operator=(const UsbDevice&) = delete;

    const UsbDeviceConfig& config() const;
    std::string devnode() const; // "/dev/bus/usb/001/NNN"
    std::string syspath() const; // "/sys/devices/.../1-N"
    int busNumber() const;
    int deviceAddress() const;

    // Far end: bytes for the host's bulk IN transfers.
    void sendToHost(const uint8_t* data, size_t len);
    void sendToHost(const std::vector<uint8_t>& data);
    size_t pendingToHost() const;

    // Far end: bytes the host wrote. With a handler set, every accepted OUT
    // transfer is handed to it (on the worker thread) and not queued. When
    // this returns, a call of the previous handler still running on another
    // thread has finished, so its captures may be destroyed. Do not call it
    // while holding a lock that the handler takes.
    // A new handler first gets what was queued for takeHostBytes().
    void setHostWriteHandler(std::function<void(const uint8_t*, size_t)> handler);
    std::vector<uint8_t> takeHostBytes();
    // Waits until at least n host bytes are queued or timeoutMs passes;
    // returns whether they arrived.
    bool waitHostBytes(size_t n, int timeoutMs) const;
    std::vector<UsbOutTransfer> outTransfers() const;

    // Fault switches of real hardware.
    // While on, the device NAKs bulk OUT: transfers wait until the host
    // gives up (time-out) and then end having sent nothing.
    void setOutNak(bool on);
    // The next `count` bulk OUT transfers take only their first `bytes`
    // bytes and then NAK, so the host times out with a partial transfer.
    void setOutPartial(size_t bytes, int count);
    // The next `count` transfers on that direction stall the endpoint; it
    // stays halted (every transfer ends with -EPIPE) until the host clears it.
    void stallOut(int count);
    void stallIn(int count);
    // While on, CLEAR_HALT requests fail with EIO and the halt stays.
    void setClearHaltFails(bool on);
    int clearHaltCount() const;
    // While on, another program holds every interface of the device (as an
    // open, claimed handle elsewhere would): claims and bulk transfers from
    // this bus's clients fail with EBUSY. Opening the device and reading its
    // descriptors still work. Not counted by interfaceClaimed().
    void setHeldElsewhere(bool on);

    // Observations.
    int openClients() const; // open file descriptors
    // Waits until at most `count` descriptors are open (closing is noticed
    // asynchronously); returns whether that happened within timeoutMs.
    bool waitOpenClients(int count, int timeoutMs) const;
    bool interfaceClaimed(int number) const; // by any client
    bool unplugged() const;

    struct Impl;

  private:
    friend class UsbBus;
    explicit UsbDevice(std::unique_ptr<Impl> impl);
    std::unique_ptr<Impl> impl_;
};

class UsbBus {
  public:
    // Whether an emulated bus can be made here: the process must run under
    // umockdev's preload. When false, *why says what is missing.
    static bool available(std::string* why);

    // Creates the test bed. Throws std::runtime_error when unavailable or when
    // another UsbBus is alive in this process (there is one test bed at most).
    UsbBus();
    ~UsbBus();
    UsbBus(const UsbBus&) = delete;
    UsbBus& operator=(const UsbBus&) = delete;

    // Adds a device (new device address, lowest free port) and announces it
    // with an "add" uevent. Throws std::runtime_error if umockdev refuses.
    UsbDevice* plug(const UsbDeviceConfig& config);

    // Adds a USB HID device: a USB device with one HID interface (interrupt
    // IN 0x81 and OUT 0x01) and, below it, the hid device and its hidraw
    // node "/dev/hidrawN", as the kernel's usbhid driver shows them. Throws
    // std::runtime_error if umockdev refuses. See hidbus.h.
    HidDevice* plugHid(const HidDeviceConfig& config);
    void unplug(HidDevice* device);

    // Takes a device off the bus like pulling its cable: pending transfers
    // end with -ESHUTDOWN, every later request on open handles fails with
    // ENODEV, a "remove" uevent is sent and the device leaves the test bed.
    void unplug(UsbDevice* device);

    // Root of the test bed (the UMOCKDEV_DIR that children need).
    std::string rootDir() const;

    // Starts a program that sees this bus: it inherits the preload and the
    // test bed through its environment. Returns the child's pid or -1 (errno
    // set). The caller reaps it (waitpid) or uses waitChild().
    pid_t spawn(const std::vector<std::string>& argv) const;

    // Waits at most timeoutMs for a spawned child; on time-out the child is
    // killed (SIGKILL) and reaped, and -1 is returned. Otherwise returns the
    // raw wait status.
    static int waitChild(pid_t pid, int timeoutMs);

    struct Impl;

  private:
    // A device at `address` on `port` of the root hub (0: the root hub).
    UsbDevice* addDevice(const UsbDeviceConfig& config, int address, int port);
    std::unique_ptr<Impl> impl_;
};

} // namespace kssim
