// The emulated bus: one umockdev test bed and the devices plugged into it.
#include "usbsim/usbbus.h"

#include <dlfcn.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>

#include "usbdevice_impl.h"
#include "usbsim/hidbus.h"

extern char** environ;

// Sanitizer defaults for every program that hosts the bus (read by the
// sanitizer runtimes at start-up; unused in other builds).
//  - ASan: the umockdev preload library comes before the ASan runtime in the
//    library list, which ASan would otherwise refuse.
//  - TSan: GLib, umockdev, libudev and libusb are not instrumented and synchronise in
//    ways TSan cannot see; only reports whose innermost frame lies in them are
//    suppressed, so races in our own code (handlers included) still show.
//    umockdev's preload library formats paths into one static buffer on every
//    thread that opens a device: races with it in a stack are suppressed (not
//    its calls, whose locking TSan must keep seeing).
extern "C" const char* __asan_default_options() {
    return "verify_asan_link_order=0";
}

extern "C" const char* __tsan_default_suppressions() {
    return "called_from_lib:libumockdev.so.0\n"
           "race:libumockdev-preload.so.0\n"
           "called_from_lib:libglib-2.0.so.0\n"
           "called_from_lib:libgobject-2.0.so.0\n"
           "called_from_lib:libgio-2.0.so.0\n"
           "called_from_lib:libudev.so.1\n"
           "called_from_lib:libusb-1.0.so.0\n"
           "race_top:libumockdev.so.0\n"
           "race_top:libglib-2.0.so.0\n"
           "race_top:libgobject-2.0.so.0\n"
           "race_top:libgio-2.0.so.0\n"
           "race_top:libudev.so.1\n"
           "race_top:libusb-1.0.so.0\n" // sync transfers: see tsan.supp
           "race:serverSockets\n";      // the descriptor scan: see tsan.supp
}

