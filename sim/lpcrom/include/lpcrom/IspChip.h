// The boot ROM of a simulated NXP LPC17xx chip in ISP mode: a core that takes
// the bytes a host sends on the serial line and produces the bytes the ROM
// answers, on a clock that the caller passes in (microseconds, any monotonic
// origin). Written from NXP's published ISP protocol for the LPC17xx family:
// autobaud on "?", the "Synchronized" and crystal lines, echo, unlock, part
// id, boot code version, device serial number, prepare, erase, RAM write and
// read in uuencoded lines with checksums, copy to flash, compare, go, baud.
//
// The line is modelled: bytes from the host arrive one character time (10
// bits at the host's rate) after each other, and the chip's answers leave one
// character time apart at the rate it detected, so that time-outs and
// throughput mean what they would on a wire. Erasing and programming take
// the data sheet's times (switchable). The chip starts its flash (at G or at
// a restart) only when the vector checksum in sector 0 is valid.
//
// Threading: an IspChip is not thread-safe; its owner serialises every call.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <string>
#include <utility>
#include <vector>

namespace lpcrom {

constexpr uint32_t kFlashSize = 0x80000;
constexpr uint32_t kRam1Base = 0x10000000, kRam1Size = 0x8000; // local SRAM
constexpr uint32_t kRam2Base = 0x2007C000, kRam2Size = 0x8000; // AHB SRAM
constexpr uint32_t kBootRomWindow = 512; // the boot ROM, mapped over flash 0..511 in ISP mode
constexpr uint32_t kUnlockCode = 23130;
constexpr int kSectorCount = 30;
constexpr unsigned kLinesPerChecksum = 20;
constexpr unsigned kBytesPerLine = 45;

// Return codes of the ISP command handler.
enum Code : uint8_t {
    CMD_SUCCESS = 0,
    INVALID_COMMAND = 1,
    SRC_ADDR_ERROR = 2,
    DST_ADDR_ERROR = 3,
    SRC_ADDR_NOT_MAPPED = 4,
    DST_ADDR_NOT_MAPPED = 5,
    COUNT_ERROR = 6,
    INVALID_SECTOR = 7,
    SECTOR_NOT_BLANK = 8,
    SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION = 9,
    COMPARE_ERROR = 10,
    BUSY = 11,
    PARAM_ERROR = 12,
    ADDR_ERROR = 13,
    ADDR_NOT_MAPPED = 14,
    CMD_LOCKED = 15,
    INVALID_CODE = 16,
    INVALID_BAUD_RATE = 17,
    INVALID_STOP_BIT = 18,
};

// Fault switches. Counts start at 1; 0 or -1 = off.
struct Faults {
    bool mute = false;          // never answers "?" (a chip that is not in ISP mode)
    long corruptLine = -1;      // the Nth data line of RAM writes arrives corrupted, once
    long corruptFrom = -1;      // every data line from the Nth on arrives corrupted
    char errorCommand = 0;      // this command letter is answered with errorCode
    uint8_t errorCode = 0;      //   instead of being carried out
    unsigned slowMs = 0;        // every answer (not the echo) leaves this much later
    long vanishAfterBytes = -1; // after this many data bytes of RAM writes: silent for good
    long badCopy = -1;          // the Nth copy to flash programs one byte wrong (a weak cell)
    char chatterCommand = 0;    // a command line starting with this letter makes the line
                                //   chatter for good: noise, never an echo or an answer
};

struct ChipConfig {
    uint32_t serial[4] = {0x11111111, 0x22222222, 0x33333333, 0x44444444}; // N
    uint32_t partId = 0x26013F37;                                          // LPC1768
    uint8_t bootMajor = 4, bootMinor = 1;
    bool datasheetTiming = true; // erase about 100 ms a command, program 1 ms per 256 bytes
    uint32_t fixedRate = 0;      // 0: the rate the host uses when it sends "?"
    Faults faults;
};

enum class Phase { Autobaud, SyncLine, CrystalLine, Command, WriteData, ReadData, Running, Gone };
const char* phaseName(Phase p);

// Everything a test may read back.
struct ChipState {
    Phase phase = Phase::Autobaud;
    uint32_t rate = 0; // detected (or set with B); 0 before autobaud
    bool echo = true;
    bool unlocked = false;
    uint32_t prepared = 0; // bit per sector
    std::vector<uint8_t> flash;
    uint32_t startAddress = 0;  // of G
    unsigned startsRefused = 0; // G or a restart that found no valid vector checksum
    unsigned restarts = 0;
    std::vector<std::string> commands; // command lines in order (the first 10000)
    uint64_t bytesIn = 0, bytesOut = 0, echoBytes = 0;
    unsigned dataLines = 0, checksums = 0, resends = 0, copies = 0, erasedSectors = 0;
    unsigned compares = 0, mismatches = 0;
    uint64_t busyUs = 0;         // modelled erase and programming time
    uint64_t rateMismatches = 0; // bytes sent at a rate other than the chip's
    unsigned rebauds = 0;        // autobauds again for a host at a new rate
    std::map<std::string, unsigned> faultsFired;
};

using TraceFn = std::function<void(const std::string& line)>;

class IspChip {
  public:
    explicit IspChip(const ChipConfig& cfg);

