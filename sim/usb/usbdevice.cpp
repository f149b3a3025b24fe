// usbdevfs request handling of one emulated device.
//
// Every open file descriptor of the device node is one umockdev client with
// its own URB queues (URBs of one descriptor are never reaped through
// another). Control URBs on endpoint 0 and accepted OUT URBs complete when
// submitted; IN URBs complete when the far end has bytes, checked whenever
// the client reaps. libusb reaps with REAPURBNDELAY in a loop while it
// waits, so "nothing yet" is EAGAIN and time-outs are the host's DISCARDURB.
#include <dirent.h>
#include <linux/usbdevice_fs.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>

#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "usbdevice_impl.h"

namespace kssim {
namespace {

bool debugOn() {
    static const bool on = std::getenv("KS_USBSIM_DEBUG") != nullptr;
    return on;
}

gboolean handleIoctlCb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    static_cast<UsbDevice::Impl*>(self)->onIoctl(client);
    return TRUE;
}

void vanishedCb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    if (debugOn())
        std::fprintf(stderr, "usbsim: client %p vanished\n", static_cast<void*>(client));
    static_cast<UsbDevice::Impl*>(self)->onVanished(client);
}

void connectedCb(UMockdevIoctlBase*, UMockdevIoctlClient* client, gpointer self) {
    auto* d = static_cast<UsbDevice::Impl*>(self);
    if (debugOn())
        std::fprintf(stderr, "usbsim: client %p connected\n", static_cast<void*>(client));
    std::lock_guard<std::mutex> lock(d->mu);
    d->attach(client);
}

// The accepted (server) ends of connections to the socket that serves
// `devnode`, leaving out `taken`. The client end of an open made in this
// process has no name, the listener accepts connections: neither counts.
std::vector<int> serverSockets(const std::string& devnode, const std::set<int>& taken) {
    std::vector<int> found;
    DIR* dir = opendir("/proc/self/fd");
    if (!dir)
        return found;
    while (dirent* e = readdir(dir)) {
        const int fd = std::atoi(e->d_name);
        struct stat st {};
        if (e->d_name[0] == '.' || fd == dirfd(dir) || taken.count(fd) || fstat(fd, &st) != 0 ||
            !S_ISSOCK(st.st_mode))
            continue;
        int listening = 1;
        socklen_t len = sizeof listening;
        sockaddr_un a{};
        socklen_t alen = sizeof a;
        if (getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &listening, &len) != 0 || listening ||
            getsockname(fd, reinterpret_cast<sockaddr*>(&a), &alen) != 0 ||
            a.sun_family != AF_UNIX || alen <= offsetof(sockaddr_un, sun_path))
            continue;
        const std::string path(a.sun_path,
                               strnlen(a.sun_path, alen - offsetof(sockaddr_un, sun_path)));
        if (path.size() >= devnode.size() &&
            path.compare(path.size() - devnode.size(), devnode.size(), devnode) == 0)
            found.push_back(fd);
    }
    closedir(dir);
    return found;
}

// True when the process at the other end of the connection has gone.
bool peerGone(int fd) {
    pollfd p{fd, POLLRDHUP, 0};
    return poll(&p, 1, 0) == 1 && (p.revents & (POLLHUP | POLLERR | POLLRDHUP | POLLNVAL));
}

// Set when reading a client's memory failed because its connection broke:
// the process died during its request (every request of one ioctl is
// handled on umockdev's one worker thread).
thread_local bool tClientLost = false;

// Resolves `len` bytes that the pointer at `offset` of `data` points to.
UMockdevIoctlData* resolve(UMockdevIoctlData* data, size_t offset, size_t len) {
    GError* error = nullptr;
    UMockdevIoctlData* r = umockdev_ioctl_data_resolve(data, offset, len, &error);
    if (!r) {
        // A failure of the connection itself (GIO's error domain, named here
        // to need no link with GIO).
        if (error && error->domain == g_quark_from_static_string("g-io-error-quark"))
            tClientLost = true;
        if (debugOn())
            std::fprintf(stderr, "usbsim: cannot read client memory: %s\n",
                         error ? error->message : "?");
        if (error)
            g_error_free(error);
    }
    return r;
}

usbdevfs_urb* urbOf(SimUrb* u) {
    return reinterpret_cast<usbdevfs_urb*>(u->urb->data);
}

// Reads the 32-bit value an ioctl argument points to (interface, endpoint).
bool argValue32(UMockdevIoctlClient* client, unsigned* value, UMockdevIoctlData** held) {
    UMockdevIoctlData* d = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(unsigned));
    if (!d)
        return false;
    std::memcpy(value, d->data, sizeof(unsigned));
    *held = d;
    return true;
}

} // namespace