// Every plug and unplug sends a uevent to each program that watches the bus
// (libusb's hotplug monitor, lsusb, udevadm): umockdev connects to each
// watcher's event socket in the test bed, sends, and aborts this whole process
// when the watcher is gone by then (it closed its monitor just after umockdev
// listed the sockets, as every short-lived program does at exit). A kernel
// simply skips a watcher that left. Here: a vanished socket answers the
// connect as refused (which umockdev skips), and a send to a watcher that
// left after the connect is dropped. Only the test bed's event sockets are
// concerned; every other connect and send goes through untouched.
namespace {

bool isTestBedEventSocket(const struct sockaddr* addr, socklen_t len) {
    if (!addr || addr->sa_family != AF_UNIX || len <= offsetof(struct sockaddr_un, sun_path))
        return false;
    const auto* un = reinterpret_cast<const struct sockaddr_un*>(addr);
    const size_t max = len - offsetof(struct sockaddr_un, sun_path);
    const std::string path(un->sun_path, strnlen(un->sun_path, max));
    const size_t slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? "" : path.substr(0, slash);
    const std::string name = path.substr(slash == std::string::npos ? 0 : slash + 1);
    const char* root = std::getenv("UMOCKDEV_DIR");
    if (!root || dir != root || name.size() <= 5 || name.compare(0, 5, "event") != 0)
        return false;
    return name.find_first_not_of("0123456789", 5) == std::string::npos;
}

// The socket this thread last connected to a watcher: umockdev connects,
// sends and closes it in one go on one thread.
thread_local int t_watcherSocket = -1;

template <typename Fn> Fn nextSymbol(const char* name) {
    return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

} // namespace

extern "C" int connect(int fd, const struct sockaddr* addr, socklen_t len) {
    using Connect = int (*)(int, const struct sockaddr*, socklen_t);
    static const Connect next = nextSymbol<Connect>("connect");
    const int rc =
        next ? next(fd, addr, len) : static_cast<int>(syscall(SYS_connect, fd, addr, len));
    const bool watcher = isTestBedEventSocket(addr, len);
    t_watcherSocket = watcher && rc == 0 ? fd : -1;
    if (rc < 0 && errno == ENOENT && watcher)
        errno = ECONNREFUSED;
    return rc;
}

extern "C" ssize_t sendmsg(int fd, const struct msghdr* msg, int flags) {
    using SendMsg = ssize_t (*)(int, const struct msghdr*, int);
    static const SendMsg next = nextSymbol<SendMsg>("sendmsg");
    const ssize_t rc =
        next ? next(fd, msg, flags) : static_cast<ssize_t>(syscall(SYS_sendmsg, fd, msg, flags));
    if (fd != t_watcherSocket)
        return rc;
    t_watcherSocket = -1;
    if (rc < 0 && (errno == ECONNREFUSED || errno == ENOENT || errno == ECONNRESET)) {
        size_t length = 0;
        for (size_t i = 0; msg && i < msg->msg_iovlen; ++i)
            length += msg->msg_iov[i].iov_len;
        return static_cast<ssize_t>(length);
    }
    return rc;
}

namespace kssim {
namespace {

std::atomic<bool> g_busAlive{false};

} // namespace

std::string recordHex(const std::vector<uint8_t>& v) {
    std::string s;
    char b[3];
    for (uint8_t x : v) {
        std::snprintf(b, sizeof b, "%02X", x);
        s += b;
    }
    return s;
}

std::string sysfsAttr(const std::string& name, const std::string& value) {
    return "A: " + name + "=" + value + "\\n\n";
}

bool recordSafe(const std::string& s) {
    for (char c : s)
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F || c == '\\')
            return false;
    return true;
}

// ---- UsbDevice -----------------------------------------------------------

UsbDevice::UsbDevice(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
UsbDevice::~UsbDevice() = default;

const UsbDeviceConfig& UsbDevice::config() const {
    return impl_->cfg;
}
std::string UsbDevice::devnode() const {
    return impl_->devnode;
}
std::string UsbDevice::syspath() const {
    return impl_->syspath;
}
int UsbDevice::busNumber() const {
    return impl_->bus;
}
int UsbDevice::deviceAddress() const {
    return impl_->address;
}

void UsbDevice::sendToHost(const uint8_t* data, size_t len) {
    if (!data || len == 0)
        return;
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->toHost.insert(impl_->toHost.end(), data, data + len);
}

void UsbDevice::sendToHost(const std::vector<uint8_t>& data) {
    sendToHost(data.data(), data.size());
}

size_t UsbDevice::pendingToHost() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->toHost.size();
}

void UsbDevice::setHostWriteHandler(std::function<void(const uint8_t*, size_t)> handler) {
    std::unique_lock<std::mutex> lock(impl_->mu);
    // Bytes the host sent before there was a handler (it may open the
    // device the moment it appears) reach the new handler first, in order:
    // it takes over only once nothing is queued.
    while (handler && !impl_->fromHost.empty()) {
        std::vector<uint8_t> early(impl_->fromHost.begin(), impl_->fromHost.end());
        impl_->fromHost.clear();
        lock.unlock();
        handler(early.data(), early.size());
        lock.lock();
    }
    impl_->hostWrite = std::move(handler);
    // Once this returns the old handler is neither running nor called again
    // (unless it is the caller itself, on the worker thread).
    if (impl_->hostWriteThread != std::this_thread::get_id())
        impl_->cv.wait(lock, [&] { return impl_->hostWriteCalls == 0; });
}

std::vector<uint8_t> UsbDevice::takeHostBytes() {
    std::lock_guard<std::mutex> lock(impl_->mu);
    std::vector<uint8_t> v(impl_->fromHost.begin(), impl_->fromHost.end());
    impl_->fromHost.clear();
    return v;
}

bool UsbDevice::waitHostBytes(size_t n, int timeoutMs) const {
    std::unique_lock<std::mutex> lock(impl_->mu);
    return impl_->cv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                              [&] { return impl_->fromHost.size() >= n; });
}

std::vector<UsbOutTransfer> UsbDevice::outTransfers() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->outLog;
}

void UsbDevice::setOutNak(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->outNak = on;
}

void UsbDevice::setOutPartial(size_t bytes, int count) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->partialBytes = bytes;
    impl_->partialCount = count;
}

