// The SDP command set of the simulated i.MX ROM.
#include "imxsim/ImxRom.h"

#include <algorithm>
#include <cstdio>

namespace imxsim {

namespace {

uint32_t be32(const uint8_t* p) {
    return uint32_t(p[0]) << 24 | uint32_t(p[1]) << 16 | uint32_t(p[2]) << 8 | uint32_t(p[3]);
}

std::string hexWord(const char* what, uint32_t v) {
    char b[48];
    snprintf(b, sizeof b, "%s=%08X", what, v);
    return b;
}

} // namespace

ImxRom::ImxRom(const RomConfig& cfg) : cfg_(cfg) {}

std::vector<uint8_t> ImxRom::le32(uint32_t w) {
    return {uint8_t(w), uint8_t(w >> 8), uint8_t(w >> 16), uint8_t(w >> 24)};
}

void ImxRom::setFaults(const RomFaults& f) {
    cfg_.faults = f;
}

void ImxRom::fire(const char* fault) {
    st_.faultsFired[fault]++;
    trace(std::string("fault ") + fault);
}

void ImxRom::trace(const std::string& line) const {
    if (trace_)
        trace_("rom " + line);
}

void ImxRom::reboot() {
    st_.jumped = false;
    st_.boots++;
    inData_ = false;
    cmd_.clear();
    out_.clear();
    status_ = kStatusOk;
    trace("boot");
}

void ImxRom::answer(bool hab, const std::vector<uint8_t>& payload) {
    if (cfg_.faults.silent) {
        fire("silent");
        return;
    }
    out_.push_back(Answer{hab, payload, 0});
}

// The bytes the ROM holds at address (from the files written to it).
bool ImxRom::memoryBytes(uint32_t address, size_t n, std::vector<uint8_t>& out) const {
    for (auto it = st_.images.rbegin(); it != st_.images.rend(); ++it) {
        if (address >= it->address &&
            uint64_t(address) + n <= uint64_t(it->address) + it->data.size()) {
            auto from = it->data.begin() + long(address - it->address);
            out.assign(from, from + long(n));
            return true;
        }
    }
    return false;
}

uint32_t ImxRom::memoryWord(uint32_t address) const {
    if (address == kFingerprintLow)
        return cfg_.fingerprintLow;
    if (address == kFingerprintHigh)
        return cfg_.fingerprintHigh;
    auto r = st_.registers.find(address);
    if (r != st_.registers.end())
        return r->second;
    std::vector<uint8_t> b;
    if (!memoryBytes(address, 4, b))
        return 0;
    return uint32_t(b[0]) | uint32_t(b[1]) << 8 | uint32_t(b[2]) << 16 | uint32_t(b[3]) << 24;
}

// The ROM checks the image vector table (IVT: tag D1, length 0020, version
// 4x) at the address; with HAB closed the image must be signed (its IVT
// names a CSF). A refusal is the HAB word and a status; the ROM stays.
void ImxRom::jump(uint32_t address) {
    std::vector<uint8_t> ivt;
    bool header = memoryBytes(address, 32, ivt) && ivt[0] == 0xD1 && ivt[1] == 0x00 &&
                  ivt[2] == 0x20 && (ivt[3] & 0xF0) == 0x40;
    bool signedImage = header && (ivt[24] | ivt[25] | ivt[26] | ivt[27]) != 0;
    bool closed = cfg_.hab != kHabOpen;
    uint32_t refusal = 0;
    if ((cfg_.requireHeader || closed) && !header)
        refusal = kStatusNoImage;
    else if (closed && !signedImage)
        refusal = kStatusHabRefused;
    if (refusal != 0) {
        st_.jumpsRefused++;
        status_ = refusal;
        trace(hexWord("jump refused, status", refusal));
        return answerWord(refusal);
    }
    answer(true, {});
    st_.jumped = true;
    st_.jumpAddress = address;
}

void ImxRom::command(const uint8_t* c) {
    st_.commands++;
    const uint32_t address = be32(c + 2);
    const uint32_t count = be32(c + 7);
    if (c[0] != c[1]) {
        st_.badCommands++;
        trace("bad command");
        return;
    }
    switch (c[0]) {
    case kErrorStatus:
        trace(hexWord("< ERROR_STATUS, status", status_));
        answerWord(status_);
        if (cfg_.faults.lateStatusMs && !out_.empty()) {
            fire("late-status");
            out_.back().dueUs = nowUs_ + uint64_t(cfg_.faults.lateStatusMs) * 1000;
        }
        return;
    case kWriteRegister:
        trace(hexWord("< WRITE_REGISTER address", address));
        st_.registers[address] = be32(c + 11);
        return answerWord(kStatusWriteRegister);
    case kReadRegister: {
        trace(hexWord("< READ_REGISTER address", address));
        std::vector<uint8_t> words;
        uint32_t bytes = std::min<uint32_t>(std::max<uint32_t>(count, 4), kStatusReportSize);
        for (uint32_t at = address; words.size() < bytes; at += 4) {
            std::vector<uint8_t> w = le32(memoryWord(at));
            words.insert(words.end(), w.begin(), w.end());
        }
        words.resize(bytes);
        return answer(true, words);
    }
    case kWriteFile:
        trace(hexWord("< WRITE_FILE address", address) + " count=" + std::to_string(count));
        if (count > kRamSize) {
            status_ = kStatusTooLarge;
            return answerWord(kStatusTooLarge);
        }
        st_.images.push_back(RomImage{address, count, {}, count == 0});
        inData_ = count > 0;
        if (!inData_)
            answerWord(kStatusComplete);
        return;
    case kJumpAddress:
        trace(hexWord("< JUMP_ADDRESS address", address));
        return jump(address);
    default:
        st_.badCommands++;
        trace("unknown command type " + std::to_string(c[0]));
        return;
    }
}

void ImxRom::data(const uint8_t* bytes, size_t n) {
    RomImage& img = st_.images.back();
    size_t take = std::min<size_t>(n, img.announced - img.data.size());
    const long errorAt = cfg_.faults.errorAtByte;
    if (errorAt >= 0 && img.data.size() + take >= size_t(errorAt)) {
        take = size_t(errorAt) > img.data.size() ? size_t(errorAt) - img.data.size() : 0;
        img.data.insert(img.data.end(), bytes, bytes + take);
        fire("error-at");
        inData_ = false;
        status_ = kStatusDataError;
        return answerWord(kStatusDataError);
    }
    img.data.insert(img.data.end(), bytes, bytes + take);
    if (img.data.size() < img.announced)
        return;
    img.complete = true;
    inData_ = false;
    status_ = kStatusOk;
    trace("image complete, " + std::to_string(img.data.size()) + " bytes");
    if (cfg_.faults.noCompletion)
        return fire("no-completion");
    answerWord(kStatusComplete);
}

void ImxRom::receiveSerial(const uint8_t* bytes, size_t n, uint64_t nowUs) {
    nowUs_ = nowUs;
    for (size_t i = 0; i < n; ++i) {
        if (st_.jumped) {
            st_.ignoredAfterJump++;
            continue;
        }
        if (inData_) {
            // The data phase takes what it still needs in one go.
            size_t before = st_.images.back().data.size();
            data(bytes + i, n - i);
            size_t used = st_.images.back().data.size() - before;
            lastByteUs_ = nowUs;
            if (used > 0) {
                i += used - 1;
                continue;
            }
            // Broken off before this byte: it goes to the command parser.
        }
        if (!cmd_.empty() && nowUs - lastByteUs_ > kCommandGapUs) {
            st_.droppedPartials++;
            trace("partial command of " + std::to_string(cmd_.size()) + " bytes dropped");
            cmd_.clear();
        }
        lastByteUs_ = nowUs;
        cmd_.push_back(bytes[i]);
        if (cmd_.size() == kCommandSize) {
            std::vector<uint8_t> c;
            c.swap(cmd_);
            command(c.data());
        }
    }
}

size_t ImxRom::takeSerial(std::vector<uint8_t>& out, uint64_t nowUs) {
    size_t n = 0;
    while (!out_.empty() && out_.front().dueUs <= nowUs) {
        const Answer a = out_.front();
        out_.pop_front();
        if (a.hab) {
            std::vector<uint8_t> h = le32(cfg_.hab);
            out.insert(out.end(), h.begin(), h.end());
            n += 4;
        }
        out.insert(out.end(), a.payload.begin(), a.payload.end());
        n += a.payload.size();
    }
    return n;
}

void ImxRom::receiveReport(const uint8_t* report, size_t n, uint64_t nowUs) {
    nowUs_ = nowUs;
    if (n == 0)
        return;
    if (st_.jumped) {
        st_.ignoredAfterJump++;
        return;
    }
    if (report[0] == kReportCommand && n >= 1 + kCommandSize && !inData_)
        return command(report + 1);
    if (report[0] == kReportData && inData_)
        return data(report + 1, n - 1);
    st_.badCommands++;
    trace("unexpected report " + std::to_string(report[0]) + " of " + std::to_string(n) + " bytes");
}

bool ImxRom::takeReport(std::vector<uint8_t>& report, uint64_t nowUs) {
    if (out_.empty() || out_.front().dueUs > nowUs)
        return false;
    Answer& a = out_.front();
    if (a.hab) {
        report = {kReportHab};
        std::vector<uint8_t> h = le32(cfg_.hab);
        report.insert(report.end(), h.begin(), h.end());
        a.hab = false;
        if (a.payload.empty())
            out_.pop_front();
        return true;
    }
    report.assign(1 + kStatusReportSize, 0);
    report[0] = kReportStatus;
    std::copy(a.payload.begin(), a.payload.end(), report.begin() + 1);
    out_.pop_front();
    return true;
}

} // namespace imxsim
