// The UDP discovery responder, exercised only inside private network
// namespaces that this test creates: the host side in one, the bench in
// another, joined by a veth pair. Needs root; skips otherwise.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "Bench.h"
#include "modsim_harness.h"

using namespace modsim_test;

namespace {

bool run(const std::string& cmd) { return system((cmd + " >/dev/null 2>&1").c_str()) == 0; }

// The two namespaces and the veth pair between them: 10.77.0.1 (host side,
// this thread's namespace afterwards) and 10.77.0.2 (module side).
class Namespaces {
public:
    std::string skipReason;
    int hostNs = -1, moduleNs = -1;
    pid_t holder = -1;

    Namespaces() {
        if (geteuid() != 0) {
            skipReason = "needs root to create network namespaces";
            return;
        }
        if (!run("ip -V")) {
            skipReason = "the ip command (iproute2) is not installed";
            return;
        }
        int p[2];
        if (pipe(p)) {
            skipReason = "no pipe";
            return;
        }
        holder = fork();
        if (holder == 0) {
            char ok = unshare(CLONE_NEWNET) == 0 ? 'y' : 'n';
            if (write(p[1], &ok, 1) != 1) _exit(1);
            pause();
            _exit(0);
        }
        char ok = 'n';
        if (read(p[0], &ok, 1) != 1 || ok != 'y' || unshare(CLONE_NEWNET) != 0) {
            skipReason = "cannot create a network namespace here";
            close(p[0]);
            close(p[1]);
            return;
        }
        close(p[0]);
        close(p[1]);
        hostNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        moduleNs = open(("/proc/" + std::to_string(holder) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        std::string h = std::to_string(holder);
        if (hostNs < 0 || moduleNs < 0 || !run("ip link set lo up") ||
            !run("ip link add ksv0 type veth peer name ksv1 netns " + h) ||
            !run("ip addr add 10.77.0.1/24 dev ksv0") || !run("ip link set ksv0 up")) {
            skipReason = "cannot set up the veth pair";
            return;
        }
        enterModuleSide();
        bool up = run("ip link set lo up") && run("ip addr add 10.77.0.2/24 dev ksv1") && run("ip link set ksv1 up") &&
                  waitUp("ksv1");
        enterHostSide();
        up = up && waitUp("ksv0");
        if (!up) skipReason = "cannot configure the module side of the veth pair";
    }
    ~Namespaces() {
        if (holder > 0) {
            kill(holder, SIGKILL);
            waitpid(holder, nullptr, 0);
        }
        if (hostNs >= 0) close(hostNs);
        if (moduleNs >= 0) close(moduleNs);
    }
    // A datagram sent before the link is operational is lost: wait (bounded).
    static bool waitUp(const char* dev) {
        for (int i = 0; i < 150; ++i) {
            if (run(std::string("ip -o link show ") + dev + " | grep -q 'state UP'")) return true;
            usleep(20000);
        }
        return false;
    }
    void enterModuleSide() { ASSERT_EQ(setns(moduleNs, CLONE_NEWNET), 0); }
    void enterHostSide() { ASSERT_EQ(setns(hostNs, CLONE_NEWNET), 0); }
};

struct Reply {
    Bytes bytes;
    std::string from;
};

// Sends one discovery request of `size` bytes from the host side and collects
// replies for up to `ms`.
std::vector<Reply> discover(size_t size, int ms) {
    std::vector<Reply> replies;
    int rx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(rx, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(9889);
    EXPECT_EQ(bind(rx, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    int tx = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    in_addr ifaddr{};
    inet_pton(AF_INET, "10.77.0.1", &ifaddr);
    EXPECT_EQ(setsockopt(tx, IPPROTO_IP, IP_MULTICAST_IF, &ifaddr, sizeof ifaddr), 0);
    sockaddr_in g{};
    g.sin_family = AF_INET;
    g.sin_port = htons(9888);
    inet_pton(AF_INET, "232.2.2.2", &g.sin_addr);
    Bytes req(size, 0);
    req[0] = 0x01;
    EXPECT_EQ(sendto(tx, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&g), sizeof g), ssize_t(size));
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{rx, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0) continue;
        uint8_t buf[64];
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0) break;
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        replies.push_back({Bytes(buf, buf + n), ip});
    }
    close(tx);
    close(rx);
    return replies;
}

}  // namespace

TEST(Discovery, RepliesCarryAddressPortSerialAndModelFromTheModulesAddress) {
    Namespaces ns;
    if (!ns.skipReason.empty()) GTEST_SKIP() << ns.skipReason;
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench("bind 10.77.0.2\ndiscovery ksv1\n"
                                   "module r serial=40F5849A model=21 address=4 tcp=0\n"
                                   "module c1 serial=00000C01 address=6 router=r\n"
                                   "module c2 serial=00000C02 address=8 router=r\n"
                                   "module t serial=1234ABCD model=17 address=2 tcp=0\n",
                                   cfg, err))
        << err;
    modsim::Bench bench;
    ns.enterModuleSide();
    bool started = bench.start(cfg, err);
    ns.enterHostSide();
    ASSERT_TRUE(started) << err;

    std::map<uint32_t, Reply> bySerial;
    for (const Reply& r : discover(16, 700)) {
        ASSERT_EQ(r.bytes.size(), 16u) << hex(r.bytes);
        uint32_t serial = r.bytes[4] | (r.bytes[5] << 8) | (r.bytes[6] << 16) | (uint32_t(r.bytes[7]) << 24);
        bySerial[serial] = r;
    }
    ASSERT_EQ(bySerial.size(), 2u);  // children behind the router are not on the network
    struct Want { uint32_t serial; const char* name; uint8_t address, model; };
    for (const Want& w : {Want{0x40F5849A, "r", 4, 21}, Want{0x1234ABCD, "t", 2, 17}}) {
        SCOPED_TRACE(w.name);
        ASSERT_EQ(bySerial.count(w.serial), 1u);
        const Reply& r = bySerial[w.serial];
        uint16_t port = bench.tcpPort(w.name);
        EXPECT_EQ(r.from, "10.77.0.2");
        EXPECT_EQ(r.bytes[1], w.address);
        EXPECT_EQ(r.bytes[2], port & 0xFF);  // little-endian port
        EXPECT_EQ(r.bytes[3], port >> 8);
        EXPECT_EQ(r.bytes[12], w.model);

        // and the module answers on that address and port
        int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_port = htons(port);
        inet_pton(AF_INET, r.from.c_str(), &a.sin_addr);
        ASSERT_EQ(connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        Bytes sync = hx("AD 00 AD 00 AD 00 AD 00 AD 00 AD 00");
        ASSERT_EQ(write(fd, sync.data(), sync.size()), 12);
        Bytes got;
        for (int i = 0; i < 100 && got.size() < 4; ++i) {
            pollfd p{fd, POLLIN, 0};
            if (poll(&p, 1, 20) <= 0) continue;
            uint8_t b[8];
            ssize_t n = read(fd, b, sizeof b);
            if (n <= 0) break;
            got.insert(got.end(), b, b + n);
        }
        EXPECT_EQ(hex(got), hex(Bytes{w.address, 0, w.address, 0}));
        close(fd);
    }
    EXPECT_TRUE(discover(15, 300).empty());  // not a discovery request
    bench.stop();
}