UsbDevice::Impl::~Impl() {
    while (!clients.empty())
        drop(clients.begin()->first);
    if (handler)
        g_object_unref(handler);
}

void UsbDevice::Impl::connectHandler() {
    handler = umockdev_ioctl_base_new();
    g_signal_connect(handler, "handle-ioctl", G_CALLBACK(handleIoctlCb), this);
    g_signal_connect(handler, "client-connected", G_CALLBACK(connectedCb), this);
    g_signal_connect(handler, "client-vanished", G_CALLBACK(vanishedCb), this);
}

void UsbDevice::Impl::freeUrb(SimUrb* u) {
    if (u->buf)
        g_object_unref(u->buf);
    if (u->urb)
        g_object_unref(u->urb);
    delete u;
}

void UsbDevice::Impl::onVanished(UMockdevIoctlClient* client) {
    std::lock_guard<std::mutex> lock(mu);
    drop(client);
}

SimClient& UsbDevice::Impl::track(UMockdevIoctlClient* client) {
    auto it = clients.find(client);
    if (it == clients.end()) {
        g_object_ref(client);
        it = clients.emplace(client, SimClient{}).first;
    }
    return it->second;
}

void UsbDevice::Impl::drop(UMockdevIoctlClient* client) {
    auto it = clients.find(client);
    if (it == clients.end())
        return;
    for (SimUrb* u : it->second.pending)
        freeUrb(u);
    for (SimUrb* u : it->second.completed)
        freeUrb(u);
    clients.erase(it);
    for (auto c = claims.begin(); c != claims.end();) {
        if (c->second == client)
            c = claims.erase(c);
        else
            ++c;
    }
    g_object_unref(client);
    cv.notify_all();
}

void UsbDevice::Impl::purge() {
    // umockdev marks a client disconnected when its descriptor is closed;
    // like the kernel, that releases its interfaces and discards its URBs.
    std::vector<UMockdevIoctlClient*> closed;
    for (auto& c : clients)
        if (!umockdev_ioctl_client_get_connected(c.first))
            closed.push_back(c.first);
    for (UMockdevIoctlClient* c : closed)
        drop(c);
}

void UsbDevice::Impl::attach(UMockdevIoctlClient* client) {
    // umockdev reports a client as soon as it accepted its connection, on
    // its one thread: the single unclaimed server socket of this device is
    // the client's. With more (two opens at once), the client stays without
    // one and is only dropped when umockdev notices its end.
    std::set<int> taken;
    for (const auto& c : clients)
        if (c.second.fd >= 0)
            taken.insert(c.second.fd);
    SimClient& sc = track(client);
    std::vector<int> fds = serverSockets(devnode, taken);
    if (fds.size() == 1)
        sc.fd = fds[0];
}

void UsbDevice::Impl::reapDead() {
    // umockdev stops reading a connection that broke while it answered (a
    // process killed with a transfer under way) and leaves it open: such a
    // client would hold its claims for ever. Its connection stays open (it
    // can only be aborted during a request of its own) but is never used.
    std::vector<UMockdevIoctlClient*> dead;
    for (const auto& c : clients)
        if (c.second.fd >= 0 && peerGone(c.second.fd))
            dead.push_back(c.first);
    for (UMockdevIoctlClient* c : dead)
        drop(c);
}

