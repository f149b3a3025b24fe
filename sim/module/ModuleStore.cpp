// Store slots (command 4), factory data (command 94) and stream control and
// samples (command 93) of the simulated module.
#include <algorithm>

#include "modsim/Module.h"
#include "modsim/modsim_protocol.h"

namespace modsim {

namespace {
constexpr size_t kMaxFactory = 512;
constexpr size_t kMaxHandles = 8;
} // namespace

void Module::handleSlot(const Packet& p) {
    const auto& d = p.data;
    if (d.size() < 3)
        return;
    uint8_t sub = d[1];
    if (sub >= slotCapacity && sub <= slotOpenWrite) {
        if (d.size() != 4)
            return;
        uint8_t store = d[2], slot = d[3];
        auto fail = [&](uint8_t code) { emit({cmdSLOT, uint8_t(sub | 0x80), store, slot, code}); };
        if (store >= cfg_.slotStores || slot >= cfg_.slotsPerStore)
            return fail(errNotFound);
        auto& data = st_.slots[{store, slot}];
        if (sub == slotCapacity || sub == slotSize) {
            uint16_t v = uint16_t(sub == slotCapacity ? cfg_.slotCapacity : data.size());
            return emit({cmdSLOT, sub, store, slot, uint8_t(v >> 8), uint8_t(v)});
        }
        if (handles_.size() >= kMaxHandles)
            return fail(errBusy);
        for (auto& h : handles_)
            if (h.second.store == store && h.second.slot == slot &&
                (h.second.write || sub == slotOpenWrite))
                return fail(errBusy);
        while (nextHandle_ == 0 || nextHandle_ == 255 || handles_.count(nextHandle_))
            ++nextHandle_;
        uint8_t handle = nextHandle_++;
        bool write = sub == slotOpenWrite;
        if (write)
            data.clear();
        handles_[handle] = OpenSlot{store, slot, write, 0};
        return emit({cmdSLOT, sub, store, slot, handle});
    }
    uint8_t handle = d[2];
    auto fail = [&](uint8_t code) { emit({cmdSLOT, uint8_t(sub | 0x80), handle, code}); };
    auto it = handles_.find(handle);
    if (sub != slotRead && sub != slotWrite && sub != slotClose)
        return;
    if (it == handles_.end())
        return fail(errParam);
    OpenSlot& h = it->second;
    auto& data = st_.slots[{h.store, h.slot}];
    if (sub == slotRead) {
        if (h.write)
            return fail(errMode);
        size_t n = std::min<size_t>(kSlotChunk, data.size() - std::min(h.pos, data.size()));
        std::vector<uint8_t> r(3 + n);
        r[0] = cmdSLOT;
        r[1] = slotRead;
        r[2] = handle;
        std::copy_n(data.begin() + long(h.pos), n, r.begin() + 3);
        h.pos += n;
        return emit(r);
    }
    if (sub == slotWrite) {
        if (!h.write)
            return fail(errMode);
        if (d.size() < 4)
            return fail(errSize);
        if (data.size() + d.size() - 3 > cfg_.slotCapacity)
            return fail(errOverrun);
        uint8_t sum = 0;
        for (size_t i = 3; i < d.size(); ++i)
            sum = uint8_t(sum + d[i]);
        data.insert(data.end(), d.begin() + 3, d.end());
        return emit({cmdSLOT, slotWrite, handle, sum});
    }
    handles_.erase(it);
    emit({cmdSLOT, slotClose, handle, 0});
}

void Module::handleFactory(const Packet& p) {
    const auto& d = p.data;
    if (d.size() < 2)
        return;
    uint8_t b = d[1];
    if (b & kFactoryClose) {
        auto fail = [&](uint8_t code) { emit({cmdFACTORY, 0x80, code}); };
        if (d.size() != 4)
            return fail(errSize);
        if (!facActive_)
            return fail(errMode);
        uint16_t count = getBE16(&d[2]);
        facActive_ = false;
        if (count != facPos_)
            return fail(errSize);
        if (facSet_)
            st_.factory[facKind_] = facBuf_;
        st_.factoryCloseCounts.push_back(count);
        return emit({cmdFACTORY, 0x00});
    }
    uint8_t kind = b & 0x0F;
    bool first = b & kFactoryFirst, set = b & kFactorySet;
    auto fail = [&](uint8_t code) { emit({cmdFACTORY, uint8_t(kind + 0x80), code}); };
    if (first) {
        facActive_ = true;
        facSet_ = set;
        facKind_ = kind;
        facPos_ = 0;
        facBuf_.clear();
    } else if (!facActive_ || facKind_ != kind || facSet_ != set) {
        return fail(errMode);
    }
    if (set) {
        if (facBuf_.size() + d.size() - 2 > kMaxFactory) {
            facActive_ = false;
            return fail(errOverrun);
        }
        facBuf_.insert(facBuf_.end(), d.begin() + 2, d.end());
        facPos_ += d.size() - 2;
        return emit({cmdFACTORY, kind});
    }
    const auto& data = st_.factory[kind];
    size_t n = std::min<size_t>(kFactoryChunk, data.size() - std::min(facPos_, data.size()));
    std::vector<uint8_t> r(2 + n);
    r[0] = cmdFACTORY;
    r[1] = kind;
    std::copy_n(data.begin() + long(facPos_), n, r.begin() + 2);
    facPos_ += n;
    emit(r);
}

void Module::handleStream(const Packet& p) {
    const auto& d = p.data;
    if (d.size() < 3)
        return;
    uint8_t flags = d[1] & 0xC0, opt = d[1] & kOptMask, idx = d[2] & kIndexMask;
    if (flags == kOptGet) {
        if (opt != kStreamSubscribe)
            return uerr(cmdSTREAM, opt, idx, errInvalidOption);
        return emit({cmdSTREAM, opt, idx, uint8_t(st_.subscriptions.empty() ? 0 : 1)});
    }
    if (flags != kOptSet)
        return;
    uint8_t ack = uint8_t(opt | kOptAck);
    if (opt != kStreamSubscribe && opt != kStreamUnsubscribe)
        return uerr(cmdSTREAM, ack, idx, errInvalidOption);
    if (idx != 0)
        return uerr(cmdSTREAM, ack, idx, errInvalidEntity);
    if (d.size() != 7)
        return uerr(cmdSTREAM, ack, idx, errSize);
    uint32_t key = getBE32(&d[3]);
    if ((key >> 24) != cfg_.address)
        return uerr(cmdSTREAM, ack, idx, errInvalidEntity);
    auto& subs = st_.subscriptions;
    if (opt == kStreamSubscribe) {
        if (std::find(subs.begin(), subs.end(), key) == subs.end())
            subs.push_back(key);
        if (subs.size() == 1)
            nextSampleUs_ = now_ + uint64_t(cfg_.streamMs ? cfg_.streamMs : 1) * 1000;
    } else {
        auto matches = [key](uint32_t s) {
            for (int sh = 0; sh < 24; sh += 8) {
                uint8_t want = uint8_t(key >> sh), have = uint8_t(s >> sh);
                if (want != 255 && want != have)
                    return false;
            }
            return true;
        };
        subs.erase(std::remove_if(subs.begin(), subs.end(), matches), subs.end());
    }
    emit({cmdSTREAM, ack, idx});
}

void Module::streamTick() {
    if (st_.subscriptions.empty() || now_ < nextSampleUs_)
        return;
    nextSampleUs_ = now_ + uint64_t(cfg_.streamMs ? cfg_.streamMs : 1) * 1000;
    uint64_t ts = now_ - bootUs_;
    for (uint8_t opt = 1; opt < 64; ++opt) {
        bool wanted = false;
        for (uint32_t s : st_.subscriptions) {
            uint8_t c = uint8_t(s >> 16), o = uint8_t(s >> 8), i = uint8_t(s);
            if ((c == cmdSYSTEM || c == 255) && (o == opt || o == 255) && (i == 0 || i == 255))
                wanted = true;
        }
        if (!wanted)
            continue;
        for (uint8_t sub = 0; sub < (opt == 39 ? 4 : 1); ++sub) {
            uint32_t v;
            uint8_t width;
            if (!optionValue(opt, sub, v, width))
                break;
            uint8_t type = width == 1 ? kSample8 : width == 2 ? kSample16 : kSample32;
            if (opt == 39)
                type = uint8_t(type + 4);
            std::vector<uint8_t> r{cmdSYSTEM, opt, kSpecStream, type};
            if (opt == 39)
                r.push_back(sub);
            uint8_t t[8];
            putBE32(t, uint32_t(ts >> 32));
            putBE32(t + 4, uint32_t(ts));
            r.insert(r.end(), t, t + 8);
            for (int k = width - 1; k >= 0; --k)
                r.push_back(uint8_t(v >> (8 * k)));
            r.push_back(0);
            emit(r);
            st_.samplesSent++;
        }
    }
}

} // namespace modsim