void UsbDevice::stallOut(int count) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stallOutCount = count;
}

void UsbDevice::stallIn(int count) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->stallInCount = count;
}

void UsbDevice::setHeldElsewhere(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->heldElsewhere = on;
}

void UsbDevice::setClearHaltFails(bool on) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->clearHaltFails = on;
}

int UsbDevice::clearHaltCount() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->clearHalts;
}

int UsbDevice::openClients() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->purge();
    impl_->reapDead();
    return static_cast<int>(impl_->clients.size());
}

bool UsbDevice::waitOpenClients(int count, int timeoutMs) const {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        if (openClients() <= count)
            return true;
        if (std::chrono::steady_clock::now() >= end)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
}

bool UsbDevice::interfaceClaimed(int number) const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    impl_->purge();
    impl_->reapDead();
    return impl_->claims.count(number) != 0;
}

bool UsbDevice::unplugged() const {
    std::lock_guard<std::mutex> lock(impl_->mu);
    return impl_->gone;
}

// ---- UsbBus --------------------------------------------------------------

bool UsbBus::available(std::string* why) {
    // The preload library must be mapped into this process already (by
    // LD_PRELOAD); loading it now would come too late to redirect anything.
    void* preload = dlopen("libumockdev-preload.so.0", RTLD_LAZY | RTLD_NOLOAD);
    if (preload)
        dlclose(preload);
    if (!preload) {
        if (why)
            *why = "not running under umockdev's preload (start it with umockdev-wrapper)";
        return false;
    }
    return true;
}

UsbBus::UsbBus() : impl_(new Impl) {
    std::string why;
    if (!available(&why))
        throw std::runtime_error("emulated USB bus unavailable: " + why);
    bool expected = false;
    if (!g_busAlive.compare_exchange_strong(expected, true))
        throw std::runtime_error("an emulated USB bus already exists in this process");
    impl_->testbed = umockdev_testbed_new();
    if (!impl_->testbed) {
        g_busAlive = false;
        throw std::runtime_error("cannot create the umockdev test bed");
    }
    // The host controller with its driver, and its root hub, as an xHCI
    // controller's USB 2 bus has them: lsusb -t
    // starts its tree there, and every device hangs off one of its ports.
    UsbDeviceConfig hub;
    hub.vendorId = 0x1d6b;
    hub.productId = 0x0002;
    hub.bcdDevice = 0x0601;
    hub.deviceClass = 9;
    hub.deviceProtocol = 1;
    hub.manufacturer = "Linux 6.1.0 xhci-hcd";
    hub.product = "xHCI Host Controller";
    hub.serial = "0000:00:14.0";
    UsbInterfaceDesc hubIf;
    hubIf.cls = 9;
    hubIf.subClass = 0;
    hubIf.protocol = 0;
    hubIf.endpoints = {{0x81, 0x03, 4}};
    hub.interfaces = {hubIf};
    const char* controller = "P: /devices/pci0000:00/0000:00:14.0\n"
                             "E: SUBSYSTEM=pci\nE: DRIVER=xhci_hcd\nE: PCI_CLASS=C0330\n"
                             "L: driver=../../../bus/pci/drivers/xhci_hcd\n";
    try {
        if (!umockdev_testbed_add_from_string(impl_->testbed, controller, nullptr))
            throw std::runtime_error("cannot add the USB host controller");
        impl_->rootHub.reset(addDevice(hub, 1, 0));
    } catch (...) {
        g_object_unref(impl_->testbed);
        g_busAlive = false;
        throw;
    }
}

UsbBus::~UsbBus() {
    // The test bed goes first: its worker thread stops and no handler runs
    // any more; then the devices (and the handlers' state) can be freed.
    g_object_unref(impl_->testbed);
    impl_->hids.clear();
    impl_->devices.clear();
    impl_->rootHub.reset();
    g_busAlive = false;
}

std::string UsbBus::rootDir() const {
    gchar* root = umockdev_testbed_get_root_dir(impl_->testbed);
    std::string r = root ? root : "";
    g_free(root);
    return r;
}

