// The i.MX ROM core driven with raw bytes and reports on a fake clock: the
// SDP commands, their answers on both framings, the data phase, the command
// framing on a serial line, and every fault switch.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bytes.h"
#include "imxsim/ImxRom.h"

using kstest::Bytes;
using kstest::HexDump;
using namespace imxsim;

namespace {

Bytes command(uint8_t type, uint32_t address, uint8_t format, uint32_t count) {
    Bytes c = {type, type};
    for (uint32_t v : {address})
        c.insert(c.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    c.push_back(format);
    c.insert(c.end(),
             {uint8_t(count >> 24), uint8_t(count >> 16), uint8_t(count >> 8), uint8_t(count)});
    c.resize(kCommandSize, 0);
    return c;
}

Bytes report(uint8_t number, const Bytes& payload) {
    // reserve and push_back: GCC 12 at -O2 reports a false array-bounds
    // error when a one-element vector is grown by insert.
    Bytes r;
    r.reserve(1 + payload.size());
    r.push_back(number);
    for (uint8_t b : payload)
        r.push_back(b);
    return r;
}

// Feeds bytes at `t` ms and returns the serial answer bytes.
std::string serial(ImxRom& rom, const Bytes& in, uint64_t ms) {
    rom.receiveSerial(in.data(), in.size(), ms * 1000);
    Bytes out;
    rom.takeSerial(out);
    return HexDump(out);
}

// Sends one report and returns the reports the ROM answers, as hex.
std::vector<std::string> hid(ImxRom& rom, const Bytes& in) {
    rom.receiveReport(in.data(), in.size(), 0);
    std::vector<std::string> out;
    Bytes r;
    while (rom.takeReport(r))
        out.push_back(HexDump(r));
    return out;
}

RomConfig config() {
    RomConfig c;
    c.fingerprintLow = 0x89ABCDEF;
    c.fingerprintHigh = 0x01234567;
    return c;
}

const std::string kHab = "56 78 78 56";

} // namespace

TEST(ImxRomSerial, CommandsAnswerTheHabWordAndTheirWord) {
    struct Case {
        const char* name;
        Bytes in;
        std::string answer;
    } cases[] = {
        {"error status", command(kErrorStatus, 0, 0, 0), kHab + " F0 F0 F0 F0"},
        {"fingerprint low", command(kReadRegister, kFingerprintLow, 0x20, 4),
         kHab + " EF CD AB 89"},
        {"fingerprint high", command(kReadRegister, kFingerprintHigh, 0x20, 4),
         kHab + " 67 45 23 01"},
        {"other register", command(kReadRegister, 0x20000000, 0x20, 4), kHab + " 00 00 00 00"},
        {"two registers", command(kReadRegister, kFingerprintLow - 4, 0x20, 8),
         kHab + " 00 00 00 00 EF CD AB 89"},
        {"unknown command", command(0x0F, 0, 0, 0), ""},
        {"type bytes differ", Bytes{0x05, 0x04, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0}, ""},
        {"image larger than the RAM", command(kWriteFile, 0, 0x20, kRamSize + 1),
         kHab + " 5A 5A 5A 5A"},
    };
    for (const Case& c : cases) {
        ImxRom rom(config());
        EXPECT_EQ(serial(rom, c.in, 0), c.answer) << c.name;
    }
}

TEST(ImxRomSerial, WriteFileTakesItsDataThenAnswersCompletionAndJumpHandsOver) {
    ImxRom rom(config());
    Bytes img(3000);
    for (size_t i = 0; i < img.size(); ++i)
        img[i] = uint8_t(i * 13);
    EXPECT_EQ(serial(rom, command(kWriteFile, 0x20000400, 0x20, 3000), 0), "");
    EXPECT_EQ(serial(rom, Bytes(img.begin(), img.begin() + 1000), 10), "");
    EXPECT_EQ(serial(rom, Bytes(img.begin() + 1000, img.end()), 500), kHab + " 88 88 88 88")
        << "no pause ends the data phase";
    RomState st = rom.state();
    ASSERT_EQ(st.images.size(), 1u);
    EXPECT_EQ(st.images[0].address, 0x20000400u);
    EXPECT_TRUE(st.images[0].complete);
    EXPECT_BYTES(img, st.images[0].data);

    EXPECT_EQ(serial(rom, command(kJumpAddress, 0x20000400, 0, 0), 600), kHab);
    EXPECT_TRUE(rom.jumped());
    EXPECT_EQ(serial(rom, command(kErrorStatus, 0, 0, 0), 700), "") << "handed over";
    EXPECT_EQ(rom.state().jumpAddress, 0x20000400u);
    rom.reboot();
    EXPECT_FALSE(rom.jumped());
    EXPECT_EQ(serial(rom, command(kErrorStatus, 0, 0, 0), 800), kHab + " F0 F0 F0 F0");
    EXPECT_EQ(rom.state().boots, 2u);
}

TEST(ImxRomSerial, APartialCommandIsDroppedAfterAPause) {
    ImxRom rom(config());
    // A stray "?" (another bootloader's probe), then a command 100 ms later.
    EXPECT_EQ(serial(rom, {'?'}, 0), "");
    EXPECT_EQ(serial(rom, command(kErrorStatus, 0, 0, 0), 100), kHab + " F0 F0 F0 F0");
    EXPECT_EQ(rom.state().droppedPartials, 1u);
    // Bytes of one command a few ms apart stay one command.
    Bytes c = command(kErrorStatus, 0, 0, 0);
    EXPECT_EQ(serial(rom, Bytes(c.begin(), c.begin() + 7), 200), "");
    EXPECT_EQ(serial(rom, Bytes(c.begin() + 7, c.end()), 210), kHab + " F0 F0 F0 F0");
    // The same stray byte without a pause spoils the framing.
    ImxRom hurried(config());
    EXPECT_EQ(serial(hurried, {'?'}, 0), "");
    EXPECT_EQ(serial(hurried, command(kErrorStatus, 0, 0, 0), 5), "");
    EXPECT_EQ(hurried.state().badCommands, 1u);
}

TEST(ImxRomHid, AnswersAreReportThreeAndReportFour) {
    ImxRom rom(config());
    auto word = [](uint32_t w) {
        Bytes r(65, 0);
        r[0] = kReportStatus;
        for (int i = 0; i < 4; ++i)
            r[size_t(1 + i)] = uint8_t(w >> (8 * i));
        return HexDump(r);
    };
    EXPECT_EQ(hid(rom, report(kReportCommand, command(kErrorStatus, 0, 0, 0))),
              (std::vector<std::string>{"03 " + kHab, word(0xF0F0F0F0)}));
    EXPECT_EQ(hid(rom, report(kReportCommand, command(kReadRegister, kFingerprintHigh, 0x20, 4))),
              (std::vector<std::string>{"03 " + kHab, word(0x01234567)}));
    EXPECT_EQ(hid(rom, report(kReportCommand, command(kWriteFile, 0x1000, 0x20, 1500))),
              std::vector<std::string>{});
    EXPECT_EQ(hid(rom, report(kReportData, Bytes(1024, 0xAA))), std::vector<std::string>{});
    EXPECT_EQ(hid(rom, report(kReportData, Bytes(476, 0xBB))),
              (std::vector<std::string>{"03 " + kHab, word(0x88888888)}));
    EXPECT_EQ(rom.state().images.at(0).data.size(), 1500u);
    // Out of place: data without a write-file, a short command.
    EXPECT_EQ(hid(rom, report(kReportData, Bytes(10, 1))), std::vector<std::string>{});
    EXPECT_EQ(hid(rom, report(kReportCommand, Bytes(8, 5))), std::vector<std::string>{});
    EXPECT_EQ(rom.state().badCommands, 2u);
    EXPECT_EQ(hid(rom, report(kReportCommand, command(kJumpAddress, 0x1000, 0, 0))),
              (std::vector<std::string>{"03 " + kHab}));
}

TEST(ImxRomFaults, EachSwitchChangesWhatTheHostSees) {
    struct Case {
        const char* name;
        RomFaults faults;
        std::string afterData; // serial answer once all data was sent
        bool complete;
        const char* fired;
    } cases[] = {
        {"none", {}, kHab + " 88 88 88 88", true, nullptr},
        {"silent", {true, -1, false, false}, "", true, "silent"},
        {"error report in the data phase",
         {false, 1500, false, false},
         kHab + " 3C 3C 3C 3C",
         false,
         "error-at"},
        {"no completion word", {false, -1, true, false}, "", true, "no-completion"},
    };
    for (const Case& c : cases) {
        RomConfig cfg = config();
        cfg.faults = c.faults;
        ImxRom rom(cfg);
        serial(rom, command(kWriteFile, 0x1000, 0x20, 4000), 0);
        EXPECT_EQ(serial(rom, Bytes(4000, 0x5A), 10), c.afterData) << c.name;
        EXPECT_EQ(rom.state().images.at(0).complete, c.complete) << c.name;
        if (c.fired) {
            EXPECT_GE(rom.state().faultsFired[c.fired], 1u) << c.name;
        }
        if (c.faults.errorAtByte >= 0) {
            EXPECT_EQ(rom.state().images.at(0).data.size(), 1500u) << c.name;
            EXPECT_EQ(serial(rom, command(kErrorStatus, 0, 0, 0), 100), kHab + " 3C 3C 3C 3C")
                << "the status names the error";
        }
    }
}
