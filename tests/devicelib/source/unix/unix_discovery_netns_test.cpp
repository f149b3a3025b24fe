// TCP/IP discovery against test responders, entirely inside private network
// namespaces: the test process moves into a new network namespace at start,
// and each test forks a responder into a second one, joined to the first by
// a veth pair (v0 here, v1 there). Nothing touches the host's interfaces.
// Needs root (CAP_NET_ADMIN); skips otherwise.
#include <arpa/inet.h>
#include <errno.h>
#include <gtest/gtest.h>
#include <net/if.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <map>
#include <string>
#include <vector>

#include "bytes.h"
#include "link_peer.h"
#include "qDiscovery.h"
#include "wait.h"

using linktest::Bytes;

namespace {

const char* kHostAddress = "10.77.0.1";

// One responder: the address it answers from and the reply it sends to each
// request (nothing when empty).
struct Responder {
    std::string address;
    Bytes reply;
};

bool run(const std::string& command) {
    std::string quiet = command + " >/dev/null 2>&1";
    return system(quiet.c_str()) == 0;
}

bool readByte(int fd, char want, int timeoutMs) {
    pollfd p = {fd, POLLIN, 0};
    char c = 0;
    return poll(&p, 1, timeoutMs) == 1 && ::read(fd, &c, 1) == 1 && c == want;
}

// Child side: answers requests on the group from each responder's address,
// for at most 15 s. Requests that are not 16 bytes starting with 01 get no
// answer.
[[noreturn]] void serveResponders(const std::vector<Responder>& responders, int toParent) {
    std::vector<int> listeners, senders;
    for (const Responder& r : responders) {
        int l = socket(AF_INET, SOCK_DGRAM, 0);
        int on = 1;
        setsockopt(l, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
        sockaddr_in any;
        memset(&any, 0, sizeof any);
        any.sin_family = AF_INET;
        any.sin_port = htons(qDISCOVERY_REQUEST_PORT);
        ip_mreq join;
        inet_pton(AF_INET, qDISCOVERY_GROUP, &join.imr_multiaddr);
        inet_pton(AF_INET, r.address.c_str(), &join.imr_interface);
        if (bind(l, reinterpret_cast<sockaddr*>(&any), sizeof any) != 0 ||
            setsockopt(l, IPPROTO_IP, IP_ADD_MEMBERSHIP, &join, sizeof join) != 0)
            _exit(3);
        int s = socket(AF_INET, SOCK_DGRAM, 0);
        sockaddr_in self;
        memset(&self, 0, sizeof self);
        self.sin_family = AF_INET;
        inet_pton(AF_INET, r.address.c_str(), &self.sin_addr);
        if (bind(s, reinterpret_cast<sockaddr*>(&self), sizeof self) != 0)
            _exit(4);
        listeners.push_back(l);
        senders.push_back(s);
    }
    if (::write(toParent, "k", 1) != 1)
        _exit(5);
    double end = kstest::NowMs() + 15000;
    while (kstest::NowMs() < end) {
        std::vector<pollfd> fds;
        for (int l : listeners)
            fds.push_back({l, POLLIN, 0});
        if (poll(fds.data(), fds.size(), 200) <= 0)
            continue;
        for (size_t i = 0; i < fds.size(); i++) {
            if (!(fds[i].revents & POLLIN))
                continue;
            uint8_t request[64];
            sockaddr_in from;
            socklen_t fromLength = sizeof from;
            ssize_t n = recvfrom(listeners[i], request, sizeof request, 0,
                                 reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (n != qDISCOVERY_PACKET_SIZE || request[0] != 0x01 || responders[i].reply.empty())
                continue;
            from.sin_port = htons(qDISCOVERY_REPLY_PORT);
            sendto(senders[i], responders[i].reply.data(), responders[i].reply.size(), 0,
                   reinterpret_cast<sockaddr*>(&from), sizeof from);
        }
    }
    _exit(0);
}

// Waits (up to 3 s) until the interface carries traffic: a veth end has
// carrier only once its peer is up too. (Asked through a socket of this
// namespace; /sys shows the namespace it was mounted in.)
bool linkUp(const char* name) {
    int fd = socket(AF_INET, SOCK_DGRAM, 0);
    bool up = false;
    for (int i = 0; fd >= 0 && i < 300 && !up; i++) {
        ifreq r;
        memset(&r, 0, sizeof r);
        strncpy(r.ifr_name, name, IFNAMSIZ - 1);
        up = ioctl(fd, SIOCGIFFLAGS, &r) == 0 && (r.ifr_flags & IFF_RUNNING);
        if (!up)
            usleep(10000);
    }
    if (fd >= 0)
        ::close(fd);
    return up;
}

// A responder process in its own network namespace, linked to ours by veth.
class ResponderNet {
  public:
    ResponderNet(const ResponderNet&) = delete;
    ResponderNet& operator=(const ResponderNet&) = delete;
    explicit ResponderNet(const std::vector<Responder>& responders) {
        int down[2], up[2];
        if (pipe(down) != 0 || pipe(up) != 0)
            return;
        pid_ = fork();
        if (pid_ == 0) {
            ::close(down[1]);
            ::close(up[0]);
            if (unshare(CLONE_NEWNET) != 0 || ::write(up[1], "r", 1) != 1)
                _exit(1);
            if (!readByte(down[0], 'g', 5000))
                _exit(2);
            std::string setup = "ip link set lo up && ip link set v1 up";
            for (const Responder& r : responders)
                setup += " && ip addr add " + r.address + "/24 dev v1";
            setup += " && ip route add 224.0.0.0/4 dev v1";
            if (!run(setup))
                _exit(6);
            serveResponders(responders, up[1]);
        }
        ::close(down[0]);
        ::close(up[1]);
        if (pid_ > 0 && readByte(up[0], 'r', 5000)) {
            std::string pid = std::to_string(pid_);
            ok_ = run("ip link add v0 type veth peer name v1 netns " + pid) &&
                  run(std::string("ip addr add ") + kHostAddress + "/24 dev v0") &&
                  run("ip link set v0 up") && run("ip route add 224.0.0.0/4 dev v0") &&
                  ::write(down[1], "g", 1) == 1 && readByte(up[0], 'k', 5000) && linkUp("v0");
        }
        ::close(down[1]);
        ::close(up[0]);
    }
    ~ResponderNet() {
        if (pid_ > 0) {
            kill(pid_, SIGKILL);
            waitpid(pid_, nullptr, 0);
        }
        run("ip link del v0"); // normally gone with the child's namespace
    }
    bool ok() const { return ok_; }

  private:
    pid_t pid_ = -1;
    bool ok_ = false;
};

Bytes reply(uint8_t address, uint8_t port0, uint8_t port1, uint32_t serial, size_t size,
            uint8_t model) {
    Bytes r(size, 0xEE);
    const uint8_t full[16] = {0x00,
                              address,
                              port0,
                              port1,
                              static_cast<uint8_t>(serial),
                              static_cast<uint8_t>(serial >> 8),
                              static_cast<uint8_t>(serial >> 16),
                              static_cast<uint8_t>(serial >> 24),
                              0x11,
                              0x22,
                              0x33,
                              0x44,
                              model,
                              0x55,
                              0x66,
                              0x77};
    for (size_t i = 0; i < size && i < sizeof full; i++)
        r[i] = full[i];
    return r;
}

uint32_t ipv4(const std::string& text) {
    in_addr a;
    inet_pton(AF_INET, text.c_str(), &a);
    return a.s_addr;
}

struct Found {
    std::vector<linkSpec> specs;
    int calls = 0;
    int stopAfter = 0; // return false on this call (0: never)
    bool count = true; // set the success flag
};

bool cbCollect(const linkSpec* spec, bool* success, void* ref) {
    Found* f = static_cast<Found*>(ref);
    f->specs.push_back(*spec);
    f->calls++;
    *success = f->count;
    return f->stopAfter == 0 || f->calls < f->stopAfter;
}

std::map<uint32_t, linkSpec> byHost(const Found& f) {
    std::map<uint32_t, linkSpec> m;
    for (const linkSpec& s : f.specs)
        m[s.link.tcpip.hostAddress] = s;
    return m;
}

TEST(TcpipDiscovery, RepliesAreDecodedLittleEndianWithSourceAsHost) {
    struct Case {
        const char* what;
        std::string address;
        Bytes reply;
        bool reported;
        uint32_t serial, moduleAddress, model, port;
    };
    const std::vector<Case> cases = {
        {"full reply", "10.77.0.2", reply(8, 0x50, 0x00, 0x40F5849A, 16, 17), true, 0x40F5849A, 8,
         17, 80},
        {"port bytes swapped", "10.77.0.3", reply(10, 0x00, 0x50, 0x12345678, 16, 4), true,
         0x12345678, 10, 4, 20480},
        {"12-byte reply has no model", "10.77.0.4", reply(12, 0x39, 0x30, 0xCAFE0001, 12, 0), true,
         0xCAFE0001, 12, 255, 12345},
        {"13-byte reply has a model", "10.77.0.5", reply(14, 0x01, 0x00, 0xCAFE0002, 13, 21), true,
         0xCAFE0002, 14, 21, 1},
        {"7-byte reply names no module", "10.77.0.6", reply(16, 0x01, 0x00, 0xCAFE0003, 7, 21),
         false, 0, 0, 0, 0},
    };
    std::vector<Responder> responders;
    for (const Case& c : cases)
        responders.push_back({c.address, c.reply});
    ResponderNet net(responders);
    ASSERT_TRUE(net.ok()) << "could not set up the veth pair and responders";

    Found found;
    uint8_t count = qDiscovery_EnumerateModules(linkTypeTCPIP, cbCollect, &found);
    std::map<uint32_t, linkSpec> hosts = byHost(found);
    size_t reported = 0;
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string(c.what) + ", reply " + kstest::HexDump(c.reply));
        auto it = hosts.find(ipv4(c.address));
        if (!c.reported) {
            EXPECT_EQ(it, hosts.end());
            continue;
        }
        reported++;
        ASSERT_NE(it, hosts.end());
        const linkSpec& s = it->second;
        EXPECT_EQ(s.transport, linkTypeTCPIP);
        EXPECT_EQ(s.serialNumber, c.serial);
        EXPECT_EQ(s.routerSerialNumber, c.serial);
        EXPECT_EQ(s.moduleAddress, c.moduleAddress);
        EXPECT_EQ(s.routerAddress, c.moduleAddress);
        EXPECT_EQ(s.modelCode, c.model);
        EXPECT_EQ(s.link.tcpip.tcpPort, c.port);
    }
    EXPECT_EQ(found.specs.size(), reported) << "each responder answers one request";
    EXPECT_EQ(count, reported);
}

TEST(TcpipDiscovery, EndsTwoSecondsAfterTheLastReply) {
    ResponderNet net(std::vector<Responder>{{"10.77.0.2", Bytes()}});
    ASSERT_TRUE(net.ok());
    Found found;
    double start = kstest::NowMs();
    uint8_t count = qDiscovery_EnumerateModules(linkTypeTCPIP, cbCollect, &found);
    double elapsed = kstest::NowMs() - start;
    EXPECT_EQ(count, 0);
    EXPECT_EQ(found.calls, 0);
    EXPECT_GE(elapsed, 1900);
    EXPECT_LT(elapsed, 4000);
}

TEST(TcpipDiscovery, CountsOnlyModulesTheCallbackAccepts) {
    ResponderNet net({{"10.77.0.2", reply(2, 0x50, 0, 0xA0000001, 16, 17)},
                      {"10.77.0.3", reply(4, 0x50, 0, 0xA0000002, 16, 18)}});
    ASSERT_TRUE(net.ok());

    Found all;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeTCPIP, cbCollect, &all), 2);
    std::map<uint32_t, linkSpec> hosts = byHost(all);
    ASSERT_EQ(hosts.size(), 2u);
    EXPECT_EQ(hosts[ipv4("10.77.0.2")].serialNumber, 0xA0000001u);
    EXPECT_EQ(hosts[ipv4("10.77.0.3")].serialNumber, 0xA0000002u);

    struct Case {
        bool count;
        uint8_t expected;
    };
    for (Case c : {Case{true, 1}, Case{false, 0}}) {
        SCOPED_TRACE(c.count ? "callback counts and stops" : "callback stops without counting");
        Found first;
        first.stopAfter = 1;
        first.count = c.count;
        double start = kstest::NowMs();
        EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeTCPIP, cbCollect, &first), c.expected);
        EXPECT_EQ(first.calls, 1);
        EXPECT_LT(kstest::NowMs() - start, 1900) << "a stop must not wait for the receive time-out";
    }
}

