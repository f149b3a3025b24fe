// Module discovery on the USB bus and on the local IPv4 networks, and the
// linkSpec record helpers.
//
// Nothing here is shared between calls: each USB enumeration uses its own
// libusb context and each TCP/IP enumeration its own sockets, so discovery
// may run on any thread while links are open.
#include "qDiscovery.h"

#include <arpa/inet.h>
#include <errno.h>
#include <ifaddrs.h>
#include <libusb.h>
#include <netinet/in.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <mutex>

#include "qTime.h"
#include "unix_link_transport.h"

namespace {

// The USB serial string of a module is its serial number as eight hexadecimal
// digits.
constexpr int kSerialChars = 8;
constexpr int kSerialBufferSize = 32;

// Upper bounds on one TCP/IP enumeration, so that peers that keep replying
// cannot keep it going for ever: replies taken in, and overall time.
constexpr int kMaxReplies = 1024;
constexpr unsigned long kMaxEnumerationMs = 30000;

// Reply layout: offsets into the 16-byte reply.
constexpr size_t kReplyAddress = 1;
constexpr size_t kReplyPort = 2;
constexpr size_t kReplySerial = 4;
constexpr size_t kReplyModel = 12;
// A reply must at least reach the end of the serial number to name a module.
constexpr size_t kReplyMinimum = kReplySerial + 4;

struct Counter {
    qDiscoveryCallback callback;
    void* ref;
    uint8_t count;
};

// Offers one record to the callback; returns whether to go on.
bool sOffer(Counter* c, const linkSpec* spec) {
    bool success = false;
    bool goOn = c->callback(spec, &success, c->ref);
    if (success && c->count < UINT8_MAX)
        c->count++;
    return goOn;
}

// Reads exactly eight hexadecimal digits; false for anything else.
bool sParseSerial(const char* text, int length, uint32_t* serial) {
    if (length != kSerialChars)
        return false;
    uint32_t value = 0;
    for (int i = 0; i < kSerialChars; i++) {
        char ch = text[i];
        uint32_t digit;
        if (ch >= '0' && ch <= '9')
            digit = static_cast<uint32_t>(ch - '0');
        else if (ch >= 'A' && ch <= 'F')
            digit = static_cast<uint32_t>(ch - 'A' + 10);
        else if (ch >= 'a' && ch <= 'f')
            digit = static_cast<uint32_t>(ch - 'a' + 10);
        else
            return false;
        value = (value << 4) | digit;
    }
    *serial = value;
    return true;
}

// The serial string of a device this process may not open (no permission on
// its node, or held by another driver), as the kernel shows it in sysfs to
// everyone: its length, 0 when it cannot be read. Such a module is still
// listed, so that connecting to it says why it cannot be used.
int sSysfsSerial(libusb_device* dev, unsigned char* text, size_t size) {
    uint8_t ports[8];
    int depth = libusb_get_port_numbers(dev, ports, sizeof ports);
    if (depth <= 0)
        return 0;
    char path[96];
    int at = snprintf(path, sizeof path, "/sys/bus/usb/devices/%u-%u",
                      unsigned(libusb_get_bus_number(dev)), unsigned(ports[0]));
    for (int i = 1; i < depth && at > 0 && size_t(at) < sizeof path; i++)
        at += snprintf(path + at, sizeof path - size_t(at), ".%u", unsigned(ports[i]));
    if (at <= 0 || size_t(at) >= sizeof path - 8)
        return 0;
    strcat(path, "/serial");
    FILE* f = fopen(path, "re");
    if (!f)
        return 0;
    size_t n = fread(text, 1, size - 1, f);
    fclose(f);
    while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\0'))
        n--;
    text[n] = 0;
    return static_cast<int>(n);
}

// Builds the record of one matching USB device; false when its serial string
// cannot be read or is not eight hexadecimal digits.
bool sDescribeUSB(libusb_device* dev, const libusb_device_descriptor& desc, linkSpec* spec) {
    unsigned char text[kSerialBufferSize];
    memset(text, 0, sizeof text);
    int n = 0;
    libusb_device_handle* handle = nullptr;
    if (libusb_open(dev, &handle) != 0 || !handle) {
        n = sSysfsSerial(dev, text, sizeof text);
    } else {
        if (desc.iSerialNumber != 0)
            n = libusb_get_string_descriptor_ascii(handle, desc.iSerialNumber, text,
                                                   sizeof text - 1);
        libusb_close(handle);
    }
    uint32_t serial = 0;
    if (n <= 0 || !sParseSerial(reinterpret_cast<const char*>(text), n, &serial))
        return false;
    memset(spec, 0, sizeof *spec);
    spec->transport = linkTypeUSB;
    spec->serialNumber = serial;
    spec->moduleAddress = 0;
    spec->routerAddress = 0;
    spec->routerSerialNumber = 0;
    spec->modelCode = desc.idProduct & 0xFF;
    spec->link.usb.usbSerial = serial;
    return true;
}

void sEnumerateUSB(Counter* c) {
    libusb_context* ctx = nullptr;
    if (libusb_init(&ctx) != 0)
        return;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(ctx, &list);
    bool goOn = true;
    for (ssize_t i = 0; goOn && i < n; i++) {
        libusb_device_descriptor desc;
        if (libusb_get_device_descriptor(list[i], &desc) != 0)
            continue;
        if (desc.idVendor != qDISCOVERY_USB_VENDOR ||
            desc.idProduct >= qDISCOVERY_USB_PRODUCT_LIMIT)
            continue;
        linkSpec spec;
        if (sDescribeUSB(list[i], desc, &spec))
            goOn = sOffer(c, &spec);
    }
    if (n >= 0)
        libusb_free_device_list(list, 1);
    libusb_exit(ctx);
}

// The listener on the reply port; -1 when it cannot be set up.
int sOpenListener() {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return -1;
    sockaddr_in local;
    memset(&local, 0, sizeof local);
    local.sin_family = AF_INET;
    local.sin_addr.s_addr = htonl(INADDR_ANY);
    local.sin_port = htons(qDISCOVERY_REPLY_PORT);
    timeval timeout;
    timeout.tv_sec = qDISCOVERY_REPLY_TIMEOUT_MS / 1000;
    timeout.tv_usec = (qDISCOVERY_REPLY_TIMEOUT_MS % 1000) * 1000;
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0 ||
        setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// Sends the request once through the interface with this IPv4 address
// (network byte order; 0 lets the system choose). Returns whether it went out.
bool sSendRequest(uint32_t interfaceAddress) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    if (fd < 0)
        return false;
    int on = 1;
    in_addr iface;
    iface.s_addr = interfaceAddress;
    sockaddr_in group;
    memset(&group, 0, sizeof group);
    group.sin_family = AF_INET;
    group.sin_port = htons(qDISCOVERY_REQUEST_PORT);
    inet_pton(AF_INET, qDISCOVERY_GROUP, &group.sin_addr);
    uint8_t request[qDISCOVERY_PACKET_SIZE];
    memset(request, 0, sizeof request);
    request[0] = 0x01;
    bool sent = setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on) == 0 &&
                setsockopt(fd, IPPROTO_IP, IP_MULTICAST_IF, &iface, sizeof iface) == 0 &&
                sendto(fd, request, sizeof request, 0, reinterpret_cast<sockaddr*>(&group),
                       sizeof group) == static_cast<ssize_t>(sizeof request);
    close(fd);
    return sent;
}

