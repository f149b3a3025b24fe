// USB HID devices on the emulated bus: the USB device, its HID interface, the
// hid device and the hidraw node, whose read(), write() and ioctl() requests
// are served here.
//
// The node is a pty (umockdev backs nodes without contents with one). Its
// reads and writes are answered by the handlers below, so report boundaries
// hold; the pty itself only carries poll() readiness: one byte sits in its
// input queue per queued report, and each read takes one back through the
// pty's slave side.
#include <fcntl.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <climits>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <deque>
#include <set>
#include <stdexcept>
#include <thread>

#include "usbdevice_impl.h"
#include "usbsim/hidbus.h"

namespace kssim {

namespace {

constexpr size_t kMaxQueued = 64;      // the kernel's hidraw ring
constexpr size_t kMaxReport = 16384;   // HID_MAX_BUFFER_SIZE
constexpr unsigned kHidrawMajor = 240; // dynamic in the kernel; any free number
constexpr uint16_t kBusUsb = 3;        // BUS_USB

std::string printf1(const char* f, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buf[128];
    std::snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

} // namespace

std::vector<uint8_t> buildReportDescriptor(const std::vector<HidReportSpec>& reports) {
    std::vector<uint8_t> d = {0x06, 0x00, 0xFF, 0x09, 0x01, 0xA1, 0x01};
    for (const HidReportSpec& r : reports) {
        d.insert(d.end(), {0x85, r.id, 0x19, 0x01, 0x29, 0x01, 0x15, 0x00, 0x26, 0xFF, 0x00, 0x75,
                           0x08, 0x96});
        putLE16(d, r.size);
        d.insert(d.end(), {static_cast<uint8_t>(r.input ? 0x81 : 0x91), 0x02});
    }
    d.push_back(0xC0);
    return d;
}

struct HidDevice::Impl {
    UsbDevice* usb = nullptr;
    UsbDevice::Impl* usbImpl = nullptr; // its state: SET_REPORT, interrupt IN
    HidDeviceConfig cfg;
    std::vector<uint8_t> reportDescriptor;
    int number = 0;                             // N of hidrawN
    std::string node, ifPath, hidPath, rawPath; // paths below /sys
    UMockdevIoctlBase* handler = nullptr;
    int master = -1; // our duplicate of the pty master behind the node
    int drain = -1;  // the pty's slave side

    // Guards everything below.
    mutable std::mutex mu;
    std::condition_variable cv;
    std::deque<std::vector<uint8_t>> reports;
    std::vector<std::vector<uint8_t>> written;
    std::function<void(const uint8_t*, size_t)> onOutput;
    int outputCalls = 0;
    std::thread::id outputThread;
    std::set<UMockdevIoctlClient*> clients; // each holds a reference
    bool gone = false;

    Impl() = default;
    Impl(const Impl&) = delete;
    Impl& operator=(const Impl&) = delete;
    ~Impl() {
        if (usbImpl) {
            std::lock_guard<std::mutex> lock(usbImpl->mu);
            usbImpl->setReport = nullptr;
        }
        for (UMockdevIoctlClient* c : clients)
            g_object_unref(c);
        if (master >= 0)
            close(master);
        if (drain >= 0)
            close(drain);
        if (handler)
            g_object_unref(handler);
    }

    void onIoctl(UMockdevIoctlClient* client);
    void onRead(UMockdevIoctlClient* client);
    void onWrite(UMockdevIoctlClient* client);
    // One output report from the host (hidraw write or SET_REPORT): to the
    // handler, or kept for takeWritten(). ENODEV once unplugged, EINVAL for
    // a size hidraw refuses; 0 when taken.
    int deliver(const std::vector<uint8_t>& report);
    bool ioctlReply(unsigned long req, std::vector<uint8_t>& out, size_t& size);
    void wake() {
        if (master >= 0 && write(master, "r", 1) != 1) {
            // a full pty only delays readiness; the report stays queued
        }
    }
};

namespace {

gboolean hidIoctlCb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<HidDevice::Impl*>(self)->onIoctl(client);
    return TRUE;
}
gboolean hidReadCb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<HidDevice::Impl*>(self)->onRead(client);
    return TRUE;
}
gboolean hidWriteCb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<HidDevice::Impl*>(self)->onWrite(client);
    return TRUE;
}
void hidConnectedCb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* d = static_cast<HidDevice::Impl*>(self);
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->clients.insert(client).second)
        g_object_ref(client);
}
void hidVanishedCb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* d = static_cast<HidDevice::Impl*>(self);
    std::lock_guard<std::mutex> lock(d->mu);
    if (d->clients.erase(client))
        g_object_unref(client);
}

} // namespace