void UsbDevice::Impl::onIoctl(UMockdevIoctlClient* client) {
    const unsigned long req = umockdev_ioctl_client_get_request(client);
    long res = 0;
    int err = 0;
    bool completedByReap = false;
    Deliveries out, reports;
    std::function<void(const uint8_t*, size_t)> sink, reportSink;
    tClientLost = false;
    {
        std::lock_guard<std::mutex> lock(mu);
        purge();
        SimClient& sc = track(client);
        if (req == USBDEVFS_SUBMITURB)
            res = submit(client, sc, &err, out);
        else if (req == USBDEVFS_REAPURBNDELAY || req == USBDEVFS_REAPURB)
            res = reap(client, sc, &err, &completedByReap, out);
        else if (req == USBDEVFS_DISCARDURB)
            res = discard(client, sc, &err);
        else
            res = simpleRequest(client, req, &err);
        if (tClientLost) {
            // A process killed while the device served its request: umockdev
            // keeps the broken connection open, so it would hold its claims
            // for good. Release them now, as the kernel does at exit, and
            // close the connection; there is no one to answer. What the
            // device already took from it still arrives.
            drop(client);
        }
        if (!out.empty()) {
            sink = hostWrite;
            if (sink) {
                ++hostWriteCalls;
                hostWriteThread = std::this_thread::get_id();
            } else {
                for (const auto& chunk : out)
                    fromHost.insert(fromHost.end(), chunk.begin(), chunk.end());
                out.clear();
            }
            cv.notify_all();
        }
        if (!setReportsDue.empty()) {
            reports.swap(setReportsDue);
            reportSink = setReport;
        }
    }
    for (const auto& report : reports)
        reportSink(report.data(), report.size());
    if (sink) {
        for (const auto& chunk : out)
            sink(chunk.data(), chunk.size());
        std::lock_guard<std::mutex> lock(mu);
        --hostWriteCalls;
        cv.notify_all();
    }
    if (tClientLost)
        umockdev_ioctl_client_abort(client);
    else if (!completedByReap)
        umockdev_ioctl_client_complete(client, res, err);
    if (debugOn())
        std::fprintf(stderr, "usbsim %s: client %p ioctl 0x%lx -> %ld errno %d\n", devnode.c_str(),
                     static_cast<void*>(client), req, res, err);
}

long UsbDevice::Impl::simpleRequest(UMockdevIoctlClient* client, unsigned long req, int* err) {
    if (gone) {
        *err = ENODEV;
        return -1;
    }
    UMockdevIoctlData* held = nullptr;
    unsigned value = 0;
    long res = 0;
    if (req == USBDEVFS_GET_CAPABILITIES) {
        held = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(uint32_t));
        if (!held) {
            *err = EFAULT;
            return -1;
        }
        const uint32_t caps = USBDEVFS_CAP_ZERO_PACKET | USBDEVFS_CAP_BULK_CONTINUATION |
                              USBDEVFS_CAP_NO_PACKET_SIZE_LIM | USBDEVFS_CAP_REAP_AFTER_DISCONNECT;
        std::memcpy(held->data, &caps, sizeof caps);
    } else if (req == USBDEVFS_CLAIMINTERFACE || req == USBDEVFS_RELEASEINTERFACE) {
        if (!argValue32(client, &value, &held)) {
            *err = EFAULT;
            return -1;
        }
        bool exists = false;
        for (const auto& i : cfg.interfaces)
            exists = exists || i.number == value;
        auto owner = claims.find(static_cast<int>(value));
        if (!exists) {
            *err = ENOENT;
            res = -1;
        } else if (req == USBDEVFS_CLAIMINTERFACE) {
            if (owner != claims.end() && owner->second != client) {
                reapDead();
                owner = claims.find(static_cast<int>(value));
            }
            if (heldElsewhere || (owner != claims.end() && owner->second != client)) {
                *err = EBUSY;
                res = -1;
            } else {
                claims[static_cast<int>(value)] = client;
            }
        } else if (owner == claims.end() || owner->second != client) {
            *err = EINVAL;
            res = -1;
        } else {
            claims.erase(owner);
        }
    } else if (req == USBDEVFS_CLEAR_HALT || req == USBDEVFS_RESETEP) {
        if (!argValue32(client, &value, &held)) {
            *err = EFAULT;
            return -1;
        }
        if (req == USBDEVFS_CLEAR_HALT && clearHaltFails) {
            *err = EIO;
            res = -1;
        } else {
            halted.erase(static_cast<uint8_t>(value));
            if (req == USBDEVFS_CLEAR_HALT)
                ++clearHalts;
        }
    } else if (req == USBDEVFS_GET_SPEED) {
        res = 2; // full speed
    } else if (req == USBDEVFS_RESET || req == USBDEVFS_SETCONFIGURATION ||
               req == USBDEVFS_SETINTERFACE) {
        res = 0;
    } else if (req == USBDEVFS_GETDRIVER) {
        *err = ENODATA; // no kernel driver bound
        res = -1;
    } else {
        *err = ENOTTY;
        res = -1;
    }
    if (held)
        g_object_unref(held);
    return res;
}

const UsbInterfaceDesc* UsbDevice::Impl::interfaceOf(uint8_t endpoint) const {
    for (const auto& i : cfg.interfaces)
        for (const auto& e : i.endpoints)
            if (e.address == endpoint)
                return &i;
    return nullptr;
}

