// The simulated LPC17xx boot ROM, driven with raw bytes on a fake clock:
// synchronisation, the command handler's checks, RAM writes and reads with
// checksums, flash programming and compare, the line timing, every fault.
#include "lpcrom/IspChip.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"

namespace {

using lpcrom::ChipConfig;
using lpcrom::IspChip;

const uint32_t RAM = 0x10001000;

// A host on a fake clock: sends text at its line rate and runs the clock
// until the chip has nothing more to say.
struct Host {
    IspChip chip;
    uint64_t now = 1000;
    uint32_t rate = 115200;
    explicit Host(const ChipConfig& cfg = ChipConfig()) : chip(cfg) {}

    std::string send(const std::string& text) {
        chip.receive(reinterpret_cast<const uint8_t*>(text.data()), text.size(), now, rate);
        std::vector<uint8_t> out;
        for (int i = 0; i < 100000; ++i) {
            uint64_t next = chip.nextDueUs();
            if (next == UINT64_MAX)
                break;
            now = std::max(now, next);
            chip.poll(now);
            chip.takeOutput(out, now);
        }
        return std::string(out.begin(), out.end());
    }
    // Synchronised, echo off, flash commands unlocked.
    void ready() {
        ASSERT_EQ(send("?"), "Synchronized\r\n");
        ASSERT_EQ(send("Synchronized\r\n"), "Synchronized\r\nOK\r\n");
        ASSERT_EQ(send("14746\r\n"), "14746\r\nOK\r\n");
        ASSERT_EQ(send("A 0\r\n"), "A 0\r\n0\r\n");
        ASSERT_EQ(send("U 23130\r\n"), "0\r\n");
    }
};

char uu(uint32_t v) {
    v &= 0x3F;
    return v ? char(v + 32) : '`';
}

// The data lines and checksum lines of a RAM write of `data`, as a host sends them.
std::string WriteLines(const kstest::Bytes& data) {
    std::string text;
    uint32_t sum = 0;
    for (size_t at = 0, lines = 0; at < data.size(); ++lines) {
        size_t n = std::min<size_t>(45, data.size() - at);
        std::string line(1, uu(uint32_t(n)));
        for (size_t i = 0; i < n; i += 3) {
            uint32_t g = uint32_t(data[at + i]) << 16 |
                         uint32_t(i + 1 < n ? data[at + i + 1] : 0) << 8 |
                         uint32_t(i + 2 < n ? data[at + i + 2] : 0);
            line += {uu(g >> 18), uu(g >> 12), uu(g >> 6), uu(g)};
        }
        for (size_t i = 0; i < n; ++i)
            sum += data[at + i];
        text += line + "\r\n";
        at += n;
        if (lines % 20 == 19 || at == data.size()) {
            text += std::to_string(sum) + "\r\n";
            sum = 0;
        }
    }
    return text;
}

kstest::Bytes Pattern(size_t n, unsigned seed = 1) {
    kstest::Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 31 + seed * 7 + (i >> 7));
    return b;
}

kstest::Bytes Decode(const std::string& lines, size_t count) {
    kstest::Bytes out;
    size_t at = 0;
    while (out.size() < count && at < lines.size()) {
        size_t end = lines.find("\r\n", at);
        std::string line = lines.substr(at, end - at);
        at = end + 2;
        if (line.find_first_not_of("0123456789") == std::string::npos)
            continue; // a checksum line
        uint32_t n = uint32_t(uint8_t(line[0]) - 32) & 0x3F;
        for (uint32_t i = 0, p = 1; i < n; p += 4)
            for (int k = 16; k >= 0 && i < n; k -= 8, ++i) {
                auto v = [&](size_t q) { return uint32_t(uint8_t(line[q]) - 32) & 0x3F; };
                uint32_t g = v(p) << 18 | v(p + 1) << 12 | v(p + 2) << 6 | v(p + 3);
                out.push_back(uint8_t(g >> k));
            }
    }
    return out;
}