namespace {

constexpr unsigned kUsbDeviceMajor = 189; // usbfs device nodes
constexpr int kRootHubPorts = 15;

std::string fmt(const char* f, unsigned a, unsigned b = 0, unsigned c = 0) {
    char buf[160];
    std::snprintf(buf, sizeof buf, f, a, b, c);
    return buf;
}

// "../" once per directory level of `path` below /sys/devices, and /devices.
std::string upToSys(const std::string& path) {
    std::string up;
    for (char c : path)
        if (c == '/')
            up += "../";
    return up;
}

std::string interfaceRecord(const UsbDeviceConfig& c, const UsbInterfaceDesc& i,
                            const std::string& path, const std::string& name) {
    const std::string modalias =
        fmt("usb:v%04Xp%04Xd", c.vendorId, c.productId) + fmt("%04X", c.bcdDevice) +
        fmt("dc%02Xdsc00dp%02X", c.deviceClass, c.deviceProtocol) +
        fmt("ic%02Xisc%02Xip%02X", i.cls, i.subClass, i.protocol) + fmt("in%02X", i.number);
    std::string rec = "P: " + path + "/" + name + fmt(":1.%u\n", i.number);
    rec += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_interface\n";
    rec += fmt("E: PRODUCT=%x/%x/%x\n", c.vendorId, c.productId, c.bcdDevice);
    rec += fmt("E: TYPE=%u/0/%u\n", c.deviceClass, c.deviceProtocol);
    rec += fmt("E: INTERFACE=%u/%u/%u\n", i.cls, i.subClass, i.protocol);
    rec += "E: MODALIAS=" + modalias + "\n";
    if (i.cls == 9) { // the root hub's interface has the hub driver
        rec += "E: DRIVER=hub\n";
        rec += "L: driver=" + upToSys(path + "/x") + "bus/usb/drivers/hub\n";
    }
    rec += sysfsAttr("bInterfaceNumber", fmt("%02x", i.number));
    rec += sysfsAttr("bAlternateSetting", fmt("%2u", i.alternate));
    rec += sysfsAttr("bInterfaceClass", fmt("%02x", i.cls));
    rec += sysfsAttr("bInterfaceSubClass", fmt("%02x", i.subClass));
    rec += sysfsAttr("bInterfaceProtocol", fmt("%02x", i.protocol));
    rec += sysfsAttr("bNumEndpoints", fmt("%02x", unsigned(i.endpoints.size())));
    rec += sysfsAttr("supports_autosuspend", "1") + sysfsAttr("authorized", "1");
    rec += sysfsAttr("modalias", modalias);
    return rec + "\n";
}

} // namespace

