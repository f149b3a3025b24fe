// The bench on real transports of this machine: TCP on loopback, a
// pseudo-terminal, the driver-node stand-in, and the keystrand-sim program.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <string>

#include "bytes.h"
#include "modsim/Bench.h"
#include "modsim_harness.h"
#include "process.h"
#include "tempdir.h"

using namespace modsim_test;

namespace {

const Bytes kSync = hx("AD 00 AD 00 AD 00 AD 00 AD 00 AD 00");

int connectTcp(uint16_t port) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(port);
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a)) {
        close(fd);
        return -1;
    }
    return fd;
}

// Reads until `want` bytes came or `ms` passed; stops early at end of stream.
Bytes readSome(int fd, size_t want, int ms, bool* eof = nullptr) {
    Bytes got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    if (eof)
        *eof = false;
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        pollfd p{fd, POLLIN, 0};
        if (poll(&p, 1, 10) <= 0)
            continue;
        uint8_t buf[256];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0) {
            if (n == 0 || errno != EAGAIN) {
                if (eof)
                    *eof = true;
                break;
            }
            continue;
        }
        got.insert(got.end(), buf, buf + n);
    }
    return got;
}

Bytes ask(int fd, const Bytes& out, size_t want) {
    EXPECT_EQ(write(fd, out.data(), out.size()), ssize_t(out.size()));
    return readSome(fd, want, 2000);
}

modsim::BenchConfig twoModules() {
    modsim::BenchConfig cfg;
    std::string err;
    EXPECT_TRUE(modsim::parseBench("module a serial=0000000A address=4 tcp=0 restart-ms=100\n"
                                   "module b serial=0000000B address=6 tcp=0 refuse=1\n"
                                   "module c serial=0000000C address=8 router=a\n",
                                   cfg, err))
        << err;
    return cfg;
}

} // namespace

TEST(BenchTcp, EachModuleHasItsOwnPortAndAnswersThere) {
    modsim::Bench bench;
    std::string err;
    ASSERT_TRUE(bench.start(twoModules(), err)) << err;
    uint16_t pa = bench.tcpPort("a");
    ASSERT_NE(pa, 0);
    EXPECT_EQ(bench.tcpPort("c"), 0); // behind the router: no port
    int fd = connectTcp(pa);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kstest::HexDump(ask(fd, kSync, 4)), "04 00 04 00");
    EXPECT_EQ(kstest::HexDump(ask(fd, pkt(4, hx("03 49 20")), 9)), "04 07 03 09 00 00 00 00 0A");
    // through the router to its child
    EXPECT_EQ(kstest::HexDump(ask(fd, pkt(4, hx("03 94 20 01")), 5)), "04 03 03 D4 00");
    EXPECT_EQ(kstest::HexDump(ask(fd, pkt(8, hx("03 49 20")), 9)), "08 07 03 09 00 00 00 00 0C");
    close(fd);
    EXPECT_EQ(bench.state("a").syncs, 1u);
    EXPECT_EQ(bench.state("c").requests, 1u);
    EXPECT_THROW(bench.state("nobody"), std::out_of_range);
    bench.stop();
}

TEST(BenchTcp, RefusedConnectionIsResetThenTheNextOneWorks) {
    modsim::Bench bench;
    std::string err;
    ASSERT_TRUE(bench.start(twoModules(), err)) << err;
    int fd = connectTcp(bench.tcpPort("b"));
    ASSERT_GE(fd, 0);
    bool eof = false;
    Bytes got = readSome(fd, 1, 1000, &eof);
    EXPECT_TRUE(eof);
    EXPECT_TRUE(got.empty());
    close(fd);
    fd = connectTcp(bench.tcpPort("b"));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kstest::HexDump(ask(fd, kSync, 4)), "06 00 06 00");
    close(fd);
    EXPECT_EQ(bench.state("b").faultsFired["refuse"], 1u);
}