TEST(LpcRomSync, GreetsOnlyAQuestionMarkAndAnswersQueries) {
    ChipConfig cfg;
    cfg.serial[0] = 0x1234ABCD;
    cfg.serial[3] = 0xDEADBEEF;
    Host h(cfg);
    EXPECT_EQ(h.send("xyz\r\n"), ""); // autobaud waits for "?"
    EXPECT_EQ(h.send("?"), "Synchronized\r\n");
    EXPECT_EQ(h.send("Synchronized\r\n"), "Synchronized\r\nOK\r\n");
    EXPECT_EQ(h.send("14746\r\n"), "14746\r\nOK\r\n");
    EXPECT_EQ(h.send("J\r\n"), "J\r\n0\r\n637615927\r\n");
    EXPECT_EQ(h.send("K\r\n"), "K\r\n0\r\n4\r\n1\r\n");
    EXPECT_EQ(h.send("N\r\n"), "N\r\n0\r\n305441741\r\n572662306\r\n858993459\r\n3735928559\r\n");
    EXPECT_EQ(h.send("A 0\r\n"), "A 0\r\n0\r\n"); // the command itself is still echoed
    EXPECT_EQ(h.send("J\r\n"), "0\r\n637615927\r\n");
    EXPECT_EQ(h.send("?\r\n"), "1\r\n"); // synchronised: "?" is no command
    EXPECT_EQ(h.chip.state().rate, 115200u);

    Host wrong;
    EXPECT_EQ(wrong.send("?"), "Synchronized\r\n");
    EXPECT_EQ(wrong.send("Synchronised\r\n"), "Synchronised\r\n");
    EXPECT_EQ(wrong.chip.phase(), lpcrom::Phase::Autobaud);
}

// Each request with the check the ROM makes; the table runs in order on one chip.
TEST(LpcRomCommands, RefusesWhatTheRealRomRefuses) {
    Host h;
    h.send("?");
    h.send("Synchronized\r\n");
    h.send("14746\r\n");
    h.send("A 0\r\n");
    struct {
        const char* command;
        const char* reply;
    } steps[] = {
        {"E 0 0", "15\r\n"},
        {"C 0 268439552 256", "15\r\n"},
        {"G 0 T", "15\r\n"},
        {"U 1", "16\r\n"},
        {"U 23130", "0\r\n"},
        {"E 0 0", "9\r\n"},
        {"P 3 2", "7\r\n"},
        {"P 0 30", "7\r\n"},
        {"P 0 0", "0\r\n"},
        {"E 0 0", "0\r\n"},
        {"E 0 0", "9\r\n"}, // the erase used the preparation
        {"C 128 268439552 256", "3\r\n"},
        {"C 0 268439553 256", "2\r\n"},
        {"C 0 268439552 300", "6\r\n"},
        {"C 0 268439552 2048", "6\r\n"},
        {"C 524288 268439552 256", "5\r\n"},
        {"C 0 4096 256", "4\r\n"},
        {"C 0 268439552 256", "9\r\n"},
        {"P 0 0", "0\r\n"},
        {"C 0 268439552 256", "0\r\n"},
        {"P 0 0", "0\r\n"},
        {"C 0 268439552 256", "8\r\n"}, // over programmed flash
        {"P 0 0", "0\r\n"},
        {"C 3840 268439552 512", "9\r\n"}, // reaches sector 1
        {"W 268439553 4", "13\r\n"},
        {"W 268439552 6", "6\r\n"},
        {"W 0 4", "14\r\n"},
        {"R 1 4", "13\r\n"},
        {"R 524288 4", "14\r\n"},
        {"M 0 268439552 5", "6\r\n"},
        {"M 1 268439552 4", "13\r\n"},
        {"M 524284 268439552 8", "14\r\n"},
        {"X", "1\r\n"},
        {"J 1", "12\r\n"},
        {"A 2", "12\r\n"},
        {"P 0", "12\r\n"},
        {"P a b", "12\r\n"},
        {"B 1234 1", "17\r\n"},
        {"B 9600 3", "18\r\n"},
        {"G 0 A", "12\r\n"},
        {"G 1048576 T", "14\r\n"},
    };
    for (auto& s : steps)
        EXPECT_EQ(h.send(std::string(s.command) + "\r\n"), s.reply) << s.command;
    EXPECT_EQ(h.send(std::string(200, 'P') + "\r\n"), "1\r\n"); // an over-long line
}

