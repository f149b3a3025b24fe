// The ROM of an NXP i.MX chip in serial download mode, as the host sees it:
// NXP's Serial Download Protocol (SDP) on a serial line (16-byte commands,
// raw data bytes, 8-byte answers) or on USB HID (report 1 commands, report 2
// data, answers as report 3 with the HAB word and report 4 with the status
// or data word).
//
// A transport-independent core: bytes or reports in, bytes or reports out,
// on a clock that the caller passes in (microseconds, any monotonic origin).
// Not thread-safe: its owner serialises every call.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <vector>

namespace imxsim {

// USB identity of the ROM's HID device.
constexpr uint16_t kRomVendor = 0x1FC9;
constexpr uint16_t kRomProduct = 0x0130;

// Command types (the byte appears twice at the start of a command).
constexpr uint8_t kReadRegister = 0x01;
constexpr uint8_t kWriteRegister = 0x02;
constexpr uint8_t kWriteFile = 0x04;
constexpr uint8_t kErrorStatus = 0x05;
constexpr uint8_t kJumpAddress = 0x0B;
constexpr size_t kCommandSize = 16;

// Report numbers on USB HID.
constexpr uint8_t kReportCommand = 1;
constexpr uint8_t kReportData = 2;
constexpr uint8_t kReportHab = 3;
constexpr uint8_t kReportStatus = 4;
constexpr size_t kStatusReportSize = 64; // payload of report 4
constexpr size_t kDataReportSize = 1024; // payload of report 2

// Words of the answers.
constexpr uint32_t kHabOpen = 0x56787856;
constexpr uint32_t kHabClosed = 0x12343412;
constexpr uint32_t kStatusOk = 0xF0F0F0F0;
constexpr uint32_t kStatusComplete = 0x88888888;
constexpr uint32_t kStatusDataError = 0x3C3C3C3C;     // the data phase was broken off
constexpr uint32_t kStatusTooLarge = 0x5A5A5A5A;      // WRITE_FILE larger than the RAM
constexpr uint32_t kStatusWriteRegister = 0x128A8A12; // WRITE_REGISTER done
// JUMP_ADDRESS refused: no image header (IVT) at the address, or HAB closed
// and the image not signed (no CSF). The ROM stays in serial download mode.
constexpr uint32_t kStatusNoImage = 0x8D8D8D8D;
constexpr uint32_t kStatusHabRefused = 0x33333333;

// The two registers that hold the chip's fingerprint.
constexpr uint32_t kFingerprintLow = 0x401F4410;
constexpr uint32_t kFingerprintHigh = 0x401F4420;

// A partial command is dropped when the next byte comes after this pause.
constexpr uint64_t kCommandGapUs = 30000;
// Largest image a WRITE_FILE may announce (the chip's RAM).
constexpr uint32_t kRamSize = 1024 * 1024;

struct RomFaults {
    bool silent = false;       // answers nothing at all
    long errorAtByte = -1;     // after this many data bytes: an error report, data phase ends
    bool noCompletion = false; // no completion word after the data
    bool noLoader = false;     // the started loader never runs (for the bench)
    unsigned lateStatusMs = 0; // the answer to ERROR_STATUS leaves this much later
};

struct RomConfig {
    uint32_t hab = kHabOpen;
    // JUMP_ADDRESS demands an image header (IVT) at the address even with HAB
    // open. With HAB closed it always does, and a signed image (CSF).
    bool requireHeader = false;
    uint32_t fingerprintLow = 0x11111111;
    uint32_t fingerprintHigh = 0x22222222;
    RomFaults faults;
};

// One WRITE_FILE: where, what arrived, and whether all announced bytes came.
struct RomImage {
    uint32_t address = 0;
    uint32_t announced = 0;
    std::vector<uint8_t> data;
    bool complete = false;
};

struct RomState {
    std::vector<RomImage> images; // every WRITE_FILE since the bench started
    bool jumped = false;
    uint32_t jumpAddress = 0;
    unsigned jumpsRefused = 0;
    std::map<uint32_t, uint32_t> registers; // written with WRITE_REGISTER
    unsigned boots = 1;                     // the chip came up in the ROM this often
    unsigned commands = 0, badCommands = 0, droppedPartials = 0, ignoredAfterJump = 0;
    std::map<std::string, unsigned> faultsFired;
};

using RomTraceFn = std::function<void(const std::string& line)>;

class ImxRom {
  public:
    explicit ImxRom(const RomConfig& cfg);

    // Serial line: bytes as they arrive at nowUs; the answer bytes due by
    // nowUs (all of them when no time is given).
    void receiveSerial(const uint8_t* bytes, size_t n, uint64_t nowUs);
    size_t takeSerial(std::vector<uint8_t>& out, uint64_t nowUs = UINT64_MAX);

    // USB HID: one report the host wrote (report number first); the input
    // reports due, one at a time (report number first).
    void receiveReport(const uint8_t* report, size_t n, uint64_t nowUs);
    bool takeReport(std::vector<uint8_t>& report, uint64_t nowUs = UINT64_MAX);

    // After JUMP_ADDRESS the ROM has handed over and takes no more input.
    bool jumped() const { return st_.jumped; }
    // The chip restarts into the ROM (reset of a loader, no firmware).
    void reboot();

    RomState state() const { return st_; }
    const RomConfig& config() const { return cfg_; }
    void setFaults(const RomFaults& f);
    void setTrace(RomTraceFn fn) { trace_ = std::move(fn); }

  private:
    struct Answer {
        bool hab = true;
        std::vector<uint8_t> payload; // status or data bytes as sent
        uint64_t dueUs = 0;           // not before
    };
    void jump(uint32_t address);
    uint32_t memoryWord(uint32_t address) const;
    bool memoryBytes(uint32_t address, size_t n, std::vector<uint8_t>& out) const;
    void command(const uint8_t* c);
    void data(const uint8_t* bytes, size_t n);
    void answer(bool hab, const std::vector<uint8_t>& payload);
    void answerWord(uint32_t word) { answer(true, le32(word)); }
    void fire(const char* fault);
    void trace(const std::string& line) const;
    static std::vector<uint8_t> le32(uint32_t w);

    RomConfig cfg_;
    RomState st_;
    RomTraceFn trace_;
    std::deque<Answer> out_;
    std::vector<uint8_t> cmd_;
    uint64_t lastByteUs_ = 0;
    uint64_t nowUs_ = 0; // of the input being handled
    bool inData_ = false;
    uint32_t status_ = kStatusOk; // what ERROR_STATUS reports
};

} // namespace imxsim