TEST(TcpipDiscovery, SearchesFindBySerialNumber) {
    ResponderNet net({{"10.77.0.2", reply(2, 0x50, 0, 0x00000000, 16, 17)},
                      {"10.77.0.3", reply(4, 0x51, 0, 0xA0000002, 16, 18)}});
    ASSERT_TRUE(net.ok());

    linkSpec* spec = qDiscovery_FindModule(linkTypeTCPIP, 0xA0000002);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->transport, linkTypeTCPIP);
    EXPECT_EQ(spec->link.tcpip.hostAddress, ipv4("10.77.0.3"));
    EXPECT_EQ(spec->link.tcpip.tcpPort, 0x51u);
    EXPECT_EQ(spec->moduleAddress, 4u);
    EXPECT_EQ(qLinkSpec_Destroy(&spec), qErrNone);

    EXPECT_EQ(qDiscovery_FindModule(linkTypeTCPIP, 0x0BADF00D), nullptr);

    // The responder with serial number 0 never counts as the first module.
    spec = qDiscovery_FindFirstModule(linkTypeTCPIP);
    ASSERT_NE(spec, nullptr);
    EXPECT_EQ(spec->serialNumber, 0xA0000002u);
    (void)qLinkSpec_Destroy(&spec);
}

} // namespace

int main(int argc, char** argv) {
    testing::InitGoogleTest(&argc, argv);
    if (testing::GTEST_FLAG(list_tests))
        return RUN_ALL_TESTS(); // listing needs no namespace
    if (!run("command -v ip")) {
        fprintf(stderr, "SKIPPED: TCP/IP discovery tests need iproute2 (ip)\n");
        return 77;
    }
    if (geteuid() != 0) {
        fprintf(stderr,
                "SKIPPED: TCP/IP discovery tests need root to make private network namespaces\n");
        return 77;
    }
    if (unshare(CLONE_NEWNET) != 0) {
        fprintf(stderr, "SKIPPED: cannot make a private network namespace: %s\n", strerror(errno));
        return 77;
    }
    // A fresh namespace holds only its own loopback device; refuse to go on
    // if that is not what we see.
    if (if_nametoindex("lo") == 0 || if_nametoindex("v0") != 0) {
        fprintf(stderr, "network namespace is not private; not running\n");
        return 1;
    }
    if (!run("ip link set lo up")) {
        fprintf(stderr, "cannot bring up the loopback device of the private namespace\n");
        return 1;
    }
    return RUN_ALL_TESTS();
}