std::string usbDeviceRecords(const UsbDevice::Impl& d, const std::string& path,
                             const std::string& devpath) {
    const UsbDeviceConfig& c = d.cfg;
    const bool hub = c.deviceClass == 9;
    const unsigned minor = unsigned((d.bus - 1) * 128 + d.address - 1);
    std::string rec;
    rec += "P: " + path + "\n";
    rec += "N: " + d.devnode.substr(5) + "\n";
    rec += "E: SUBSYSTEM=usb\nE: DEVTYPE=usb_device\nE: DRIVER=usb\n";
    rec += "E: DEVNAME=" + d.devnode + "\n";
    rec += fmt("E: MAJOR=%u\nE: MINOR=%u\n", kUsbDeviceMajor, minor);
    rec += fmt("E: BUSNUM=%03u\n", unsigned(d.bus));
    rec += fmt("E: DEVNUM=%03u\n", unsigned(d.address));
    rec += fmt("E: PRODUCT=%x/%x/%x\n", c.vendorId, c.productId, c.bcdDevice);
    rec += fmt("E: TYPE=%u/0/%u\n", c.deviceClass, c.deviceProtocol);
    rec += "L: driver=" + upToSys(path) + "bus/usb/drivers/usb\n";
    rec += sysfsAttr("dev", fmt("%u:%u", kUsbDeviceMajor, minor));
    rec += sysfsAttr("busnum", std::to_string(d.bus));
    rec += sysfsAttr("devnum", std::to_string(d.address));
    rec += sysfsAttr("devpath", devpath);
    rec += sysfsAttr("bConfigurationValue", "1") + sysfsAttr("bNumConfigurations", "1");
    rec += sysfsAttr("bNumInterfaces", fmt("%2u", d.configDesc.size() > 4 ? d.configDesc[4] : 0));
    rec += sysfsAttr("bDeviceClass", fmt("%02x", c.deviceClass));
    rec += sysfsAttr("bDeviceSubClass", "00");
    rec += sysfsAttr("bDeviceProtocol", fmt("%02x", c.deviceProtocol));
    rec += sysfsAttr("bMaxPacketSize0", "64");
    rec += sysfsAttr("bmAttributes", hub ? "e0" : "80");
    rec += sysfsAttr("bMaxPower", hub ? "0mA" : "100mA");
    rec += "A: configuration=\n"; // no configuration string
    rec += sysfsAttr("maxchild", hub ? std::to_string(kRootHubPorts) : "0");
    rec += sysfsAttr("speed", hub ? "480" : "12");
    rec += sysfsAttr("version", " 2.00");
    rec += sysfsAttr("rx_lanes", "1") + sysfsAttr("tx_lanes", "1");
    rec += sysfsAttr("authorized", "1") + sysfsAttr("removable", hub ? "unknown" : "removable");
    rec += sysfsAttr("idVendor", fmt("%04x", c.vendorId));
    rec += sysfsAttr("idProduct", fmt("%04x", c.productId));
    rec += sysfsAttr("bcdDevice", fmt("%04x", c.bcdDevice));
    if (!c.serial.empty() && recordSafe(c.serial))
        rec += sysfsAttr("serial", c.serial);
    if (!c.product.empty() && recordSafe(c.product))
        rec += sysfsAttr("product", c.product);
    if (!c.manufacturer.empty() && recordSafe(c.manufacturer))
        rec += sysfsAttr("manufacturer", c.manufacturer);
    std::vector<uint8_t> all = d.deviceDesc;
    all.insert(all.end(), d.configDesc.begin(), d.configDesc.end());
    rec += "H: descriptors=" + recordHex(all) + "\n\n";
    // Interfaces are named after the device ("1-1:1.0"; the root hub's "1-0:1.0").
    const std::string name = hub ? fmt("%u-0", unsigned(d.bus)) : path.substr(path.rfind('/') + 1);
    for (const auto& i : c.interfaces)
        if (i.alternate == 0 && i.reportDescriptor.empty())
            rec += interfaceRecord(c, i, path, name);
    return rec;
}

UsbDevice* UsbBus::addDevice(const UsbDeviceConfig& config, int address, int port) {
    auto impl = std::make_unique<UsbDevice::Impl>();
    impl->cfg = config;
    impl->deviceDesc = buildDeviceDescriptor(config);
    impl->configDesc = buildConfigDescriptor(config);
    impl->port = port;
    impl->address = address;
    char node[64];
    std::snprintf(node, sizeof node, "/dev/bus/usb/%03d/%03d", impl->bus, impl->address);
    std::string path = fmt("/devices/pci0000:00/0000:00:14.0/usb%u", unsigned(impl->bus));
    if (port > 0)
        path += fmt("/%u-%u", unsigned(impl->bus), unsigned(port));
    impl->devnode = node;
    impl->syspath = "/sys" + path;

    impl->connectHandler();
    GError* error = nullptr;
    if (!umockdev_testbed_attach_ioctl(impl_->testbed, impl->devnode.c_str(), impl->handler,
                                       &error) ||
        !umockdev_testbed_add_from_string(
            impl_->testbed, usbDeviceRecords(*impl, path, std::to_string(port)).c_str(), &error)) {
        std::string msg = error ? error->message : "unknown error";
        if (error)
            g_error_free(error);
        throw std::runtime_error("cannot add " + impl->devnode + ": " + msg);
    }
    return new UsbDevice(std::move(impl));
}