    // Bytes the host wrote at nowUs at its line rate hostRate (0: unknown,
    // taken as the chip's).
    void receive(const uint8_t* bytes, size_t n, uint64_t nowUs, uint32_t hostRate);
    // Handles every byte that has arrived by nowUs.
    void poll(uint64_t nowUs);
    // Appends the answer bytes that have left by nowUs; returns their count.
    size_t takeOutput(std::vector<uint8_t>& out, uint64_t nowUs);
    // The time of the next byte to handle or to release; UINT64_MAX for none.
    uint64_t nextDueUs() const;

    Phase phase() const { return st_.phase; }
    bool running() const { return st_.phase == Phase::Running; }
    // The line chatters (Faults::chatterCommand): the bench keeps it full of
    // noise bytes that are neither an echo, nor a line end, nor an answer.
    bool chattering() const { return chattering_; }
    static constexpr uint8_t kNoise = 0xAA;
    const std::vector<uint8_t>& flash() const { return st_.flash; }
    ChipState state() const { return st_; }
    const ChipConfig& config() const { return cfg_; }
    // A reset or power cycle: the chip starts its flash when the vector
    // checksum in sector 0 is valid, otherwise its ROM enters ISP mode afresh
    // (autobaud, echo on, locked, nothing prepared). RAM is kept.
    void restart();
    // Whether words 0..7 of the flash sum to zero, as the boot ROM demands
    // before it starts the flash.
    bool vectorChecksumValid() const;
    // Switches faults during a run (counts of lines and bytes go on).
    void setFaults(const Faults& f) { cfg_.faults = f; }
    void setTrace(TraceFn fn) { trace_ = std::move(fn); }
    // The boot ROM bytes that reads of flash addresses 0..511 return.
    static uint8_t bootVector(uint32_t offset);

  private:
    // line discipline and timing (IspChip.cpp)
    void handleByte(uint8_t b);
    void endOfLine();
    void emit(const std::string& text, bool echo);
    void answer(const std::string& text);
    void reply(uint8_t code);
    void busy(uint64_t us);
    void fire(const char* fault);
    uint64_t charUs(uint32_t rate) const;
    // memory
    bool mapped(uint32_t address, uint32_t count) const;
    bool inRam(uint32_t address, uint32_t count) const;
    uint8_t read8(uint32_t address) const;
    uint8_t* ram(uint32_t address);
    // commands (IspCommands.cpp)
    void command(const std::string& line);
    void commandWithArgs(char letter, const std::vector<std::string>& args);
    void copyToFlash(uint32_t dst, uint32_t src, uint32_t count);
    void erase(uint32_t first, uint32_t last);
    void compare(uint32_t a, uint32_t b, uint32_t count);
    void go(uint32_t address, const std::string& mode);
    void setBaud(uint32_t rate, uint32_t stop);
    void writeDataLine(std::string line);
    void writeChecksumLine(const std::string& line);
    void sendReadBlock();
    void readReply(const std::string& line);

    ChipConfig cfg_;
    ChipState st_;
    TraceFn trace_;
    uint64_t t_ = 0;           // the chip's own time while it handles a byte
    uint64_t busyUntil_ = 0;   // erasing or programming until then
    uint64_t lastArrival_ = 0; // of the last input byte
    uint64_t lastRelease_ = 0; // of the last output byte
    uint32_t hostRate_ = 0;
    std::deque<std::pair<uint64_t, uint8_t>> in_;  // arrival time, byte
    std::deque<std::pair<uint64_t, uint8_t>> out_; // release time, byte
    std::string line_;
    bool lineTooLong_ = false;
    bool chattering_ = false;
    std::vector<uint8_t> ram1_, ram2_;
    // RAM write in progress
    uint32_t wAddr_ = 0, wCount_ = 0, wDone_ = 0;
    std::vector<uint8_t> wBlock_; // decoded since the last checksum
    unsigned wLines_ = 0;
    bool wBad_ = false, wAwaitSum_ = false;
    uint64_t dataBytes_ = 0;
    long dataLineCount_ = 0;
    // memory read in progress
    uint32_t rAddr_ = 0, rCount_ = 0, rDone_ = 0, rBlock_ = 0;
    long copyCount_ = 0;
};

} // namespace lpcrom