// Sends the request through every IPv4 interface but 0.0.0.0 and 127.0.0.1,
// or through the default interface when the interfaces cannot be listed.
bool sBroadcastRequest() {
    ifaddrs* list = nullptr;
    if (getifaddrs(&list) != 0)
        return sSendRequest(0);
    bool sent = false;
    const uint32_t loopback = htonl(INADDR_LOOPBACK);
    for (ifaddrs* ifa = list; ifa; ifa = ifa->ifa_next) {
        if (!ifa->ifa_addr || ifa->ifa_addr->sa_family != AF_INET)
            continue;
        uint32_t address = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr;
        if (address == 0 || address == loopback)
            continue;
        if (sSendRequest(address))
            sent = true;
    }
    freeifaddrs(list);
    return sent;
}

uint32_t sLittle32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

// Replies come to one fixed port, which one listener at a time can hold: a
// second search in the process would find nothing. Searches from several
// threads (a fleet update connecting its modules) take turns; a search that
// finds its module stops at its reply, so a turn is short. The callbacks run
// under it and must not search themselves.
std::mutex gSearchLock;

void sEnumerateTCPIP(Counter* c) {
    std::lock_guard<std::mutex> turn(gSearchLock);
    int listener = sOpenListener();
    if (listener < 0)
        return;
    if (!sBroadcastRequest()) {
        close(listener);
        return;
    }
    bool goOn = true;
    unsigned long start = qTime_GetMSTicks();
    for (int replies = 0; goOn && replies < kMaxReplies; replies++) {
        if (qTime_GetMSTicks() - start > kMaxEnumerationMs)
            break;
        uint8_t reply[qDISCOVERY_PACKET_SIZE];
        memset(reply, 0, sizeof reply);
        reply[kReplyModel] = qDISCOVERY_UNKNOWN_MODEL;
        sockaddr_in from;
        socklen_t fromLength = sizeof from;
        memset(&from, 0, sizeof from);
        ssize_t n = recvfrom(listener, reply, sizeof reply, 0, reinterpret_cast<sockaddr*>(&from),
                             &fromLength);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break; // the receive time-out ends the enumeration
        if (static_cast<size_t>(n) < kReplyMinimum)
            continue; // too short to name a module
        linkSpec spec;
        memset(&spec, 0, sizeof spec);
        spec.transport = linkTypeTCPIP;
        spec.serialNumber = sLittle32(reply + kReplySerial);
        spec.routerSerialNumber = spec.serialNumber;
        spec.moduleAddress = reply[kReplyAddress];
        spec.routerAddress = reply[kReplyAddress];
        spec.modelCode = reply[kReplyModel];
        spec.link.tcpip.hostAddress = from.sin_addr.s_addr;
        spec.link.tcpip.tcpPort = static_cast<uint32_t>(reply[kReplyPort]) |
                                  static_cast<uint32_t>(reply[kReplyPort + 1]) << 8;
        goOn = sOffer(c, &spec);
    }
    close(listener);
}