long UsbDevice::Impl::submit(UMockdevIoctlClient* client, SimClient& sc, int* err,
                             Deliveries& out) {
    if (gone) {
        *err = ENODEV;
        return -1;
    }
    UMockdevIoctlData* arg = umockdev_ioctl_client_get_arg(client);
    unsigned long addr = 0;
    std::memcpy(&addr, arg->data, sizeof addr);
    auto* u = new SimUrb;
    u->addr = addr;
    u->urb = resolve(arg, 0, sizeof(usbdevfs_urb));
    if (!u->urb) {
        freeUrb(u);
        *err = EFAULT;
        return -1;
    }
    usbdevfs_urb* k = urbOf(u);
    u->type = k->type;
    u->endpoint = k->endpoint;
    if (k->buffer_length < 0 || k->buffer_length > (1 << 20) || k->type == USBDEVFS_URB_TYPE_ISO) {
        freeUrb(u);
        *err = EINVAL;
        return -1;
    }
    u->length = static_cast<size_t>(k->buffer_length);
    if (u->length > 0) {
        u->buf = resolve(u->urb, offsetof(usbdevfs_urb, buffer), u->length);
        if (!u->buf) {
            freeUrb(u);
            *err = EFAULT;
            return -1;
        }
    }
    if (u->type == USBDEVFS_URB_TYPE_CONTROL) {
        if (u->length < 8) {
            freeUrb(u);
            *err = EINVAL;
            return -1;
        }
        sc.pending.push_back(u);
        control(sc, u);
        return 0;
    }
    const UsbInterfaceDesc* intf = interfaceOf(u->endpoint);
    if (!intf) {
        freeUrb(u);
        *err = ENOENT;
        return -1;
    }
    auto owner = claims.find(intf->number);
    if (owner != claims.end() && owner->second != client) {
        reapDead();
        owner = claims.find(intf->number);
    }
    if (heldElsewhere || (owner != claims.end() && owner->second != client)) {
        freeUrb(u);
        *err = EBUSY;
        return -1;
    }
    claims[intf->number] = client; // the kernel claims implicitly, too
    sc.pending.push_back(u);
    const bool in = (u->endpoint & 0x80) != 0;
    int& stallCount = in ? stallInCount : stallOutCount;
    if (stallCount > 0) {
        --stallCount;
        halted.insert(u->endpoint);
    }
    if (halted.count(u->endpoint)) {
        if (!in)
            outLog.push_back({u->length, 0, -EPIPE});
        finish(sc, u, -EPIPE, 0);
        return 0;
    }
    if (!in) {
        if (partialCount > 0) {
            --partialCount;
            acceptOut(u, partialBytes < u->length ? partialBytes : u->length, out);
            u->partialNak = true;
        } else if (!outNak) {
            acceptOut(u, u->length, out);
            outLog.push_back({u->length, u->length, 0});
            finish(sc, u, 0, u->length);
        }
    }
    return 0;
}

void UsbDevice::Impl::acceptOut(SimUrb* u, size_t n, Deliveries& out) {
    if (n <= u->accepted)
        return;
    const uint8_t* b = u->buf ? u->buf->data : nullptr;
    out.emplace_back(b + u->accepted, b + n);
    u->accepted = n;
}

void UsbDevice::Impl::control(SimClient& sc, SimUrb* u) {
    uint8_t* b = u->buf->data;
    const uint8_t type = b[0];
    const uint8_t request = b[1];
    const uint16_t value = static_cast<uint16_t>(b[2] | (b[3] << 8));
    const uint16_t wlen = static_cast<uint16_t>(b[6] | (b[7] << 8));
    const size_t room = u->length - 8 < wlen ? u->length - 8 : wlen;
    std::vector<uint8_t> reply;
    bool ok = true;
    if (type == 0x80 && request == 6) { // GET_DESCRIPTOR
        const uint8_t kind = static_cast<uint8_t>(value >> 8);
        if (kind == 1)
            reply = deviceDesc;
        else if (kind == 2 && (value & 0xFF) == 0)
            reply = configDesc;
        else if (kind == 3)
            reply = buildStringDescriptor(cfg, static_cast<uint8_t>(value & 0xFF));
        ok = !reply.empty();
    } else if (type == 0x81 && request == 6 && (value >> 8) == 0x22) { // HID report descriptor
        const uint16_t number = static_cast<uint16_t>(b[4] | (b[5] << 8));
        for (const auto& i : cfg.interfaces)
            if (i.number == number && !i.reportDescriptor.empty())
                reply = i.reportDescriptor;
        ok = !reply.empty();
    } else if (type == 0x80 && request == 8) { // GET_CONFIGURATION
        reply = {1};
    } else if (type == 0x80 && request == 0) { // GET_STATUS
        reply = {0, 0};
    } else if (type == 0x21 && request == 0x09) { // HID SET_REPORT
        if (setReport) {
            // Numbered reports carry their number as the first data byte;
            // report 0 gets it in front, as hidraw writes have it.
            std::vector<uint8_t> report(b + 8, b + 8 + room);
            if ((value & 0xFF) == 0)
                report.insert(report.begin(), 0);
            setReportsDue.push_back(std::move(report));
        }
    } else if ((type & 0x80) == 0) {
        ok = true; // SET_* and vendor OUT requests are accepted and ignored
    } else {
        ok = false;
    }
    if (!ok) {
        finish(sc, u, -EPIPE, 0);
        return;
    }
    if ((type & 0x80) == 0) {
        finish(sc, u, 0, room); // an OUT data stage is taken whole
        return;
    }
    const size_t n = reply.size() < room ? reply.size() : room;
    std::memcpy(b + 8, reply.data(), n);
    finish(sc, u, 0, n);
}