// A RAM write, a copy to flash, a compare and a read back; a checksum that
// does not match is answered RESEND and nothing of its block is kept.
TEST(LpcRomData, WriteCopyCompareAndReadBack) {
    Host h;
    h.ready();
    kstest::Bytes image = Pattern(4096);
    std::string lines = WriteLines(image);
    // Send the first block with a wrong checksum, then all of it right.
    size_t firstSum = lines.find("\r\n", 20 * 63) + 2;
    std::string bad = lines.substr(0, 20 * 63) + "1\r\n";
    ASSERT_EQ(h.send("W 268439552 4096\r\n"), "0\r\n");
    EXPECT_EQ(h.send(bad), "RESEND\r\n");
    EXPECT_EQ(h.send(lines.substr(0, firstSum)), "OK\r\n");
    EXPECT_EQ(h.send(lines.substr(firstSum)), "OK\r\nOK\r\nOK\r\nOK\r\n");
    EXPECT_EQ(h.chip.state().resends, 1u);

    EXPECT_EQ(h.send("P 0 0\r\nC 0 268439552 4096\r\n"), "0\r\n0\r\n");
    kstest::Bytes flash(h.chip.flash().begin(), h.chip.flash().begin() + 4096);
    EXPECT_BYTES(image, flash);
    // Address 0..511 is the boot ROM in ISP mode.
    EXPECT_EQ(h.send("M 0 268439552 4096\r\n"), "10\r\n0\r\n");
    EXPECT_EQ(h.send("M 64 268439616 4032\r\n"), "10\r\n0\r\n");
    EXPECT_EQ(h.send("M 508 268440060 8\r\n"), "10\r\n0\r\n");
    EXPECT_EQ(h.send("M 512 268440064 3584\r\n"), "0\r\n");
    EXPECT_EQ(h.send("M 512 268440068 8\r\n").substr(0, 4), "10\r\n");

    std::string read = h.send("R 0 4096\r\n");
    ASSERT_EQ(read.substr(0, 3), "0\r\n");
    // The chip waits for OK after each block of 20 lines and its checksum.
    for (int block = 0; block < 4; ++block)
        read += h.send("OK\r\n");
    kstest::Bytes back = Decode(read.substr(3), 4096);
    kstest::Bytes rom;
    for (uint32_t i = 0; i < lpcrom::kBootRomWindow; ++i)
        rom.push_back(IspChip::bootVector(i));
    EXPECT_BYTES(rom, kstest::Bytes(back.begin(), back.begin() + 512));
    EXPECT_BYTES(kstest::Bytes(image.begin() + 512, image.end()),
                 kstest::Bytes(back.begin() + 512, back.end()));
    EXPECT_EQ(h.send("OK\r\n"), "");      // the last block taken
    EXPECT_EQ(h.send("OK\r\n"), "1\r\n"); // in the command handler again: "OK" is no command
}