// The answer to a read-type hidraw ioctl, or false for an unknown request.
bool HidDevice::Impl::ioctlReply(unsigned long req, std::vector<uint8_t>& out, size_t& size) {
    size = _IOC_SIZE(req);
    auto text = [&](const std::string& s) {
        out.assign(s.begin(), s.end());
        out.push_back(0);
        if (out.size() > size)
            out.resize(size);
    };
    if (req == HIDIOCGRDESCSIZE) {
        int n = static_cast<int>(reportDescriptor.size());
        out.resize(sizeof n);
        std::memcpy(out.data(), &n, sizeof n);
    } else if (req == HIDIOCGRDESC) {
        hidraw_report_descriptor d{};
        d.size = static_cast<__u32>(reportDescriptor.size());
        std::memcpy(d.value, reportDescriptor.data(), reportDescriptor.size());
        out.resize(sizeof d);
        std::memcpy(out.data(), &d, sizeof d);
    } else if (req == HIDIOCGRAWINFO) {
        hidraw_devinfo i{};
        i.bustype = kBusUsb;
        i.vendor = static_cast<__s16>(cfg.vendorId);
        i.product = static_cast<__s16>(cfg.productId);
        out.resize(sizeof i);
        std::memcpy(out.data(), &i, sizeof i);
    } else if (_IOC_TYPE(req) == 'H' && _IOC_DIR(req) == _IOC_READ && _IOC_NR(req) == 0x04) {
        text(cfg.manufacturer + (cfg.manufacturer.empty() ? "" : " ") + cfg.product);
    } else if (_IOC_TYPE(req) == 'H' && _IOC_DIR(req) == _IOC_READ && _IOC_NR(req) == 0x05) {
        text("usb-0000:00:14.0-" + ifPath.substr(ifPath.rfind('-') + 1, 1) + "/input0");
    } else if (_IOC_TYPE(req) == 'H' && _IOC_DIR(req) == _IOC_READ && _IOC_NR(req) == 0x08) {
        text(cfg.serial);
    } else {
        return false;
    }
    return true;
}

void HidDevice::Impl::onIoctl(UMockdevIoctlClient* client) {
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    std::vector<uint8_t> reply;
    size_t size = 0;
    bool known;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (gone)
            return umockdev_ioctl_client_complete(client, -1, ENODEV);
        known = ioctlReply(req, reply, size);
    }
    if (!known)
        return umockdev_ioctl_client_complete(client, -1, ENOTTY);
    GError* error = nullptr;
    UMockdevIoctlData* arg =
        umockdev_ioctl_data_resolve(umockdev_ioctl_client_get_arg(client), 0, size, &error);
    if (!arg) {
        if (error)
            g_error_free(error);
        return umockdev_ioctl_client_complete(client, -1, EFAULT);
    }
    if (req == HIDIOCGRDESC && arg->data_len >= 4) {
        __u32 want = 0; // the caller says how much of the descriptor it wants
        std::memcpy(&want, arg->data, sizeof want);
        if (want > HID_MAX_DESCRIPTOR_SIZE) {
            g_object_unref(arg);
            return umockdev_ioctl_client_complete(client, -1, EINVAL);
        }
    }
    umockdev_ioctl_data_update(arg, 0, reply.data(),
                               static_cast<gint>(std::min(reply.size(), size_t(arg->data_len))));
    g_object_unref(arg);
    long res = _IOC_NR(req) == 0x04 || _IOC_NR(req) == 0x05 || _IOC_NR(req) == 0x08
                   ? static_cast<long>(reply.size())
                   : 0;
    umockdev_ioctl_client_complete(client, res, 0);
}