bool UsbDevice::Impl::queueInReport(const std::vector<uint8_t>& report) {
    std::lock_guard<std::mutex> lock(mu);
    if (gone || claims.count(0) == 0)
        return false;
    inReports.push_back(report);
    cv.notify_all();
    return true;
}

void UsbDevice::Impl::finish(SimClient& sc, SimUrb* u, int status, size_t actual) {
    usbdevfs_urb* k = urbOf(u);
    k->status = status;
    k->actual_length = static_cast<int>(actual);
    for (auto it = sc.pending.begin(); it != sc.pending.end(); ++it) {
        if (*it == u) {
            sc.pending.erase(it);
            break;
        }
    }
    sc.completed.push_back(u);
}

void UsbDevice::Impl::progress(SimClient& sc, Deliveries& out) {
    std::vector<SimUrb*> snapshot(sc.pending.begin(), sc.pending.end());
    for (SimUrb* u : snapshot) {
        if (gone) {
            finish(sc, u, -ESHUTDOWN, u->accepted);
            continue;
        }
        const bool in = (u->endpoint & 0x80) != 0;
        if (in && u->type == USBDEVFS_URB_TYPE_INTERRUPT && !inReports.empty()) {
            const std::vector<uint8_t>& r = inReports.front();
            const size_t n = r.size() < u->length ? r.size() : u->length;
            std::memcpy(u->buf->data, r.data(), n);
            inReports.pop_front();
            finish(sc, u, 0, n);
        } else if (in && !toHost.empty()) {
            const size_t n = toHost.size() < u->length ? toHost.size() : u->length;
            for (size_t i = 0; i < n; ++i) {
                u->buf->data[i] = toHost.front();
                toHost.pop_front();
            }
            finish(sc, u, 0, n);
        } else if (!in && !u->partialNak && !outNak && u->type != USBDEVFS_URB_TYPE_CONTROL) {
            acceptOut(u, u->length, out);
            outLog.push_back({u->length, u->length, 0});
            finish(sc, u, 0, u->length);
        }
    }
}

long UsbDevice::Impl::reap(UMockdevIoctlClient* client, SimClient& sc, int* err, bool* done,
                           Deliveries& out) {
    progress(sc, out);
    if (sc.completed.empty()) {
        *err = gone ? ENODEV : EAGAIN;
        return -1;
    }
    SimUrb* u = sc.completed.front();
    UMockdevIoctlData* ptr = resolve(umockdev_ioctl_client_get_arg(client), 0, sizeof(void*));
    if (!ptr) {
        *err = EFAULT;
        return -1;
    }
    sc.completed.pop_front();
    umockdev_ioctl_data_set_ptr(ptr, 0, u->urb);
    umockdev_ioctl_client_complete(client, 0, 0);
    *done = true;
    g_object_unref(ptr);
    freeUrb(u);
    return 0;
}

long UsbDevice::Impl::discard(UMockdevIoctlClient* client, SimClient& sc, int* err) {
    unsigned long addr = 0;
    std::memcpy(&addr, umockdev_ioctl_client_get_arg(client)->data, sizeof addr);
    for (SimUrb* u : sc.pending) {
        if (u->addr != addr)
            continue;
        if ((u->endpoint & 0x80) == 0 && u->type != USBDEVFS_URB_TYPE_CONTROL)
            outLog.push_back({u->length, u->accepted, -ENOENT});
        finish(sc, u, -ENOENT, u->accepted);
        return 0;
    }
    *err = EINVAL; // already completed (or never submitted here)
    return -1;
}

} // namespace kssim