// The line has its own time: answers leave a character time (10 bits) apart
// and the host's bytes arrive so; erasing and programming take the data
// sheet's times, or none when switched off.
TEST(LpcRomTiming, LineAndFlashTimesAreModelled) {
    for (bool datasheet : {true, false}) {
        ChipConfig cfg;
        cfg.datasheetTiming = datasheet;
        Host h(cfg);
        h.ready();
        uint64_t start = h.now;
        h.send("P 0 29\r\nE 0 29\r\n");
        uint64_t erase = h.now - start;
        start = h.now;
        std::string writing = "W 268439552 4096\r\n" + WriteLines(Pattern(4096));
        h.send(writing);
        uint64_t write = h.now - start;
        start = h.now;
        h.send("P 0 0\r\nC 0 268439552 4096\r\n");
        uint64_t copy = h.now - start;
        if (datasheet) {
            // About 100 ms an erase command, whatever its sectors.
            EXPECT_GE(erase, 100000u);
            EXPECT_LT(erase, 150000u);
            EXPECT_GE(copy, 16000u);
            EXPECT_EQ(h.chip.state().busyUs, 116000u);
        } else {
            EXPECT_LT(erase, 10000u);
            EXPECT_EQ(h.chip.state().busyUs, 0u);
        }
        // Every character takes its 10 bits at 115200 baud.
        EXPECT_GE(write, writing.size() * 86u);
    }
    Host h;
    h.ready();
    h.chip.receive(reinterpret_cast<const uint8_t*>("J\r\n"), 3, h.now, 115200);
    std::vector<uint8_t> out;
    h.chip.poll(h.now + 2 * 86);
    EXPECT_EQ(h.chip.takeOutput(out, h.now + 2 * 86), 0u); // "\n" has not arrived yet
    h.chip.poll(h.now + 3 * 86);
    EXPECT_EQ(h.chip.takeOutput(out, h.now + 4 * 86), 1u); // the first answer byte left
    EXPECT_EQ(h.chip.takeOutput(out, h.now + 100000), 13u);
}

TEST(LpcRomFaults, EachSwitchDoesWhatItSays) {
    kstest::Bytes data = Pattern(1800);
    std::string lines = WriteLines(data);
    size_t firstSum = lines.find("\r\n", 20 * 63) + 2;
    struct Case {
        const char* name;
        lpcrom::Faults faults;
        std::string blocks; // the answers to the two checksums
    };
    std::vector<Case> cases(3);
    cases[0] = {"corrupt once", {}, "RESEND\r\nOK\r\n"};
    cases[0].faults.corruptLine = 1;
    cases[1] = {"corrupt always", {}, "RESEND\r\nRESEND\r\n"};
    cases[1].faults.corruptFrom = 1;
    cases[2] = {"clean", {}, "OK\r\nOK\r\n"};
    for (auto& c : cases) {
        ChipConfig cfg;
        cfg.faults = c.faults;
        Host h(cfg);
        h.ready();
        ASSERT_EQ(h.send("W 268439552 1800\r\n"), "0\r\n");
        std::string got = h.send(lines.substr(0, firstSum));
        got += h.send(lines.substr(0, firstSum)); // the first block once more
        EXPECT_EQ(got, c.blocks) << c.name;
    }

    ChipConfig cfg;
    cfg.faults.errorCommand = 'E';
    cfg.faults.errorCode = 11;
    Host busy(cfg);
    busy.ready();
    EXPECT_EQ(busy.send("P 0 29\r\nE 0 29\r\n"), "0\r\n11\r\n");
    EXPECT_EQ(busy.chip.state().faultsFired["error"], 1u);

    cfg = ChipConfig();
    cfg.faults.slowMs = 50;
    Host slow(cfg);
    slow.ready();
    uint64_t start = slow.now;
    EXPECT_EQ(slow.send("J\r\n"), "0\r\n637615927\r\n");
    EXPECT_GE(slow.now - start, 50000u);

    cfg = ChipConfig();
    cfg.faults.vanishAfterBytes = 90;
    Host vanish(cfg);
    vanish.ready();
    ASSERT_EQ(vanish.send("W 268439552 1800\r\n"), "0\r\n");
    EXPECT_EQ(vanish.send(lines), "");
    EXPECT_EQ(vanish.send("J\r\n"), "");
    EXPECT_EQ(vanish.chip.phase(), lpcrom::Phase::Gone);

    cfg = ChipConfig();
    cfg.faults.badCopy = 2;
    Host weak(cfg);
    weak.ready();
    weak.send("W 268439552 1024\r\n" + WriteLines(Pattern(1024)));
    EXPECT_EQ(weak.send("P 0 0\r\nC 1024 268439552 1024\r\nM 1024 268439552 1024\r\n"),
              "0\r\n0\r\n0\r\n");
    EXPECT_EQ(weak.send("P 0 0\r\nC 2048 268439552 1024\r\nM 2048 268439552 1024\r\n"),
              "0\r\n0\r\n10\r\n512\r\n");

    cfg = ChipConfig();
    cfg.faults.mute = true;
    Host mute(cfg);
    EXPECT_EQ(mute.send("?"), "");
    EXPECT_EQ(mute.chip.state().faultsFired["mute"], 1u);
}

