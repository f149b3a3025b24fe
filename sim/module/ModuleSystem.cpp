// The system entity (command 3) with its option table, the DESCRIBE queries
// and the helpers for UEI replies.
#include <algorithm>

#include "modsim/Module.h"
#include "modsim/modsim_protocol.h"

namespace modsim {

namespace {

enum Kind : uint8_t { kCall = 0, kByte = 1, kShort = 2, kInt = 4, kBytes = 5 };

struct OptDef {
    uint8_t opt;
    uint8_t kind;
    bool writable;
};

// Option 31 is both an 8-bit value and a byte array (see systemGet/systemSet).
constexpr OptDef kOptions[] = {
    {1, kByte, false},  {2, kByte, true},  {3, kByte, true},   {4, kByte, true},
    {6, kByte, true},   {7, kInt, false},  {8, kByte, false},  {9, kInt, false},
    {10, kCall, true},  {11, kCall, true}, {12, kInt, false},  {13, kByte, false},
    {14, kByte, false}, {15, kByte, true}, {16, kByte, false}, {20, kByte, true},
    {21, kInt, false},  {22, kInt, false}, {23, kInt, false},  {24, kCall, true},
    {25, kInt, false},  {26, kInt, false}, {27, kInt, false},  {28, kInt, false},
    {29, kByte, false}, {31, kByte, true}, {32, kBytes, true}, {33, kInt, false},
    {34, kInt, true},   {35, kInt, false}, {36, kCall, true},  {37, kCall, true},
    {38, kByte, true},  {39, kInt, false}, {40, kInt, false},  {41, kInt, false},
};

const OptDef* findOpt(uint8_t opt) {
    for (const OptDef& d : kOptions)
        if (d.opt == opt)
            return &d;
    return nullptr;
}

constexpr size_t kMaxLabel = 64;
constexpr size_t kMaxPowerConfig = 64;

// Commands with one entity (index 0) on every module.
bool knownClass(uint8_t cmd) {
    return cmd == cmdSYSTEM || cmd == cmdSLOT || cmd == cmdDEBUG || cmd == cmdDESCRIBE ||
           cmd == cmdSTREAM || cmd == cmdFACTORY || cmd == cmdUPGRADE;
}

} // namespace

void Module::uerr(uint8_t cmd, uint8_t optByte, uint8_t idx, uint8_t code) {
    emit({cmd, optByte, uint8_t((idx & kIndexMask) | kSpecError), code});
}

void Module::sendBytes(uint8_t cmd, uint8_t opt, uint8_t idx, const std::vector<uint8_t>& v) {
    size_t off = 0;
    uint8_t counter = 0;
    do {
        size_t n = std::min<size_t>(v.size() - off, kBytesChunk);
        bool more = off + n < v.size();
        std::vector<uint8_t> d{cmd, opt, idx};
        d.insert(d.end(), v.begin() + long(off), v.begin() + long(off + n));
        d.push_back(uint8_t((counter & 0x7F) | (more ? 0x80 : 0)));
        emit(d);
        off += n;
        ++counter;
        if (!more)
            break;
    } while (true);
}

bool Module::optionValue(uint8_t opt, uint8_t sub, uint32_t& v, uint8_t& width) const {
    const OptDef* d = findOpt(opt);
    if (!d || d->kind == kCall || d->kind == kBytes)
        return false;
    width = d->kind;
    if (opt == 39) {
        if (sub > 3)
            return false;
        v = cfg_.uid[sub];
    } else if (opt == 22) {
        v = uint32_t((now_ - bootUs_) / 1000000);
    } else if (opt == 7) {
        v = st_.version;
    } else if (opt == 9) {
        v = st_.serial;
    } else {
        auto it = st_.options.find(opt);
        v = it == st_.options.end() ? 0 : it->second;
    }
    return true;
}

void Module::handleSystem(const Packet& p) {
    const auto& d = p.data;
    if (d.size() < 3) {
        if (d.size() == 2)
            uerr(d[0], d[1], 0, errShortCommand);
        return;
    }
    uint8_t flags = d[1] & 0xC0, opt = d[1] & kOptMask, idx = d[2] & kIndexMask;
    const Faults& f = cfg_.faults;
    bool request = flags == kOptGet || flags == kOptSet;
    if (request &&
        std::find(f.silentOptions.begin(), f.silentOptions.end(), opt) != f.silentOptions.end()) {
        fire("silent");
        return;
    }
    if (request && f.optionErrorCode && f.optionErrorOption == opt) {
        fire("option-error");
        return uerr(d[0], flags == kOptSet ? uint8_t(opt | kOptAck) : opt, idx, f.optionErrorCode);
    }
    if (flags == kOptGet) {
        if (idx != 0)
            return uerr(d[0], opt, idx, errInvalidEntity);
        systemGet(opt, idx, d);
    } else if (flags == kOptSet) {
        if (idx != 0)
            return uerr(d[0], uint8_t(opt | kOptAck), idx, errInvalidEntity);
        systemSet(opt, idx, d);
    } else {
        st_.ignoredPackets++; // replies and acknowledgements are not requests
    }
}

void Module::systemGet(uint8_t opt, uint8_t idx, const std::vector<uint8_t>& d) {
    const OptDef* def = findOpt(opt);
    if (!def)
        return uerr(cmdSYSTEM, opt, idx, errInvalidOption);
    if (def->kind == kCall)
        return uerr(cmdSYSTEM, opt, idx, errMode);
    bool hasSub = d.size() >= 4;
    uint8_t sub = hasSub ? d[3] : 0;
    if (opt == 32)
        return sendBytes(cmdSYSTEM, opt, idx,
                         std::vector<uint8_t>(st_.label.begin(), st_.label.end()));
    if (opt == 31 && !hasSub)
        return sendBytes(cmdSYSTEM, opt, idx, st_.powerConfig);
    if (opt != 39 && sub != 0)
        return uerr(cmdSYSTEM, opt, idx, errIndexRange);
    uint32_t v = 0;
    uint8_t width = 0;
    if (!optionValue(opt, sub, v, width))
        return uerr(cmdSYSTEM, opt, idx, errIndexRange);
    std::vector<uint8_t> r{cmdSYSTEM, opt, idx};
    if (width == kByte)
        r.push_back(uint8_t(v));
    else if (width == kShort)
        r.insert(r.end(), {uint8_t(v >> 8), uint8_t(v)});
    else
        r.insert(r.end(), {uint8_t(v >> 24), uint8_t(v >> 16), uint8_t(v >> 8), uint8_t(v)});
    emit(r);
}

void Module::systemBytesChunk(uint8_t opt, uint8_t idx, const std::vector<uint8_t>& d) {
    uint8_t ack = uint8_t(opt | kOptAck);
    uint8_t seq = d.back();
    uint8_t counter = seq & 0x7F;
    if (counter == 0) {
        bytesBuf_.clear();
        bytesOpt_ = opt;
    } else if (bytesOpt_ != opt || counter != uint8_t((bytesSeq_ + 1) & 0x7F)) {
        bytesOpt_ = 0;
        return uerr(cmdSYSTEM, ack, idx, errPacket);
    }
    bytesSeq_ = counter;
    bytesBuf_.insert(bytesBuf_.end(), d.begin() + 3, d.end() - 1);
    size_t limit = opt == 32 ? kMaxLabel : kMaxPowerConfig;
    if (bytesBuf_.size() > limit) {
        bytesOpt_ = 0;
        return uerr(cmdSYSTEM, ack, idx, errSize);
    }
    if (seq & 0x80)
        return; // more chunks follow; the whole value is acknowledged once
    bytesOpt_ = 0;
    if (opt == 31) {
        if (bytesBuf_.size() % 4)
            return uerr(cmdSYSTEM, ack, idx, errSize);
        st_.powerConfig = bytesBuf_;
    } else {
        st_.label.assign(bytesBuf_.begin(), bytesBuf_.end());
    }
    st_.optionSets[opt]++;
    emit({cmdSYSTEM, ack, idx});
}

void Module::systemSet(uint8_t opt, uint8_t idx, const std::vector<uint8_t>& d) {
    uint8_t ack = uint8_t(opt | kOptAck);
    const OptDef* def = findOpt(opt);
    if (!def)
        return uerr(cmdSYSTEM, ack, idx, errInvalidOption);
    if (def->kind == kBytes || (opt == 31 && d.size() >= 8)) {
        if (d.size() < 4)
            return uerr(cmdSYSTEM, ack, idx, errSize);
        return systemBytesChunk(opt, idx, d);
    }
    if (def->kind == kCall)
        return applySystemValue(opt, idx, 0, true);
    if (!def->writable)
        return uerr(cmdSYSTEM, ack, idx, errPermission);
    size_t w = def->kind;
    size_t at;
    if (d.size() == 3 + w) {
        at = 3;
    } else if (d.size() == 4 + w) {
        if (d[3] != 0)
            return uerr(cmdSYSTEM, ack, idx, errIndexRange);
        at = 4;
    } else {
        return uerr(cmdSYSTEM, ack, idx, errSize);
    }
    uint32_t v = 0;
    for (size_t i = 0; i < w; ++i)
        v = (v << 8) | d[at + i];
    applySystemValue(opt, idx, v, false);
}

void Module::applySystemValue(uint8_t opt, uint8_t idx, uint32_t v, bool call) {
    uint8_t ack = uint8_t(opt | kOptAck);
    if (call) {
        emit({cmdSYSTEM, ack, idx});
        st_.optionSets[opt]++;
        if (opt == 10) {
            saved_ = st_.options;
            savedHbMs_ = cfg_.heartbeatMs;
        } else if (opt == 11) {
            scheduleAway(cfg_.restartMs, Mode::Firmware, true);
        } else if (opt == 36 || opt == 37) {
            Module fresh(cfg_);
            st_.options = fresh.st_.options;
            st_.options[2] = saved_[2];
            if (opt == 37) {
                st_.label = cfg_.label;
                st_.powerConfig.clear();
            }
        }
        return;
    }
    bool ok = true;
    if (opt == 4 || opt == 20)
        ok = v <= 1;
    else if (opt == 2)
        ok = (v & 1) == 0;
    else if (opt == 34)
        ok = v <= 100000;
    if (!ok)
        return uerr(cmdSYSTEM, ack, idx, errRange);
    st_.options[opt] = v;
    st_.optionSets[opt]++;
    if (opt == 3) {
        cfg_.heartbeatMs = v * 100;
        nextHbUs_ = now_ + uint64_t(cfg_.heartbeatMs) * 1000; // the new interval counts from now
    }
    if (opt == 20) {
        st_.routing = v != 0;
        if (trace_)
            trace_(cfg_.name + (v ? " routing on" : " routing off"));
    }
    emit({cmdSYSTEM, ack, idx});
}

void Module::handleDescribe(const Packet& p) {
    const auto& d = p.data;
    if (d.size() < 2)
        return;
    switch (d[1]) {
    case val_DESCRIBE_BUILD: {
        std::vector<uint8_t> r{cmdDESCRIBE, val_DESCRIBE_BUILD, 0, 0, 0, 0};
        putBE32(&r[2], st_.build);
        if (cfg_.faults.buildReplyLength) {
            fire("build-reply");
            r.resize(cfg_.faults.buildReplyLength);
        }
        return emit(r);
    }
    case val_DESCRIBE_HASUEI: {
        if (d.size() != 6)
            return;
        uint8_t cmd = d[2], opt = d[3], idx = d[4], fl = d[5];
        uint8_t status = errNone;
        if (!knownClass(cmd) || idx != 0) {
            status = errInvalidEntity;
        } else if (cmd == cmdSYSTEM) {
            const OptDef* def = findOpt(opt & kOptMask);
            if (!def)
                status = errInvalidOption;
            else if (fl == kOptGet && def->kind == kCall)
                status = errMode;
            else if (fl == kOptSet && !def->writable)
                status = errPermission;
        } else if (cmd == cmdSTREAM) {
            if (opt != kStreamSubscribe && opt != kStreamUnsubscribe)
                status = errInvalidOption;
        } else {
            status = errInvalidOption; // the other classes have no options
        }
        return emit({cmdDESCRIBE, val_DESCRIBE_HASUEI, cmd, opt, idx, status});
    }
    case val_DESCRIBE_CLASSQTY:
        if (d.size() != 3)
            return;
        return emit({cmdDESCRIBE, val_DESCRIBE_CLASSQTY, d[2], uint8_t(knownClass(d[2]) ? 1 : 0)});
    case val_DESCRIBE_SUBCLASSQTY: {
        if (d.size() != 4)
            return;
        uint8_t q =
            (d[2] == cmdSYSTEM && d[3] == 0) ? uint8_t(sizeof kOptions / sizeof kOptions[0]) : 0;
        return emit({cmdDESCRIBE, val_DESCRIBE_SUBCLASSQTY, d[2], d[3], q});
    }
    case val_DESCRIBE_GROUP:
        if (d.size() != 4)
            return;
        return emit({cmdDESCRIBE, val_DESCRIBE_GROUP, d[2], d[3], 0});
    default:
        st_.ignoredPackets++;
    }
}

} // namespace modsim