TEST(BenchTcp, LoadDropsTheConnectionAndTheModuleComesBackOnTheSamePort) {
    modsim::Bench bench;
    std::string err;
    ASSERT_TRUE(bench.start(twoModules(), err)) << err;
    uint16_t port = bench.tcpPort("a");
    int fd = connectTcp(port);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kstest::HexDump(ask(fd, pkt(4, hx("5F 00")), 8)), "04 06 5F 00 10 00 00 00");
    ask(fd, pkt(4, hx("5F 03 00 00 00 00 00")), 7);
    ask(fd, pkt(4, hx("5F 01 01 02 03")), 5);
    EXPECT_EQ(kstest::HexDump(ask(fd, pkt(4, hx("5F 02")), 4)), "04 02 5F 02");
    bool eof = false;
    readSome(fd, 1, 2000, &eof);
    EXPECT_TRUE(eof); // the module closed the link
    close(fd);
    EXPECT_EQ(connectTcp(port), -1); // away: refused
    ASSERT_TRUE(bench.waitFor(
        "a", [](const modsim::ModuleState& s) { return s.present; }, 2000));
    int again = -1;
    for (int i = 0; i < 100 && again < 0; ++i) {
        again = connectTcp(port);
        if (again < 0)
            usleep(10000);
    }
    ASSERT_GE(again, 0);
    EXPECT_EQ(kstest::HexDump(ask(again, kSync, 4)), "04 00 04 00");
    close(again);
    EXPECT_EQ(bench.state("a").mode, modsim::Mode::Loader);
    EXPECT_EQ(bench.state("a").connections, 2u);
}

TEST(BenchTcp, FaultsCanBeSwitchedDuringARun) {
    modsim::Bench bench;
    std::string err;
    ASSERT_TRUE(bench.start(twoModules(), err)) << err;
    int fd = connectTcp(bench.tcpPort("a"));
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kstest::HexDump(ask(fd, pkt(4, hx("17 01")), 4)), "04 02 17 01");
    modsim::Faults f;
    f.ignoreNth = 2; // requests are counted from the module's start
    bench.setFaults("a", f);
    EXPECT_EQ(kstest::HexDump(readSome(fd, 1, 100)), "");
    ASSERT_EQ(write(fd, pkt(4, hx("17 02")).data(), 4), 4);
    EXPECT_EQ(kstest::HexDump(readSome(fd, 4, 300)), "");
    EXPECT_EQ(kstest::HexDump(ask(fd, pkt(4, hx("17 03")), 4)), "04 02 17 03");
    close(fd);
    EXPECT_EQ(bench.state("a").faultsFired["ignore"], 1u);
    EXPECT_THROW(bench.setFaults("nobody", f), std::out_of_range);
}

TEST(BenchTcp, TraceLogsEveryPacketInAndOut) {
    modsim::Bench bench;
    std::string err;
    ASSERT_TRUE(bench.start(twoModules(), err)) << err;
    std::vector<std::string> lines;
    std::mutex mu;
    bench.setTrace([&](const std::string& l) {
        std::lock_guard<std::mutex> g(mu);
        lines.push_back(l);
    });
    int fd = connectTcp(bench.tcpPort("a"));
    ASSERT_GE(fd, 0);
    ask(fd, pkt(4, hx("17 01 02")), 5);
    close(fd);
    bench.setTrace(nullptr);
    std::lock_guard<std::mutex> g(mu);
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0], "a < 04 03 17 01 02");
    EXPECT_EQ(lines[1], "a > 04 03 17 01 02");
}

TEST(BenchSerial, PtyAndDriverNodeCarryTheLink) {
    kstest::TempDir dir("modsim-node");
    std::string node = dir / "keystrand.0000000D";
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(
        modsim::parseBench("module p serial=0000000D address=10 pty node=" + node + "\n", cfg, err))
        << err;
    modsim::Bench bench;
    ASSERT_TRUE(bench.start(cfg, err)) << err;
    std::string pty = bench.ptyPath("p");
    ASSERT_EQ(pty.rfind("/dev/pts/", 0), 0u) << pty;

    int fd = open(pty.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd, 0);
    EXPECT_EQ(kstest::HexDump(ask(fd, kSync, 4)), "0A 00 0A 00");
    EXPECT_EQ(kstest::HexDump(ask(fd, pkt(10, hx("49 FF")), 8)), "0A 06 49 FF 00 00 00 01");
    close(fd);

    // The node: plain open, no terminal settings; a read with nothing waiting
    // returns at once with nothing.
    int nd = open(node.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(nd, 0) << node;
    uint8_t b;
    auto t0 = std::chrono::steady_clock::now();
    EXPECT_EQ(read(nd, &b, 1), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - t0, std::chrono::milliseconds(500));
    Bytes q = pkt(10, hx("03 49 20"));
    ASSERT_EQ(write(nd, q.data(), q.size()), ssize_t(q.size()));
    Bytes got;
    for (int i = 0; i < 200 && got.size() < 9; ++i) {
        if (read(nd, &b, 1) == 1)
            got.push_back(b);
        else
            usleep(5000);
    }
    EXPECT_EQ(kstest::HexDump(got), "0A 07 03 09 00 00 00 00 0D");
    close(nd);
    bench.stop();
    struct stat sb;
    EXPECT_NE(lstat(node.c_str(), &sb), 0); // the node is removed with the bench
}

TEST(BenchStart, TransportThatCannotOpenFailsTheStartAndLeavesNothing) {
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench("module a tcp=192.0.2.77:0\n", cfg, err)) << err;
    modsim::Bench bench;
    EXPECT_FALSE(bench.start(cfg, err));
    EXPECT_NE(err.find("cannot listen on 192.0.2.77:0"), std::string::npos) << err;
    EXPECT_FALSE(bench.has("a"));
    modsim::BenchConfig cfg2;
    ASSERT_TRUE(modsim::parseBench("module b node=/nonexistent-dir/keystrand.1\n", cfg2, err))
        << err;
    EXPECT_FALSE(bench.start(cfg2, err));
    EXPECT_NE(err.find("cannot create /nonexistent-dir/keystrand.1"), std::string::npos) << err;
}

