// The UDP discovery responder, exercised only inside private network
// namespaces that this test creates: the host side in one, the bench in
// another, joined by a veth pair. Needs root; skips otherwise.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <map>
#include <string>

#include "bytes.h"
#include "modsim/Bench.h"
#include "modsim/PrivateNet.h"
#include "modsim_harness.h"

using namespace modsim_test;

namespace {

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
    EXPECT_EQ(sendto(tx, req.data(), req.size(), 0, reinterpret_cast<sockaddr*>(&g), sizeof g),
              ssize_t(size));
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    while (std::chrono::steady_clock::now() < end) {
        pollfd p{rx, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        uint8_t buf[64];
        sockaddr_in from{};
        socklen_t fl = sizeof from;
        ssize_t n = recvfrom(rx, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &fl);
        if (n < 0)
            break;
        char ip[INET_ADDRSTRLEN];
        inet_ntop(AF_INET, &from.sin_addr, ip, sizeof ip);
        replies.push_back({Bytes(buf, buf + n), ip});
    }
    close(tx);
    close(rx);
    return replies;
}

} // namespace

TEST(Discovery, RepliesCarryAddressPortSerialAndModelFromTheModulesAddress) {
    modsim::PrivateNet ns;
    std::string why;
    if (!ns.setup(why))
        GTEST_SKIP() << why;
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
    ASSERT_TRUE(ns.enterModuleSide());
    bool started = bench.start(cfg, err);
    ASSERT_TRUE(ns.enterHostSide());
    ASSERT_TRUE(started) << err;

    std::map<uint32_t, Reply> bySerial;
    for (const Reply& r : discover(16, 700)) {
        ASSERT_EQ(r.bytes.size(), 16u) << kstest::HexDump(r.bytes);
        uint32_t serial =
            r.bytes[4] | (r.bytes[5] << 8) | (r.bytes[6] << 16) | (uint32_t(r.bytes[7]) << 24);
        bySerial[serial] = r;
    }
    ASSERT_EQ(bySerial.size(), 2u); // children behind the router are not on the network
    struct Want {
        uint32_t serial;
        const char* name;
        uint8_t address, model;
    };
    for (const Want& w : {Want{0x40F5849A, "r", 4, 21}, Want{0x1234ABCD, "t", 2, 17}}) {
        SCOPED_TRACE(w.name);
        ASSERT_EQ(bySerial.count(w.serial), 1u);
        const Reply& r = bySerial[w.serial];
        uint16_t port = bench.tcpPort(w.name);
        EXPECT_EQ(r.from, "10.77.0.2");
        EXPECT_EQ(r.bytes[1], w.address);
        EXPECT_EQ(r.bytes[2], port & 0xFF); // little-endian port
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
            if (poll(&p, 1, 20) <= 0)
                continue;
            uint8_t b[8];
            ssize_t n = read(fd, b, sizeof b);
            if (n <= 0)
                break;
            got.insert(got.end(), b, b + n);
        }
        EXPECT_BYTES(Bytes({w.address, 0, w.address, 0}), got);
        close(fd);
    }
    EXPECT_TRUE(discover(15, 300).empty()); // not a discovery request
    bench.stop();
}