struct Search {
    linkSpec* found; // the prepared record, filled on a match
    bool matchSerial;
};

// Copies the first module with the wanted serial number (or, for a first
// module search, any non-zero one) into the prepared record and stops.
bool cbSearch(const linkSpec* spec, bool* success, void* ref) {
    Search* search = static_cast<Search*>(ref);
    bool match = search->matchSerial ? spec->serialNumber == search->found->serialNumber
                                     : spec->serialNumber != 0;
    if (!match)
        return true;
    *search->found = *spec;
    *success = true;
    return false;
}

linkSpec* sFind(linkType type, uint32_t serialNumber, bool matchSerial) {
    linkSpec* spec = qLinkSpec_Create(type);
    if (!spec)
        return nullptr;
    spec->serialNumber = serialNumber;
    spec->moduleAddress = 0;
    spec->routerAddress = 0;
    Search search = {spec, matchSerial};
    if (qDiscovery_EnumerateModules(type, cbSearch, &search) == 0)
        (void)qLinkSpec_Destroy(&spec);
    return spec;
}

} // namespace

namespace ks_discovery {

uint8_t enumerateUSB(qDiscoveryCallback callback, void* ref) {
    Counter c = {callback, ref, 0};
    sEnumerateUSB(&c);
    return c.count;
}

uint8_t enumerateTCPIP(qDiscoveryCallback callback, void* ref) {
    Counter c = {callback, ref, 0};
    sEnumerateTCPIP(&c);
    return c.count;
}

} // namespace ks_discovery

uint8_t qDiscovery_EnumerateModules(linkType type, qDiscoveryCallback callback, void* ref) {
    const ks_link::Transport* transport = ks_link::transportFor(type);
    if (!callback || !transport || !transport->enumerate)
        return 0;
    return transport->enumerate(callback, ref);
}

linkSpec* qDiscovery_FindModule(linkType type, uint32_t serialNumber) {
    return sFind(type, serialNumber, true);
}

linkSpec* qDiscovery_FindFirstModule(linkType type) {
    return sFind(type, 0, false);
}

linkSpec* qLinkSpec_Create(linkType type) {
    linkSpec* spec = static_cast<linkSpec*>(calloc(1, sizeof(linkSpec)));
    if (spec)
        spec->transport = type;
    return spec;
}

linkSpec* qLinkSpec_Copy(linkSpec spec) {
    linkSpec* copy = static_cast<linkSpec*>(malloc(sizeof(linkSpec)));
    if (copy)
        *copy = spec;
    return copy;
}

qErr qLinkSpec_Destroy(linkSpec** spec) {
    if (!spec || !*spec)
        return qErrParam;
    free(*spec);
    *spec = nullptr;
    return qErrNone;
}