// The chip keeps the rate it detected: a host at another rate is garbage to
// it, also after the chip moved to a new rate with B.
TEST(LpcRomRate, BytesAtAnotherRateAreLost) {
    Host h;
    h.ready();
    h.rate = 57600;
    EXPECT_EQ(h.send("J\r\n"), "");
    EXPECT_EQ(h.chip.state().rateMismatches, 3u);
    h.rate = 115200;
    EXPECT_EQ(h.send("B 57600 1\r\n"), "0\r\n");
    EXPECT_EQ(h.send("J\r\n"), "");
    h.rate = 57600;
    EXPECT_EQ(h.send("J\r\n"), "0\r\n637615927\r\n");
    // A host that opens the port anew at 115200: its "?" is measured again.
    h.rate = 115200;
    EXPECT_EQ(h.send("?"), "Synchronized\r\n");
    EXPECT_EQ(h.send("Synchronized\r\n14746\r\n"), "Synchronized\r\nOK\r\n14746\r\nOK\r\n");
    EXPECT_EQ(h.send("J\r\n"), "J\r\n0\r\n637615927\r\n");
    EXPECT_EQ(h.chip.state().rate, 115200u);
    EXPECT_EQ(h.chip.state().rebauds, 1u);
}

// The ROM starts the flash, at G or at a restart, only when words 0..7 of
// sector 0 sum to zero; otherwise the chip stays in (or enters) ISP mode. A
// copy or an erase uses up the preparation of its own sectors only.
TEST(LpcRomStart, OnlyAValidVectorTableStartsAndPreparesAreUsedPerSector) {
    Host h;
    h.ready();
    EXPECT_EQ(h.send("G 0 T\r\n"), "0\r\n"); // the ROM answers, then finds no checksum
    EXPECT_FALSE(h.chip.running());
    EXPECT_EQ(h.send("J\r\n"), "0\r\n637615927\r\n");
    h.chip.restart();
    EXPECT_EQ(h.chip.phase(), lpcrom::Phase::Autobaud);
    EXPECT_EQ(h.chip.state().startsRefused, 2u);
    h.ready();

    kstest::Bytes image = Pattern(256);
    uint32_t sum = 0;
    for (int w = 0; w < 7; ++w)
        sum += uint32_t(image[4 * w]) | uint32_t(image[4 * w + 1]) << 8 |
               uint32_t(image[4 * w + 2]) << 16 | uint32_t(image[4 * w + 3]) << 24;
    for (int k = 0; k < 4; ++k)
        image[28 + k] = uint8_t((0u - sum) >> (8 * k));
    ASSERT_EQ(h.send("W 268439552 256\r\n" + WriteLines(image)), "0\r\nOK\r\n");
    EXPECT_EQ(h.send("P 0 2\r\nE 1 2\r\nC 0 268439552 256\r\n"), "0\r\n0\r\n0\r\n");
    EXPECT_EQ(h.send("E 0 0\r\n"), "9\r\n");
    EXPECT_EQ(h.send("P 0 0\r\nC 256 268439552 256\r\n"), "0\r\n0\r\n");
    EXPECT_EQ(h.send("C 512 268439552 256\r\n"), "9\r\n");
    EXPECT_EQ(h.send("G 0 T\r\n"), "0\r\n");
    EXPECT_TRUE(h.chip.running());
    EXPECT_EQ(h.send("J\r\n"), ""); // the chip runs its flash now
    h.chip.restart();
    EXPECT_TRUE(h.chip.running());
}

} // namespace
