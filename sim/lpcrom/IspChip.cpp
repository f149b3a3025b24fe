// The simulated LPC17xx boot ROM: the serial line with its timing, the
// autobaud and synchronisation phases, the line discipline and the memory map.
#include "lpcrom/IspChip.h"

#include <algorithm>
#include <cstdio>
#include <limits>

namespace lpcrom {

namespace {
constexpr size_t kMaxLine = 128; // longer command lines are refused
constexpr size_t kMaxCommandsKept = 10000;
constexpr uint32_t kDefaultRate = 115200;
} // namespace

const char* phaseName(Phase p) {
    switch (p) {
    case Phase::Autobaud:
        return "autobaud";
    case Phase::SyncLine:
        return "sync";
    case Phase::CrystalLine:
        return "crystal";
    case Phase::Command:
        return "command";
    case Phase::WriteData:
        return "write-data";
    case Phase::ReadData:
        return "read-data";
    case Phase::Running:
        return "running";
    case Phase::Gone:
        return "gone";
    }
    return "?";
}

IspChip::IspChip(const ChipConfig& cfg) : cfg_(cfg), ram1_(kRam1Size, 0), ram2_(kRam2Size, 0) {
    st_.flash.assign(kFlashSize, 0xFF);
}

uint8_t IspChip::bootVector(uint32_t offset) {
    // Any fixed pattern other than erased flash will do: it shows that reads
    // and compares of the first 512 bytes see the ROM, not the flash.
    return uint8_t(0x5A ^ (offset * 37 + 11));
}

uint64_t IspChip::charUs(uint32_t rate) const {
    if (rate == 0)
        rate = st_.rate ? st_.rate : kDefaultRate;
    return 10000000ull / rate; // start bit, 8 data bits, stop bit
}

bool IspChip::vectorChecksumValid() const {
    uint32_t sum = 0;
    for (uint32_t w = 0; w < 8; ++w)
        sum += uint32_t(st_.flash[4 * w]) | uint32_t(st_.flash[4 * w + 1]) << 8 |
               uint32_t(st_.flash[4 * w + 2]) << 16 | uint32_t(st_.flash[4 * w + 3]) << 24;
    return sum == 0;
}

void IspChip::restart() {
    st_.restarts++;
    in_.clear();
    out_.clear();
    line_.clear();
    lineTooLong_ = false;
    chattering_ = false;
    wAwaitSum_ = wBad_ = false;
    wBlock_.clear();
    if (vectorChecksumValid()) {
        st_.phase = Phase::Running;
        if (trace_)
            trace_("restart: the chip runs its flash");
        return;
    }
    st_.startsRefused++;
    st_.phase = Phase::Autobaud;
    st_.rate = 0;
    st_.echo = true;
    st_.unlocked = false;
    st_.prepared = 0;
    if (trace_)
        trace_("restart: no valid vector checksum, the ROM enters ISP mode");
}

void IspChip::fire(const char* fault) {
    st_.faultsFired[fault]++;
    if (trace_)
        trace_(std::string("fault ") + fault);
}

void IspChip::receive(const uint8_t* bytes, size_t n, uint64_t nowUs, uint32_t hostRate) {
    hostRate_ = hostRate;
    for (size_t i = 0; i < n; ++i) {
        lastArrival_ = std::max(nowUs, lastArrival_) + charUs(hostRate);
        st_.bytesIn++;
        if (st_.phase == Phase::Gone || st_.phase == Phase::Running)
            continue;
        // A host at another rate than the chip's is garbage to its UART,
        // except the "?" of a host that opened the port anew at its own
        // rate while the command handler idles: the chip measures it again
        // (the bench cannot see the port reopened; that "?" stands for it).
        if (st_.rate && hostRate && hostRate != st_.rate) {
            if (bytes[i] == '?' && st_.phase == Phase::Command && line_.empty() && in_.empty()) {
                st_.rate = 0;
                st_.phase = Phase::Autobaud;
                st_.echo = true; // the handler it synchronises to starts echoing
                st_.rebauds++;
            } else {
                st_.rateMismatches++;
                continue;
            }
        }
        in_.push_back({lastArrival_, bytes[i]});
    }
}

void IspChip::poll(uint64_t nowUs) {
    while (!in_.empty()) {
        uint64_t at = std::max(in_.front().first, busyUntil_);
        if (at > nowUs)
            break;
        t_ = at;
        uint8_t b = in_.front().second;
        in_.pop_front();
        handleByte(b);
    }
}

size_t IspChip::takeOutput(std::vector<uint8_t>& out, uint64_t nowUs) {
    size_t n = 0;
    while (!out_.empty() && out_.front().first <= nowUs) {
        out.push_back(out_.front().second);
        out_.pop_front();
        ++n;
    }
    return n;
}

uint64_t IspChip::nextDueUs() const {
    uint64_t next = std::numeric_limits<uint64_t>::max();
    if (!in_.empty())
        next = std::max(in_.front().first, busyUntil_);
    if (!out_.empty())
        next = std::min(next, out_.front().first);
    return next;
}

void IspChip::emit(const std::string& text, bool echo) {
    uint64_t ready = t_ + (echo ? 0 : uint64_t(cfg_.faults.slowMs) * 1000);
    for (char c : text) {
        lastRelease_ = std::max(ready, lastRelease_) + charUs(st_.rate);
        out_.push_back({lastRelease_, uint8_t(c)});
    }
    st_.bytesOut += text.size();
    if (echo)
        st_.echoBytes += text.size();
}

void IspChip::answer(const std::string& text) {
    if (trace_) {
        std::string shown = text.size() > 48 ? text.substr(0, 45) + "..." : text;
        for (size_t i; (i = shown.find("\r\n")) != std::string::npos;)
            shown.replace(i, 2, " ");
        trace_("> " + shown);
    }
    emit(text, false);
}

void IspChip::reply(uint8_t code) {
    answer(std::to_string(unsigned(code)) + "\r\n");
}

void IspChip::busy(uint64_t us) {
    if (!cfg_.datasheetTiming)
        return;
    st_.busyUs += us;
    t_ += us;
    busyUntil_ = t_;
}

void IspChip::handleByte(uint8_t b) {
    switch (st_.phase) {
    case Phase::Autobaud:
        if (b != '?')
            return; // the ROM measures the "?" and ignores anything else
        if (cfg_.faults.mute) {
            fire("mute");
            return;
        }
        st_.rate = cfg_.fixedRate ? cfg_.fixedRate : (hostRate_ ? hostRate_ : kDefaultRate);
        st_.phase = Phase::SyncLine;
        line_.clear();
        answer("Synchronized\r\n");
        return;
    case Phase::Running:
    case Phase::Gone:
        return;
    default:
        break;
    }
    if (chattering_)
        return;
    if (st_.phase == Phase::Command && line_.empty() && cfg_.faults.chatterCommand != 0 &&
        b == uint8_t(cfg_.faults.chatterCommand)) {
        chattering_ = true; // from here on the line carries noise only
        fire("chatter");
        return;
    }
    // Synchronisation lines are always echoed; commands and data while echo is on.
    bool syncing = st_.phase == Phase::SyncLine || st_.phase == Phase::CrystalLine;
    if (syncing || st_.echo)
        emit(std::string(1, char(b)), true);
    if (b == '\n')
        return endOfLine();
    if (line_.size() < kMaxLine)
        line_ += char(b);
    else
        lineTooLong_ = true;
}

void IspChip::endOfLine() {
    std::string line = line_;
    bool tooLong = lineTooLong_;
    line_.clear();
    lineTooLong_ = false;
    if (!line.empty() && line.back() == '\r')
        line.pop_back();
    switch (st_.phase) {
    case Phase::SyncLine:
        if (line == "Synchronized") {
            answer("OK\r\n");
            st_.phase = Phase::CrystalLine;
        } else {
            st_.phase = Phase::Autobaud; // back to measuring the next "?"
        }
        return;
    case Phase::CrystalLine:
        if (!line.empty() && line.find_first_not_of("0123456789") == std::string::npos) {
            answer("OK\r\n");
            st_.phase = Phase::Command;
        } else {
            st_.phase = Phase::Autobaud;
        }
        return;
    case Phase::Command:
        if (tooLong)
            return reply(INVALID_COMMAND);
        return command(line);
    case Phase::WriteData:
        return wAwaitSum_ ? writeChecksumLine(line) : writeDataLine(line);
    case Phase::ReadData:
        return readReply(line);
    default:
        return;
    }
}

bool IspChip::inRam(uint32_t address, uint32_t count) const {
    uint64_t end = uint64_t(address) + count;
    return (address >= kRam1Base && end <= uint64_t(kRam1Base) + kRam1Size) ||
           (address >= kRam2Base && end <= uint64_t(kRam2Base) + kRam2Size);
}

bool IspChip::mapped(uint32_t address, uint32_t count) const {
    return uint64_t(address) + count <= kFlashSize || inRam(address, count);
}

uint8_t IspChip::read8(uint32_t address) const {
    if (address < kBootRomWindow)
        return bootVector(address);
    if (address < kFlashSize)
        return st_.flash[address];
    if (address >= kRam1Base && address - kRam1Base < kRam1Size)
        return ram1_[address - kRam1Base];
    if (address >= kRam2Base && address - kRam2Base < kRam2Size)
        return ram2_[address - kRam2Base];
    return 0;
}

uint8_t* IspChip::ram(uint32_t address) {
    if (address >= kRam1Base && address - kRam1Base < kRam1Size)
        return &ram1_[address - kRam1Base];
    return &ram2_[address - kRam2Base];
}

void IspChip::command(const std::string& line) {
    if (st_.commands.size() < kMaxCommandsKept)
        st_.commands.push_back(line);
    if (trace_)
        trace_("< " + line);
    std::vector<std::string> words;
    size_t i = 0;
    while (i < line.size()) {
        size_t j = line.find(' ', i);
        if (j == std::string::npos)
            j = line.size();
        if (j > i)
            words.push_back(line.substr(i, j - i));
        i = j + 1;
    }
    if (words.empty() || words[0].size() != 1)
        return reply(INVALID_COMMAND);
    char letter = words[0][0];
    words.erase(words.begin());
    if (cfg_.faults.errorCommand == letter) {
        fire("error");
        return reply(cfg_.faults.errorCode);
    }
    commandWithArgs(letter, words);
}

} // namespace lpcrom