UsbDevice* UsbBus::plug(const UsbDeviceConfig& config) {
    std::lock_guard<std::mutex> lock(impl_->mu);
    // Lowest free port; a fresh device address (as on re-enumeration).
    int port = 1;
    for (bool clash = true; clash;) {
        clash = false;
        for (const auto& d : impl_->devices)
            if (!d->unplugged() && d->impl_->port == port) {
                clash = true;
                ++port;
            }
    }
    const int address = impl_->nextAddress;
    impl_->nextAddress = impl_->nextAddress >= 127 ? 2 : impl_->nextAddress + 1;
    impl_->devices.emplace_back(addDevice(config, address, port));
    return impl_->devices.back().get();
}

void UsbBus::unplug(UsbDevice* device) {
    if (!device)
        return;
    {
        std::lock_guard<std::mutex> lock(device->impl_->mu);
        if (device->impl_->gone)
            return;
        device->impl_->gone = true;
        device->impl_->cv.notify_all();
    }
    std::lock_guard<std::mutex> lock(impl_->mu);
    umockdev_testbed_uevent(impl_->testbed, device->impl_->syspath.c_str(), "remove");
    // The interfaces first: the test bed keeps their links in /sys/bus/usb
    // otherwise, and the next device on this port could not be added.
    const std::string& path = device->impl_->syspath;
    const std::string name = path.substr(path.rfind('/') + 1);
    for (const auto& i : device->impl_->cfg.interfaces)
        if (i.alternate == 0 && i.reportDescriptor.empty())
            umockdev_testbed_remove_device(
                impl_->testbed, (path + "/" + name + ":1." + std::to_string(i.number)).c_str());
    umockdev_testbed_remove_device(impl_->testbed, path.c_str());
}

pid_t UsbBus::spawn(const std::vector<std::string>& argv) const {
    if (argv.empty()) {
        errno = EINVAL;
        return -1;
    }
    // The child's environment: ours, with the test bed and the preload made
    // explicit in case a caller changed them since the bus was made.
    std::vector<std::string> env;
    bool havePreload = false, haveAsan = false;
    for (char** e = environ; *e; ++e) {
        std::string s = *e;
        if (s.rfind("UMOCKDEV_DIR=", 0) == 0)
            continue;
        if (s.rfind("ASAN_OPTIONS=", 0) == 0) {
            // An ASan-built child must accept the preload in front of it.
            s += ":verify_asan_link_order=0";
            haveAsan = true;
        }
        if (s.rfind("LD_PRELOAD=", 0) == 0) {
            havePreload = s.find("libumockdev-preload") != std::string::npos;
            if (!havePreload)
                s = "LD_PRELOAD=libumockdev-preload.so.0:" + s.substr(11);
            havePreload = true;
        }
        env.push_back(s);
    }
    if (!havePreload)
        env.push_back("LD_PRELOAD=libumockdev-preload.so.0");
    if (!haveAsan)
        env.push_back("ASAN_OPTIONS=verify_asan_link_order=0");
    env.push_back("UMOCKDEV_DIR=" + rootDir());

    std::vector<char*> cargv, cenv;
    for (const auto& a : argv)
        cargv.push_back(const_cast<char*>(a.c_str()));
    cargv.push_back(nullptr);
    for (const auto& e : env)
        cenv.push_back(const_cast<char*>(e.c_str()));
    cenv.push_back(nullptr);
    pid_t pid = -1;
    int rc = posix_spawnp(&pid, cargv[0], nullptr, nullptr, cargv.data(), cenv.data());
    if (rc != 0) {
        errno = rc;
        return -1;
    }
    return pid;
}

int UsbBus::waitChild(pid_t pid, int timeoutMs) {
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    for (;;) {
        int status = 0;
        pid_t r = waitpid(pid, &status, WNOHANG);
        if (r == pid)
            return status;
        if (r < 0 && errno != EINTR)
            return -1;
        if (std::chrono::steady_clock::now() >= end) {
            kill(pid, SIGKILL);
            waitpid(pid, &status, 0);
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
}

} // namespace kssim
