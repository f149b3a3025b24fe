// The simulated LPC17xx boot ROM's command handler: each command with the
// checks the real ROM makes, and the data phases of RAM writes and reads.
#include <algorithm>
#include <cstdlib>
#include <map>

#include "lpcrom/IspChip.h"

namespace lpcrom {

namespace {

// Decimal, as the ROM reads its arguments; false for anything else.
bool number(const std::string& s, uint32_t& v) {
    if (s.empty() || s.size() > 10 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    unsigned long long n = std::strtoull(s.c_str(), nullptr, 10);
    if (n > 0xFFFFFFFFull)
        return false;
    v = uint32_t(n);
    return true;
}

uint32_t sectorOf(uint32_t address) {
    return address < 0x10000 ? address / 0x1000 : 16 + (address - 0x10000) / 0x8000;
}

uint32_t sectorMask(uint32_t first, uint32_t last) {
    uint32_t mask = 0;
    for (uint32_t s = first; s <= last; ++s)
        mask |= 1u << s;
    return mask;
}

char uuchar(uint32_t v) {
    v &= 0x3F;
    return v ? char(v + 32) : '`';
}

uint32_t uuvalue(char c) {
    return uint32_t(uint8_t(c) - 32) & 0x3F;
}

std::string uuline(const uint8_t* p, uint32_t n) {
    std::string s(1, uuchar(n));
    for (uint32_t i = 0; i < n; i += 3) {
        uint32_t g = uint32_t(p[i]) << 16 | uint32_t(i + 1 < n ? p[i + 1] : 0) << 8 |
                     uint32_t(i + 2 < n ? p[i + 2] : 0);
        for (int k = 18; k >= 0; k -= 6)
            s += uuchar(g >> k);
    }
    return s + "\r\n";
}

uint32_t sumOf(const std::vector<uint8_t>& v) {
    uint32_t s = 0;
    for (uint8_t b : v)
        s += b;
    return s;
}

} // namespace

void IspChip::commandWithArgs(char letter, const std::vector<std::string>& args) {
    static const std::map<char, size_t> arity = {{'U', 1}, {'B', 2}, {'A', 1}, {'W', 2}, {'R', 2},
                                                 {'P', 2}, {'C', 3}, {'E', 2}, {'J', 0}, {'K', 0},
                                                 {'N', 0}, {'M', 3}, {'G', 2}};
    auto it = arity.find(letter);
    if (it == arity.end())
        return reply(INVALID_COMMAND);
    uint32_t n[3] = {0, 0, 0};
    if (args.size() != it->second)
        return reply(PARAM_ERROR);
    for (size_t k = 0; k < args.size(); ++k)
        if (!(letter == 'G' && k == 1) && !number(args[k], n[k]))
            return reply(PARAM_ERROR);
    switch (letter) {
    case 'U':
        if (n[0] != kUnlockCode)
            return reply(INVALID_CODE);
        st_.unlocked = true;
        return reply(CMD_SUCCESS);
    case 'B':
        return setBaud(n[0], n[1]);
    case 'A':
        if (n[0] > 1)
            return reply(PARAM_ERROR);
        st_.echo = n[0] == 1;
        return reply(CMD_SUCCESS);
    case 'J':
        return answer("0\r\n" + std::to_string(cfg_.partId) + "\r\n");
    case 'K':
        return answer("0\r\n" + std::to_string(cfg_.bootMajor) + "\r\n" +
                      std::to_string(cfg_.bootMinor) + "\r\n");
    case 'N': {
        std::string text = "0\r\n";
        for (uint32_t w : cfg_.serial)
            text += std::to_string(w) + "\r\n";
        return answer(text);
    }
    case 'P':
        if (n[0] > n[1] || n[1] >= uint32_t(kSectorCount))
            return reply(INVALID_SECTOR);
        st_.prepared |= sectorMask(n[0], n[1]);
        return reply(CMD_SUCCESS);
    case 'E':
        return erase(n[0], n[1]);
    case 'C':
        return copyToFlash(n[0], n[1], n[2]);
    case 'M':
        return compare(n[0], n[1], n[2]);
    case 'G':
        return go(n[0], args[1]);
    case 'W':
        if (n[0] % 4)
            return reply(ADDR_ERROR);
        if (n[1] % 4)
            return reply(COUNT_ERROR);
        if (!inRam(n[0], n[1]))
            return reply(ADDR_NOT_MAPPED);
        reply(CMD_SUCCESS);
        wAddr_ = n[0], wCount_ = n[1], wDone_ = 0, wLines_ = 0;
        wBlock_.clear();
        wBad_ = wAwaitSum_ = false;
        if (wCount_)
            st_.phase = Phase::WriteData;
        return;
    case 'R':
        if (n[0] % 4)
            return reply(ADDR_ERROR);
        if (n[1] % 4)
            return reply(COUNT_ERROR);
        if (!mapped(n[0], n[1]))
            return reply(ADDR_NOT_MAPPED);
        reply(CMD_SUCCESS);
        rAddr_ = n[0], rCount_ = n[1], rDone_ = 0;
        if (rCount_) {
            st_.phase = Phase::ReadData;
            sendReadBlock();
        }
        return;
    }
}

void IspChip::setBaud(uint32_t rate, uint32_t stop) {
    static const uint32_t rates[] = {2400, 4800, 9600, 19200, 38400, 57600, 115200, 230400};
    bool known = false;
    for (uint32_t r : rates)
        known = known || r == rate;
    if (!known)
        return reply(INVALID_BAUD_RATE);
    if (stop != 1 && stop != 2)
        return reply(INVALID_STOP_BIT);
    reply(CMD_SUCCESS); // still at the old rate
    st_.rate = rate;
}

void IspChip::erase(uint32_t first, uint32_t last) {
    if (!st_.unlocked)
        return reply(CMD_LOCKED);
    if (first > last || last >= uint32_t(kSectorCount))
        return reply(INVALID_SECTOR);
    uint32_t mask = sectorMask(first, last);
    if ((st_.prepared & mask) != mask)
        return reply(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
    uint32_t start = first < 16 ? first * 0x1000 : 0x10000 + (first - 16) * 0x8000;
    uint32_t end = last < 16 ? (last + 1) * 0x1000 : 0x10000 + (last - 15) * 0x8000;
    std::fill(st_.flash.begin() + start, st_.flash.begin() + end, 0xFF);
    st_.prepared &= ~mask; // a finished erase protects its sectors again
    st_.erasedSectors += last - first + 1;
    busy(100000ull); // about 100 ms a command, however many sectors it erases
    reply(CMD_SUCCESS);
}

void IspChip::copyToFlash(uint32_t dst, uint32_t src, uint32_t count) {
    if (!st_.unlocked)
        return reply(CMD_LOCKED);
    if (dst % 256)
        return reply(DST_ADDR_ERROR);
    if (src % 4)
        return reply(SRC_ADDR_ERROR);
    if (count != 256 && count != 512 && count != 1024 && count != 4096)
        return reply(COUNT_ERROR);
    if (uint64_t(dst) + count > kFlashSize)
        return reply(DST_ADDR_NOT_MAPPED);
    if (!inRam(src, count))
        return reply(SRC_ADDR_NOT_MAPPED);
    uint32_t mask = sectorMask(sectorOf(dst), sectorOf(dst + count - 1));
    if ((st_.prepared & mask) != mask)
        return reply(SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION);
    // Flash bits only go from 1 to 0: writing over programmed bytes would
    // leave their AND. The simulator refuses it outright.
    for (uint32_t i = 0; i < count; ++i)
        if (st_.flash[dst + i] != 0xFF)
            return reply(SECTOR_NOT_BLANK);
    const uint8_t* from = ram(src);
    std::copy(from, from + count, st_.flash.begin() + dst);
    if (++copyCount_ == cfg_.faults.badCopy) {
        fire("bad-copy");
        st_.flash[dst + count / 2] ^= 0x01; // one bit that did not program right
    }
    st_.prepared &= ~mask; // the sectors written are protected again
    st_.copies++;
    busy(1000ull * (count / 256)); // data sheet: 1 ms per 256 bytes
    reply(CMD_SUCCESS);
}

void IspChip::compare(uint32_t a, uint32_t b, uint32_t count) {
    st_.compares++;
    if (a % 4 || b % 4)
        return reply(ADDR_ERROR);
    if (count % 4)
        return reply(COUNT_ERROR);
    if (!mapped(a, count) || !mapped(b, count))
        return reply(ADDR_NOT_MAPPED);
    for (uint32_t i = 0; i < count; ++i) {
        if (read8(a + i) != read8(b + i)) {
            st_.mismatches++;
            return answer("10\r\n" + std::to_string(i) + "\r\n");
        }
    }
    reply(CMD_SUCCESS);
}

void IspChip::go(uint32_t address, const std::string& mode) {
    if (!st_.unlocked)
        return reply(CMD_LOCKED);
    if (mode != "T") // a Cortex-M3 has no ARM mode
        return reply(PARAM_ERROR);
    if (!mapped(address, 4))
        return reply(ADDR_NOT_MAPPED);
    reply(CMD_SUCCESS); // the ROM answers before it jumps
    st_.startAddress = address;
    if (!vectorChecksumValid()) {
        // The ROM will not run a flash whose vector table fails its
        // checksum: the chip stays in the command handler.
        st_.startsRefused++;
        if (trace_)
            trace_("go: no valid vector checksum, the chip stays in ISP mode");
        return;
    }
    st_.phase = Phase::Running;
    in_.clear();
    if (trace_)
        trace_("go: the chip leaves ISP mode and runs its flash");
}

void IspChip::writeDataLine(std::string line) {
    ++dataLineCount_;
    st_.dataLines++;
    const Faults& f = cfg_.faults;
    if (dataLineCount_ == f.corruptLine || (f.corruptFrom > 0 && dataLineCount_ >= f.corruptFrom)) {
        fire("corrupt-line");
        if (line.size() > 1)
            line[1] = line[1] == '!' ? '"' : '!'; // another valid character: a flipped bit
    }
    uint32_t remaining = wCount_ - wDone_ - uint32_t(wBlock_.size());
    uint32_t n = line.empty() ? 0 : uuvalue(line[0]);
    if (n == 0 || n > kBytesPerLine || n > remaining || line.size() < 1 + 4 * ((n + 2) / 3)) {
        wBad_ = true;
        wBlock_.insert(wBlock_.end(), std::min(n, remaining), 0);
    } else {
        for (uint32_t i = 0, pos = 1; i < n; pos += 4) {
            uint32_t g = uuvalue(line[pos]) << 18 | uuvalue(line[pos + 1]) << 12 |
                         uuvalue(line[pos + 2]) << 6 | uuvalue(line[pos + 3]);
            for (int k = 16; k >= 0 && i < n; k -= 8, ++i)
                wBlock_.push_back(uint8_t(g >> k));
        }
    }
    dataBytes_ += std::min(n, remaining);
    if (f.vanishAfterBytes >= 0 && dataBytes_ >= uint64_t(f.vanishAfterBytes)) {
        fire("vanish");
        st_.phase = Phase::Gone;
        in_.clear();
        out_.clear();
        return;
    }
    if (++wLines_ >= kLinesPerChecksum || wDone_ + wBlock_.size() >= wCount_)
        wAwaitSum_ = true;
}

void IspChip::writeChecksumLine(const std::string& line) {
    st_.checksums++;
    uint32_t sent = 0;
    if (!wBad_ && number(line, sent) && sent == sumOf(wBlock_)) {
        std::copy(wBlock_.begin(), wBlock_.end(), ram(wAddr_ + wDone_));
        wDone_ += uint32_t(wBlock_.size());
        answer("OK\r\n");
    } else {
        st_.resends++;
        answer("RESEND\r\n");
    }
    wBlock_.clear();
    wLines_ = 0;
    wBad_ = wAwaitSum_ = false;
    if (wDone_ >= wCount_)
        st_.phase = Phase::Command;
}

void IspChip::sendReadBlock() {
    std::string text;
    std::vector<uint8_t> block;
    for (unsigned lines = 0; lines < kLinesPerChecksum && rDone_ + block.size() < rCount_;
         ++lines) {
        uint32_t n = std::min<uint32_t>(kBytesPerLine, rCount_ - rDone_ - uint32_t(block.size()));
        uint8_t bytes[kBytesPerLine];
        for (uint32_t i = 0; i < n; ++i)
            bytes[i] = read8(rAddr_ + rDone_ + uint32_t(block.size()) + i);
        block.insert(block.end(), bytes, bytes + n);
        text += uuline(bytes, n);
    }
    rBlock_ = uint32_t(block.size());
    answer(text + std::to_string(sumOf(block)) + "\r\n");
}

void IspChip::readReply(const std::string& line) {
    if (line == "OK") {
        rDone_ += rBlock_;
        if (rDone_ >= rCount_)
            st_.phase = Phase::Command;
        else
            sendReadBlock();
    } else if (line == "RESEND") {
        st_.resends++;
        sendReadBlock();
    } else {
        st_.phase = Phase::Command; // the host gave up
    }
}

} // namespace lpcrom