void HidDevice::Impl::onRead(UMockdevIoctlClient* client) {
    UMockdevIoctlData* buf = umockdev_ioctl_client_get_arg(client);
    std::vector<uint8_t> report;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (gone)
            return umockdev_ioctl_client_complete(client, -1, ENODEV);
        if (reports.empty())
            return umockdev_ioctl_client_complete(client, -1, EAGAIN);
        report = std::move(reports.front());
        reports.pop_front();
        char c;
        if (read(drain, &c, 1) != 1) {
            // the readiness byte was not there yet; poll() may report late
        }
    }
    // Like the kernel: a buffer too small for the report gets its beginning.
    size_t n = std::min(report.size(), size_t(buf->data_len));
    umockdev_ioctl_data_update(buf, 0, report.data(), static_cast<gint>(n));
    umockdev_ioctl_client_complete(client, static_cast<long>(n), 0);
}

void HidDevice::Impl::onWrite(UMockdevIoctlClient* client) {
    UMockdevIoctlData* buf = umockdev_ioctl_client_get_arg(client);
    const size_t n = size_t(buf->data_len);
    int err = deliver(std::vector<uint8_t>(buf->data, buf->data + n));
    umockdev_ioctl_client_complete(client, err ? -1 : static_cast<long>(n), err);
}

int HidDevice::Impl::deliver(const std::vector<uint8_t>& report) {
    const size_t n = report.size();
    std::function<void(const uint8_t*, size_t)> handler;
    {
        std::lock_guard<std::mutex> lock(mu);
        if (gone)
            return ENODEV;
        if (n < 2 || n > kMaxReport)
            return EINVAL;
        if (!onOutput) {
            written.push_back(report);
        } else {
            handler = onOutput;
            ++outputCalls;
            outputThread = std::this_thread::get_id();
        }
    }
    if (handler) {
        handler(report.data(), report.size());
        std::lock_guard<std::mutex> lock(mu);
        --outputCalls;
        cv.notify_all();
    }
    return 0;
}

// ---- HidDevice -------------------------------------------------------------

HidDevice::HidDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
HidDevice::~HidDevice() = default;

UsbDevice* HidDevice::usb() const {
    return impl_->usb;
}
std::string HidDevice::hidrawNode() const {
    return impl_->node;
}
std::string HidDevice::hidrawSyspath() const {
    return "/sys" + impl_->rawPath;
}

void HidDevice::sendReport(const std::vector<uint8_t>& report) {
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        if (impl_->gone || report.empty())
            return;
    }
    // A host that claimed the interface through usbfs (libusb) reads the
    // interrupt IN endpoint; the kernel's usbhid would have let go of it.
    if (impl_->usbImpl && impl_->usbImpl->queueInReport(report))
        return;
    std::lock_guard<std::mutex> lock(impl_->mu);
    if (impl_->gone || report.empty() || impl_->reports.size() >= kMaxQueued)
        return;
    impl_->reports.push_back(report);
    impl_->wake();
}

size_t HidDevice::pendingReports() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->reports.size();
}

void HidDevice::setOutputHandler(std::function<void(const uint8_t*, size_t)> handler) {
    std::unique_lock<std::mutex> lock(impl_->mu);
    impl_->onOutput = std::move(handler);
    if (impl_->outputThread != std::this_thread::get_id())
        impl_->cv.wait(lock, [&] { return impl_->outputCalls == 0; });
}

std::vector<std::vector<uint8_t>> HidDevice::takeWritten() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<std::vector<uint8_t>> v;
    v.swap(impl_->written);
    return v;
}

int HidDevice::openClients() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    int n = 0;
    for (UMockdevIoctlClient* c : impl_->clients)
        n += umockdev_ioctl_client_get_connected(c) ? 1 : 0;
    return n;
}

// ---- UsbBus ----------------------------------------------------------------