TEST(SimProgram, RunsACommandAsItsChildAndExitsWithItsStatus) {
    const char* prog = getenv("KS_SIM_PROGRAM");
    ASSERT_NE(prog, nullptr) << "KS_SIM_PROGRAM is not set";
    kstest::TempDir dir("modsim-prog");
    std::string ready = dir / "ready";
    // The child connects to the module the program printed and exits with 3.
    kstest::ProcessResult r = kstest::RunProcess(
        {prog, "--module", "m serial=1234ABCD address=2 tcp=0", "--ready-file", ready, "--",
         "/bin/sh", "-c",
         "grep -q \"module m serial=1234ABCD model=17 address=2 tcp=127.0.0.1:\" " + ready +
             " && exit 3"},
        30000);
    EXPECT_EQ(r.exitStatus, 3);
    EXPECT_NE((r.out + r.err).find("ready"), std::string::npos) << r.out << r.err;

    r = kstest::RunProcess({prog, "--module", "m colour=red"}, 30000);
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_NE((r.out + r.err).find("unknown key 'colour'"), std::string::npos) << r.out << r.err;
}

TEST(BenchTcp, ClosedPortRefusesConnectionsOutright) {
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(
        modsim::parseBench("module a serial=0000000A address=4 tcp=0 closed-port\n", cfg, err))
        << err;
    modsim::Bench bench;
    ASSERT_TRUE(bench.start(cfg, err)) << err;
    ASSERT_NE(bench.tcpPort("a"), 0) << "the port stays the module's";
    EXPECT_EQ(connectTcp(bench.tcpPort("a")), -1);
    EXPECT_EQ(bench.state("a").connections, 0u);
}

// --dump: what a program-run bench leaves for a test to read back, its
// images (writeImages) and its states (writeState).
TEST(BenchState, WritesEachModulesStateBesideItsImages) {
    modsim::Bench bench;
    std::string err;
    ASSERT_TRUE(bench.start(twoModules(), err)) << err;
    int fd = connectTcp(bench.tcpPort("a"));
    ASSERT_GE(fd, 0);
    ask(fd, pkt(4, hx("03 94 20 01")), 5); // routeToMe(1)
    ask(fd, pkt(4, hx("5F 00")), 8);
    ask(fd, pkt(4, hx("5F 03 05 00 00 40 00")), 7);
    ask(fd, pkt(4, hx("5F 01 0A 0B 0C")), 5);
    close(fd);
    char dir[] = "/tmp/modsim-state.XXXXXX";
    ASSERT_NE(mkdtemp(dir), nullptr);
    ASSERT_TRUE(bench.writeImages(dir, err)) << err;
    ASSERT_TRUE(bench.writeState(dir, err)) << err;
    auto read = [&](const char* name) {
        std::ifstream f(std::string(dir) + "/" + name, std::ios::binary);
        return std::string((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
    };
    std::string state = read("a.state.txt");
    EXPECT_NE(state.find("serial=0000000A\nmode=firmware\npresent=yes\n"), std::string::npos)
        << state;
    EXPECT_NE(state.find("link-starts=0\n"), std::string::npos) << state;
    EXPECT_NE(state.find("option 20 sets=1 value=1\n"), std::string::npos) << state;
    EXPECT_NE(read("images.txt").find("a.loader.0.bin flags=5 address=00004000 bytes=3\n"),
              std::string::npos);
    EXPECT_EQ(read("a.loader.0.bin"), "\x0A\x0B\x0C");
    EXPECT_NE(read("c.state.txt").find("serial=0000000C\n"), std::string::npos)
        << "every module of the bench, children too";
    ASSERT_EQ(system((std::string("rm -rf ") + dir).c_str()), 0);
}
