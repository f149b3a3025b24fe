// Internal state of one emulated USB device and its usbdevfs request handler.
#pragma once

#include <umockdev.h>

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "usbsim/usbbus.h"

namespace kssim {

// Descriptor blobs of a device, built from its configuration.
std::vector<uint8_t> buildDeviceDescriptor(const UsbDeviceConfig& cfg);
std::vector<uint8_t> buildConfigDescriptor(const UsbDeviceConfig& cfg);
// String descriptor `index` (0 = language list), or empty when there is none.
std::vector<uint8_t> buildStringDescriptor(const UsbDeviceConfig& cfg, uint8_t index);

// One URB a client has submitted and not yet reaped. The two data objects are
// umockdev's local copies of the client's usbdevfs_urb and of its buffer;
// changes to them reach the client when the URB is reaped.
struct SimUrb {
    UMockdevIoctlData* urb = nullptr; // owned reference
    UMockdevIoctlData* buf = nullptr; // owned reference, null for length 0
    unsigned long addr = 0;           // the URB's address in the client
    uint8_t type = 0;
    uint8_t endpoint = 0;
    size_t length = 0;
    size_t accepted = 0;     // OUT bytes already taken by the device
    bool partialNak = false; // OUT: took its share, NAKs the rest
};

// Per open file descriptor: its URBs and the interfaces it claimed.
struct SimClient {
    std::deque<SimUrb*> pending;
    std::deque<SimUrb*> completed;
    int fd = -1; // this process's end of the client's connection, -1 when unknown
};

struct UsbDevice::Impl {
    UsbDeviceConfig cfg;
    std::vector<uint8_t> deviceDesc;
    std::vector<uint8_t> configDesc;
    int bus = 1;
    int address = 0;
    int port = 0;
    std::string devnode;
    std::string syspath;
    UMockdevIoctlBase* handler = nullptr; // owned reference

    // Guards everything below.
    mutable std::mutex mu;
    mutable std::condition_variable cv;
    std::map<UMockdevIoctlClient*, SimClient> clients; // each holds a reference
    std::map<int, UMockdevIoctlClient*> claims;        // interface -> owner
    std::deque<uint8_t> toHost;
    std::deque<uint8_t> fromHost;
    std::function<void(const uint8_t*, size_t)> hostWrite;
    int hostWriteCalls = 0;          // handler calls in progress (0 or 1)
    std::thread::id hostWriteThread; // the thread making them
    std::vector<UsbOutTransfer> outLog;
    std::set<uint8_t> halted; // endpoint addresses
    bool outNak = false;
    size_t partialBytes = 0;
    int partialCount = 0;
    int stallOutCount = 0;
    int stallInCount = 0;
    bool clearHaltFails = false;
    bool heldElsewhere = false; // every interface claimed by another program
    int clearHalts = 0;
    bool gone = false;
    // A HID device's class request SET_REPORT (an output report on the
    // control pipe, as hosts that use libusb send it) goes to this handler
    // like a hidraw write: report number first. Set once when the HID device
    // is plugged; called on the worker thread without mu held. Null: the
    // request is accepted and ignored.
    std::function<void(const uint8_t*, size_t)> setReport;
    std::vector<std::vector<uint8_t>> setReportsDue; // for setReport, once mu is released
    // Input reports for the interrupt IN endpoint, one per transfer, while a
    // host has claimed the HID interface through usbfs (queueInReport).
    std::deque<std::vector<uint8_t>> inReports;

    // Queues an input report for a host that claimed interface 0 through
    // usbfs; false (nothing queued) when none has. Takes mu.
    bool queueInReport(const std::vector<uint8_t>& report);

    Impl() = default;
    ~Impl();
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;

    // Connects the handler's signals; called once before the node exists.
    void connectHandler();

    // Request handling, on umockdev's worker thread.
    void onIoctl(UMockdevIoctlClient* client);
    void onVanished(UMockdevIoctlClient* client);

    // Client bookkeeping; callers hold mu.
    SimClient& track(UMockdevIoctlClient* client);
    void drop(UMockdevIoctlClient* client);
    void purge();
    // Finds the connection of a client that just connected.
    void attach(UMockdevIoctlClient* client);
    // Drops the clients whose process has died, as the kernel does at exit.
    void reapDead();

  private:
    using Deliveries = std::vector<std::vector<uint8_t>>;
    long submit(UMockdevIoctlClient* client, SimClient& sc, int* err, Deliveries& out);
    long reap(UMockdevIoctlClient* client, SimClient& sc, int* err, bool* done, Deliveries& out);
    long discard(UMockdevIoctlClient* client, SimClient& sc, int* err);
    long simpleRequest(UMockdevIoctlClient* client, unsigned long req, int* err);
    void control(SimClient& sc, SimUrb* u);
    void progress(SimClient& sc, Deliveries& out);
    void finish(SimClient& sc, SimUrb* u, int status, size_t actual);
    void acceptOut(SimUrb* u, size_t n, Deliveries& out);
    const UsbInterfaceDesc* interfaceOf(uint8_t endpoint) const;
    static void freeUrb(SimUrb* u);
};

struct UsbBus::Impl {
    UMockdevTestbed* testbed = nullptr;
    std::unique_ptr<UsbDevice> rootHub; // address 1, the parent of every port
    std::vector<std::unique_ptr<UsbDevice>> devices;
    std::vector<std::unique_ptr<HidDevice>> hids;
    int nextAddress = 2; // 1 is the root hub's
    int nextHidSeq = 1;  // the kernel's running number of hid devices
    std::mutex mu;       // guards everything above but the test bed
};

// One sysfs attribute line of a test bed record, with the newline the
// kernel ends every attribute with (readers such as lsusb drop the last
// character of the value).
std::string sysfsAttr(const std::string& name, const std::string& value);
// The test bed records of a device as the kernel shows it in sysfs: the
// device with its usbfs node, attributes and driver link, and its interfaces
// (but HID ones, which the HID code describes with their drivers).
std::string usbDeviceRecords(const UsbDevice::Impl& d, const std::string& path,
                             const std::string& devpath);
// Bytes as a test bed record's hexadecimal value ("H:" lines).
std::string recordHex(const std::vector<uint8_t>& v);
// Appends a 16-bit value, little-endian as USB descriptors hold it.
void putLE16(std::vector<uint8_t>& v, uint16_t x);
// The value as a test bed record may hold it ('\' and control bytes escaped).
bool recordSafe(const std::string& s);

} // namespace kssim