namespace {

std::string hidRecords(const HidDevice::Impl& h, unsigned seq, unsigned port) {
    const HidDeviceConfig& c = h.cfg;
    std::string ids = printf1("%04X:%04X", c.vendorId, c.productId);
    std::string rec;
    rec += "P: " + h.ifPath + "\n";
    rec += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\nE: DRIVER=usbhid\n";
    rec += printf1("E: PRODUCT=%x/%x/%x\n", c.vendorId, c.productId, c.bcdDevice);
    rec += "E: TYPE=0/0/0\nE: INTERFACE=3/0/0\n";
    rec += printf1("E: MODALIAS=usb:v%04Xp%04Xd%04Xdc00dsc00dp00ic03isc00ip00in00\n", c.vendorId,
                   c.productId, c.bcdDevice);
    rec += sysfsAttr("bInterfaceNumber", "00") + sysfsAttr("bAlternateSetting", " 0");
    rec += sysfsAttr("bInterfaceClass", "03") + sysfsAttr("bInterfaceSubClass", "00");
    rec += sysfsAttr("bInterfaceProtocol", "00") + sysfsAttr("bNumEndpoints", "02");
    rec += "\nP: " + h.hidPath + "\n";
    rec += "E: SUBSYSTEM=hid\nE: DRIVER=hid-generic\n";
    rec += printf1("E: HID_ID=0003:%08X:%08X\n", c.vendorId, c.productId);
    std::string name = c.manufacturer + (c.manufacturer.empty() ? "" : " ") + c.product;
    if (recordSafe(name))
        rec += "E: HID_NAME=" + name + "\n";
    rec += printf1("E: HID_PHYS=usb-0000:00:14.0-%u/input0\n", port);
    rec += "E: HID_UNIQ=" + (recordSafe(c.serial) ? c.serial : std::string()) + "\n";
    rec += printf1("E: MODALIAS=hid:b0003g0001v%08Xp%08X\n", c.vendorId, c.productId);
    rec += "H: report_descriptor=" + recordHex(h.reportDescriptor) + "\n";
    rec += "\nP: " + h.rawPath + "\n";
    rec += "N: " + h.node.substr(5) + "\n";
    rec += "E: SUBSYSTEM=hidraw\nE: DEVNAME=" + h.node + "\n";
    rec += printf1("E: MAJOR=%u\nE: MINOR=%u\n", kHidrawMajor, unsigned(h.number));
    rec += sysfsAttr("dev", printf1("%u:%u", kHidrawMajor, unsigned(h.number)));
    rec += "L: device=../../../" + ids + printf1(".%04X", seq) + "\n";
    return rec;
}

// Opens the pty behind the node from both ends: a duplicate of the test
// bed's master, and the slave side for taking readiness bytes back.
void openReadinessPty(UMockdevTestbed* tb, HidDevice::Impl& h, const std::string& root) {
    int m = umockdev_testbed_get_dev_fd(tb, h.node.c_str());
    char target[PATH_MAX] = {0};
    ssize_t n = readlink((root + h.node).c_str(), target, sizeof target - 1);
    if (m < 0 || n <= 0)
        throw std::runtime_error("no pty behind " + h.node);
    h.master = fcntl(m, F_DUPFD_CLOEXEC, 3);
    h.drain = open(target, O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    termios t{};
    if (h.master < 0 || h.drain < 0 || tcgetattr(h.drain, &t) != 0)
        throw std::runtime_error("cannot open the pty behind " + h.node);
    cfmakeraw(&t);
    tcsetattr(h.drain, TCSANOW, &t);
}

} // namespace

HidDevice* UsbBus::plugHid(const HidDeviceConfig& config) {
    auto h = std::make_unique<HidDevice::Impl>();
    h->cfg = config;
    h->reportDescriptor = config.reportDescriptor.empty()
                              ? buildReportDescriptor({{1, 64, true}, {2, 64, false}})
                              : config.reportDescriptor;
    UsbDeviceConfig u;
    u.vendorId = config.vendorId;
    u.productId = config.productId;
    u.bcdDevice = config.bcdDevice;
    u.serial = config.serial;
    u.manufacturer = config.manufacturer;
    u.product = config.product;
    UsbInterfaceDesc hid;
    hid.cls = 3;
    hid.subClass = 0;
    hid.protocol = 0;
    hid.endpoints = {{0x81, 0x03, 64}, {0x01, 0x03, 64}};
    hid.extra = {9, 0x21, 0x10, 0x01, 0, 1, 0x22};
    putLE16(hid.extra, static_cast<uint16_t>(h->reportDescriptor.size()));
    hid.reportDescriptor = h->reportDescriptor;
    u.interfaces = {hid};
    h->usb = plug(u);
    h->usbImpl = h->usb->impl_.get();
    HidDevice::Impl* raw = h.get();
    {
        std::lock_guard<std::mutex> usbLock(h->usbImpl->mu);
        h->usbImpl->setReport = [raw](const uint8_t* data, size_t n) {
            (void)raw->deliver(std::vector<uint8_t>(data, data + n));
        };
    }

    // umockdev keeps a node's handler for the test bed's life: every device
    // gets a node number of its own (the kernel would reuse a free one).
    std::lock_guard<std::mutex> lock(impl_->mu);
    h->number = static_cast<int>(impl_->hids.size());
    const unsigned seq = static_cast<unsigned>(impl_->nextHidSeq++);
    const std::string usbPath = h->usb->syspath().substr(4);
    const unsigned port = static_cast<unsigned>(std::stoul(usbPath.substr(usbPath.rfind('-') + 1)));
    h->node = "/dev/hidraw" + std::to_string(h->number);
    h->ifPath = usbPath + "/" + usbPath.substr(usbPath.rfind('/') + 1) + ":1.0";
    h->hidPath = h->ifPath + "/" + printf1("%04X:%04X", config.vendorId, config.productId) +
                 printf1(".%04X", seq);
    h->rawPath = h->hidPath + "/hidraw/hidraw" + std::to_string(h->number);

    h->handler = umockdev_ioctl_base_new();
    g_signal_connect(h->handler, "handle-ioctl", G_CALLBACK(hidIoctlCb), h.get());
    g_signal_connect(h->handler, "handle-read", G_CALLBACK(hidReadCb), h.get());
    g_signal_connect(h->handler, "handle-write", G_CALLBACK(hidWriteCb), h.get());
    g_signal_connect(h->handler, "client-connected", G_CALLBACK(hidConnectedCb), h.get());
    g_signal_connect(h->handler, "client-vanished", G_CALLBACK(hidVanishedCb), h.get());
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, h->node.c_str(), h->handler, &error) ||
        !umockdev_testbed_add_from_string(impl_->testbed, hidRecords(*h, seq, port).c_str(),
                                          &error)) {
        std::string msg = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        throw std::runtime_error("cannot add " + h->node + ": " + msg);
    }
    openReadinessPty(impl_->testbed, *h, rootDir());
    impl_->hids.emplace_back(new HidDevice(std::move(h)));
    return impl_->hids.back().get();
}

void UsbBus::unplug(HidDevice* device) {
    if (!device)
        return;
    HidDevice::Impl& h = *device->impl_;
    {
        std::lock_guard<std::mutex> lock(h.mu);
        if (h.gone)
            return;
        h.gone = true;
        h.reports.clear();
        h.wake(); // a reader waiting in poll() wakes and gets ENODEV
    }
    {
        std::lock_guard<std::mutex> lock(impl_->mu);
        umockdev_testbed_uevent(impl_->testbed, ("/sys" + h.rawPath).c_str(), "remove");
        umockdev_testbed_remove_device(impl_->testbed, ("/sys" + h.rawPath).c_str());
        umockdev_testbed_remove_device(impl_->testbed, ("/sys" + h.hidPath).c_str());
        umockdev_testbed_remove_device(impl_->testbed, ("/sys" + h.ifPath).c_str());
    }
    unplug(h.usb);
}

} // namespace kssim
