// Dead modules on the simulator bench (key lpc-rom): the bench file keys, the
// chip served on the module's pty at the line rate the host set, the state
// and report read-back and the flash file written when the bench stops.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <stdexcept>
#include <string>

#include "modsim/Bench.h"
#include "tempdir.h"

namespace {

TEST(LpcRomBenchConfig, KeysAreReadAndBadOnesRefused) {
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench(
        "module d pty lpc-rom lpc-part=2601FF35 lpc-boot=5.2 lpc-timing=none lpc-rate=57600 "
        "lpc-flash-out=/tmp/f lpc-mute lpc-corrupt-line=3 lpc-corrupt-from=9 lpc-error=E:11 "
        "lpc-slow-ms=40 lpc-vanish-at=5000 lpc-bad-copy=2\n",
        cfg, err))
        << err;
    const modsim::ModuleConfig& m = cfg.modules.at(0);
    EXPECT_TRUE(m.lpcRom);
    EXPECT_EQ(m.lpc.partId, 0x2601FF35u);
    EXPECT_EQ(m.lpc.bootMajor * 10 + m.lpc.bootMinor, 52);
    EXPECT_FALSE(m.lpc.datasheetTiming);
    EXPECT_EQ(m.lpc.fixedRate, 57600u);
    EXPECT_EQ(m.lpcFlashOut, "/tmp/f");
    EXPECT_TRUE(m.lpc.faults.mute);
    EXPECT_EQ(m.lpc.faults.corruptLine, 3);
    EXPECT_EQ(m.lpc.faults.corruptFrom, 9);
    EXPECT_EQ(m.lpc.faults.errorCommand, 'E');
    EXPECT_EQ(m.lpc.faults.errorCode, 11);
    EXPECT_EQ(m.lpc.faults.slowMs, 40u);
    EXPECT_EQ(m.lpc.faults.vanishAfterBytes, 5000);
    EXPECT_EQ(m.lpc.faults.badCopy, 2);

    struct {
        const char* line;
        const char* error;
    } bad[] = {
        {"module d lpc-rom", "lpc-rom needs a pty of its own"},
        {"module r tcp=0\nmodule d address=4 router=r lpc-rom", "lpc-rom needs a pty"},
        {"module d pty lpc-rom lpc-error=E", "expected LETTER:CODE"},
        {"module d pty lpc-rom lpc-timing=fast", "expected datasheet or none"},
        {"module d pty lpc-rom lpc-boot=4", "expected MAJOR.MINOR"},
        {"module d pty lpc-rom lpc-rate=x", "bad number"},
        {"module d pty lpc-rom lpc-bogus=1", "unknown key 'lpc-bogus'"},
    };
    for (auto& b : bad) {
        modsim::BenchConfig c;
        EXPECT_FALSE(modsim::parseBench(b.line, c, err)) << b.line;
        EXPECT_NE(err.find(b.error), std::string::npos) << b.line << ": " << err;
    }
}

// The host's side of the pty, raw, at 115200 baud.
int OpenHost(const std::string& path) {
    int fd = open(path.c_str(), O_RDWR | O_NOCTTY);
    termios t{};
    tcgetattr(fd, &t);
    cfmakeraw(&t);
    cfsetispeed(&t, B115200);
    cfsetospeed(&t, B115200);
    t.c_cc[VMIN] = 0;
    t.c_cc[VTIME] = 1;
    tcsetattr(fd, TCSANOW, &t);
    return fd;
}

std::string ReadFor(int fd, size_t want, int ms) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
    char buf[64];
    while (got.size() < want && std::chrono::steady_clock::now() < end) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n > 0)
            got.append(buf, size_t(n));
    }
    return got;
}

TEST(LpcRomBench, ServesTheChipOnThePtyAndReportsIt) {
    kstest::TempDir dir("ks-lpcbench");
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench(
        "module d serial=40F5849A uid=1,2,3,4 pty lpc-rom lpc-flash-out=" + dir.sub("flash.bin") +
            "\nmodule m serial=1 address=4 tcp=0\n",
        cfg, err))
        << err;
    {
        modsim::Bench bench;
        ASSERT_TRUE(bench.start(cfg, err)) << err;
        EXPECT_NE(bench.summary().find("pty=" + bench.ptyPath("d") + " lpc-rom\n"),
                  std::string::npos)
            << bench.summary();
        EXPECT_FALSE(bench.state("d").present);
        EXPECT_THROW(bench.lpcState("m"), std::out_of_range);

        int host = OpenHost(bench.ptyPath("d"));
        ASSERT_GE(host, 0);
        ASSERT_EQ(write(host, "?", 1), 1);
        EXPECT_EQ(ReadFor(host, 14, 2000), "Synchronized\r\n");
        const char sync[] = "Synchronized\r\n14746\r\nN\r\n";
        ASSERT_EQ(write(host, sync, sizeof sync - 1), ssize_t(sizeof sync - 1));
        std::string want = "Synchronized\r\nOK\r\n14746\r\nOK\r\nN\r\n0\r\n1\r\n2\r\n3\r\n4\r\n";
        EXPECT_EQ(ReadFor(host, want.size(), 2000), want);
        close(host);

        lpcrom::ChipState st = bench.lpcState("d");
        EXPECT_EQ(st.rate, 115200u);
        EXPECT_EQ(st.commands, std::vector<std::string>{"N"});
        EXPECT_NE(bench.report().find("lpc-rom: phase=command rate=115200"), std::string::npos)
            << bench.report();
    }
    std::string flash = kstest::ReadFile(dir.sub("flash.bin"));
    EXPECT_EQ(flash, std::string(lpcrom::kFlashSize, '\xFF'));
}

} // namespace
