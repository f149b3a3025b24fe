// Link layer of the simulated module: byte assembly, the sync exchange, the
// address query, link start/stop, heartbeats, routing to children, the output
// queue with its byte faults, and going away / coming back.
#include "modsim/Module.h"

#include <cstdio>

#include "modsim/modsim_protocol.h"

namespace modsim {

namespace {
constexpr uint64_t kSyncGapUs = 3000;    // a sync run ends after this much silence
constexpr uint64_t kDropDelayUs = 20000; // lets the last answer leave before a drop
} // namespace

std::string hexBytes(const uint8_t* p, size_t n) {
    std::string s;
    char b[4];
    for (size_t i = 0; i < n; ++i) {
        snprintf(b, sizeof b, i ? " %02X" : "%02X", p[i]);
        s += b;
    }
    return s;
}

Module::Module(const ModuleConfig& cfg) : cfg_(cfg), rng_(cfg.faults.seed) {
    st_.serial = cfg_.serial;
    st_.version = cfg_.version;
    st_.build = cfg_.build;
    st_.label = cfg_.label;
    auto& o = st_.options;
    o[1] = cfg_.address;
    o[2] = 0;
    o[3] = cfg_.heartbeatMs / 100 > 255 ? 255 : cfg_.heartbeatMs / 100;
    o[4] = 0;
    o[6] = 0;
    o[7] = cfg_.version;
    o[8] = cfg_.model;
    o[9] = cfg_.serial;
    o[12] = 12000;
    o[13] = 0;
    o[14] = cfg_.address;
    o[15] = 0;
    o[16] = 0;
    o[20] = 0;
    o[21] = 150;
    o[22] = 0;
    o[23] = 45;
    o[25] = 12100;
    o[26] = 160;
    o[27] = 31;
    o[28] = uint32_t(-5);
    o[29] = 1;
    o[31] = 0;
    o[33] = 5000;
    o[34] = 10000;
    o[35] = 0;
    o[38] = 0;
    o[40] = 0x01000000;
    o[41] = 0;
    saved_ = o;
    savedHbMs_ = cfg_.heartbeatMs;
    dataWrongLeft_ = cfg_.faults.dataWrongCount;
    if (!cfg_.imxRom.empty())
        enterRom(0);
}

void Module::leaveRom(uint64_t nowUs, bool runs) {
    now_ = nowUs;
    if (st_.mode != Mode::Rom)
        return;
    st_.mode = Mode::Loader;
    nextMode_ = Mode::Loader;
    if (!runs) {
        fire("no-loader");
        return;
    }
    gone_ = false;
    dropPending_ = false;
    backAtUs_ = now_ + uint64_t(cfg_.restartMs) * 1000;
}

void Module::setFaults(const Faults& f) {
    cfg_.faults = f;
    dataWrongLeft_ = f.dataWrongCount;
    refused_ = 0;
    rng_.seed(f.seed);
}

void Module::addChild(Module* child) {
    child->router_ = this;
    child->st_.options[2] = cfg_.address;
    child->saved_[2] = cfg_.address;
    children_.push_back(child);
}

bool Module::routingActive() const {
    return st_.routing && !away_;
}

void Module::fire(const char* fault) {
    st_.faultsFired[fault]++;
    if (trace_)
        trace_(cfg_.name + " fault " + fault);
}

void Module::tracePacket(char dir, const Packet& p) {
    if (!trace_)
        return;
    char head[16];
    snprintf(head, sizeof head, " %c %02X %02X", dir, p.addr, unsigned(p.data.size()));
    std::string line = cfg_.name + head;
    if (!p.data.empty())
        line += " " + hexBytes(p.data.data(), p.data.size());
    trace_(line);
}

void Module::emit(uint8_t addr, const std::vector<uint8_t>& data) {
    Packet p{addr, data};
    if (router_ && !router_->routingActive()) {
        tracePacket('x', p); // the router no longer forwards for this module
        return;
    }
    tracePacket('>', p);
    Module* r = root();
    uint64_t t = now_ + uint64_t(cfg_.faults.slowMs) * 1000;
    if (!r->out_.empty() && r->out_.back().first > t)
        t = r->out_.back().first;
    r->out_.push_back({t, addr});
    r->out_.push_back({t, uint8_t(data.size())});
    for (uint8_t b : data)
        r->out_.push_back({t, b});
}

size_t Module::takeOutput(std::vector<uint8_t>& out, uint64_t nowUs) {
    size_t n = 0;
    std::uniform_int_distribution<unsigned> permille(0, 999);
    while (!out_.empty() && out_.front().first <= nowUs) {
        uint8_t b = out_.front().second;
        out_.pop_front();
        long idx = long(outCount_++);
        const Faults& f = cfg_.faults;
        if (idx == f.dropOutAt || (f.dropOutPerMille && permille(rng_) < f.dropOutPerMille)) {
            fire("drop-out");
            continue;
        }
        if (idx == f.corruptOutAt ||
            (f.corruptOutPerMille && permille(rng_) < f.corruptOutPerMille)) {
            fire("corrupt-out");
            b ^= 0xFF;
        }
        out.push_back(b);
        ++n;
    }
    return n;
}

void Module::receive(const uint8_t* bytes, size_t n, uint64_t nowUs) {
    now_ = nowUs;
    for (size_t i = 0; i < n; ++i) {
        if (away_)
            continue; // bytes sent to a module that is away are lost
        if (now_ < deafUntilUs_) {
            fire("deaf"); // up, but not listening yet
            continue;
        }
        long idx = long(inCount_++);
        if (idx == cfg_.faults.dropInAt) {
            fire("drop-in");
            continue;
        }
        acceptByte(bytes[i]);
    }
}

void Module::framingError() {
    st_.framingErrors++;
    rx_ = Rx::Unsynced;
    asm_ = Packet{};
    // An odd byte makes the host notice the lost alignment and send its sync
    // request; without it a host whose own stream is aligned would never know.
    Module* r = root();
    r->out_.push_back({now_, 0xFF});
    if (trace_)
        trace_(cfg_.name + " framing error, waiting for sync");
}

void Module::finishSyncRun() {
    rx_ = Rx::Idle;
    uint8_t a = cfg_.address;
    if (syncPairs_ >= 2) {
        st_.syncs++;
        if (trace_)
            trace_(cfg_.name + " sync");
        Module* r = root();
        uint64_t t = now_ + uint64_t(cfg_.faults.slowMs) * 1000;
        if (!r->out_.empty() && r->out_.back().first > t)
            t = r->out_.back().first;
        for (uint8_t b : {a, uint8_t(0), a, uint8_t(0)})
            r->out_.push_back({t, b});
    } else if (syncPairs_ == 1) {
        st_.addressQueries++;
        tracePacket('<', Packet{kAddrQuery, {}});
        emit(a, {});
    }
    syncPairs_ = 0;
}

void Module::acceptByte(uint8_t b) {
    switch (rx_) {
    case Rx::Unsynced:
        if (b == kSyncByte) {
            rx_ = Rx::SyncZero;
            syncPairs_ = 0;
        }
        return;
    case Rx::Idle:
        if (b == kSyncByte) {
            rx_ = Rx::SyncZero;
            syncPairs_ = 0;
        } else if (b == kAddrLink || (b != 0 && (b & 1) == 0)) {
            asm_ = Packet{b, {}};
            rx_ = Rx::Length;
        } else {
            framingError();
        }
        return;
    case Rx::SyncZero:
        if (b == 0) {
            ++syncPairs_;
            syncSeenUs_ = now_;
            if (syncPairs_ >= kSyncPairs)
                finishSyncRun();
            else
                rx_ = Rx::SyncRun;
        } else if (syncPairs_ > 0) {
            finishSyncRun();
            framingError();
        } else if (b <= kMaxData) {
            asm_ = Packet{kAddrQuery, {}}; // a packet to 173 with data: not ours
            asmLen_ = b;
            rx_ = Rx::Data;
        } else {
            framingError();
        }
        return;
    case Rx::SyncRun:
        if (b == kSyncByte) {
            rx_ = Rx::SyncZero;
            return;
        }
        finishSyncRun();
        acceptByte(b);
        return;
    case Rx::Length:
        if (b > kMaxData) {
            framingError();
            return;
        }
        asmLen_ = b;
        if (b == 0) {
            rx_ = Rx::Idle;
            handlePacket(asm_);
        } else {
            rx_ = Rx::Data;
        }
        return;
    case Rx::Data:
        asm_.data.push_back(b);
        if (asm_.data.size() == asmLen_) {
            rx_ = Rx::Idle;
            Packet p = std::move(asm_);
            asm_ = Packet{};
            handlePacket(p);
        }
        return;
    }
}

void Module::handlePacket(const Packet& p) {
    if (p.addr == kAddrLink) {
        tracePacket('<', p);
        if (p.data.size() == 1 && p.data[0] == 1) {
            st_.linkStarted = true;
            st_.linkStarts++;
            nextHbUs_ = now_ + uint64_t(cfg_.heartbeatMs) * 1000;
            hbPending_ = false;
            if (loadReplyOwed_) {
                loadReplyOwed_ = false;
                emit({cmdUPGRADE, val_UPGRADE_LOAD});
            }
        } else if (p.data.size() == 1 && p.data[0] == 0) {
            st_.linkStarted = false;
            st_.linkStops++;
        }
        return;
    }
    if (p.addr == cfg_.address) {
        tracePacket('<', p);
        if (!p.data.empty())
            dispatch(p);
        return;
    }
    if (routingActive() && cfg_.forwardMs)
        return queueForward(p);
    routeToChild(p);
}

void Module::routeToChild(const Packet& p) {
    for (Module* c : children_) {
        if (c->cfg_.address != p.addr)
            continue;
        if (!routingActive())
            break;
        st_.forwarded++;
        c->now_ = now_;
        c->tracePacket('<', p);
        if (!p.data.empty())
            c->dispatch(p);
        return;
    }
    st_.ignoredPackets++;
    if (trace_)
        tracePacket('-', p);
}

// The router's network carries one packet at a time: each one it passes on
// (to a child or to an address where nobody answers) takes forwardMs after
// the one before it has gone.
void Module::queueForward(const Packet& p) {
    uint64_t start = forwardBusyUntilUs_ > now_ ? forwardBusyUntilUs_ : now_;
    forwardBusyUntilUs_ = start + uint64_t(cfg_.forwardMs) * 1000;
    forwardQueue_.push_back({forwardBusyUntilUs_, p});
    if (forwardQueue_.size() > st_.forwardPeak)
        st_.forwardPeak = unsigned(forwardQueue_.size());
}

void Module::deliverForwarded() {
    while (!forwardQueue_.empty() && forwardQueue_.front().first <= now_) {
        Packet p = std::move(forwardQueue_.front().second);
        forwardQueue_.pop_front();
        routeToChild(p); // dropped when routing went off in the meantime
    }
}

void Module::dispatch(const Packet& p) {
    if (away_)
        return;
    uint8_t cmd = p.data[0];
    if (cmd == cmdHEARTBEAT) {
        if (p.data.size() == 2 && hbPending_ && p.data[1] == hbExpect_) {
            st_.heartbeatsAnswered++;
        } else {
            st_.heartbeatsBad++;
        }
        hbPending_ = false;
        return;
    }
    st_.requests++;
    if (cfg_.faults.ignoreNth && st_.requests == cfg_.faults.ignoreNth) {
        fire("ignore");
        return;
    }
    switch (cmd) {
    case cmdSYSTEM:
        handleSystem(p);
        break;
    case cmdSLOT:
        handleSlot(p);
        break;
    case cmdDEBUG:
        emit(p.data);
        break;
    case cmdDESCRIBE:
        handleDescribe(p);
        break;
    case cmdSTREAM:
        handleStream(p);
        break;
    case cmdFACTORY:
        handleFactory(p);
        break;
    case cmdUPGRADE:
        handleUpgrade(p);
        break;
    default:
        st_.ignoredPackets++;
        break;
    }
}

void Module::heartbeatTick() {
    if (hbPending_)
        st_.heartbeatsMissed++;
    hbExpect_ = uint8_t(hbNext_ + 2);
    hbPending_ = true;
    st_.heartbeatsSent++;
    emit({cmdHEARTBEAT, hbNext_});
    hbNext_ ^= 1;
    nextHbUs_ = now_ + uint64_t(cfg_.heartbeatMs) * 1000;
}

void Module::scheduleAway(uint32_t ms, Mode nextMode, bool dropLink) {
    nextMode_ = nextMode;
    dropPending_ = true;
    dropAtUs_ = now_ + kDropDelayUs + uint64_t(cfg_.faults.slowMs) * 1000;
    backAtUs_ = dropAtUs_ + uint64_t(ms) * 1000;
    if (!dropLink) {
        // the module restarts but keeps its link: it comes back at once
        backAtUs_ = dropAtUs_;
    }
    awayScheduled_ = dropLink;
}

void Module::comeBack() {
    if (!cfg_.imxRom.empty() && nextMode_ == Mode::Firmware && st_.runningFirmware.empty()) {
        // a restart without new firmware ends in the ROM again, late on a
        // chip slow to come back there
        if (!romLate_ && cfg_.romReturnMs > cfg_.restartMs) {
            romLate_ = true;
            backAtUs_ = now_ + uint64_t(cfg_.romReturnMs - cfg_.restartMs) * 1000;
            return;
        }
        romLate_ = false;
        return enterRom(now_);
    }
    bool keptLink = !awayScheduled_ && st_.linkStarted;
    away_ = false;
    st_.present = true;
    st_.mode = nextMode_;
    st_.serial =
        (st_.mode == Mode::Loader && cfg_.loaderDefaultSerial) ? kLoaderSerial : cfg_.serial;
    rx_ = Rx::Idle;
    asm_ = Packet{};
    st_.linkStarted = false;
    st_.routing = false;
    forwardQueue_.clear();
    st_.subscriptions.clear();
    handles_.clear();
    facActive_ = false;
    hbPending_ = false;
    st_.restarts++;
    bootUs_ = now_;
    deafUntilUs_ = now_ + uint64_t(cfg_.faults.deafMs) * 1000;
    uint32_t version = st_.options[7];
    st_.options = saved_;
    st_.options[7] = version;
    st_.options[20] = 0;
    cfg_.heartbeatMs = savedHbMs_;
    if (keptLink)
        st_.linkStarted = true;
    if (st_.mode == Mode::Loader && cfg_.loadReplyAfter)
        loadReplyOwed_ = true;
    if (trace_)
        trace_(cfg_.name + " back" + (st_.mode == Mode::Loader ? " (loader)" : ""));
}

bool Module::attach(uint64_t nowUs) {
    now_ = nowUs;
    if (away_ || gone_)
        return false;
    if (refused_ < cfg_.faults.refuseConnections) {
        ++refused_;
        fire("refuse");
        return false;
    }
    st_.connections++;
    rx_ = Rx::Idle;
    asm_ = Packet{};
    return true;
}

void Module::detach(uint64_t nowUs) {
    now_ = nowUs;
    st_.linkStarted = false;
    rx_ = Rx::Idle;
    asm_ = Packet{};
    out_.clear();
    forwardQueue_.clear();
    hbPending_ = false;
    st_.subscriptions.clear();
}

void Module::poll(uint64_t nowUs) {
    now_ = nowUs;
    if (rx_ == Rx::SyncRun && now_ - syncSeenUs_ >= kSyncGapUs)
        finishSyncRun();
    if (dropPending_ && now_ >= dropAtUs_) {
        dropPending_ = false;
        if (awayScheduled_) {
            epoch_++;
            away_ = true;
            st_.present = false;
            st_.linkStarted = false;
            out_.clear();
            if (trace_)
                trace_(cfg_.name + " link dropped");
            if (nextMode_ == Mode::Loader && cfg_.faults.noReturnAfterLoad) {
                fire("no-return");
                gone_ = true;
            }
        } else {
            away_ = true;
        }
    }
    if (away_ && !gone_ && !dropPending_ && now_ >= backAtUs_)
        comeBack();
    if (!away_ && !router_ && st_.linkStarted && cfg_.heartbeatMs && now_ >= nextHbUs_)
        heartbeatTick();
    if (!away_)
        streamTick();
    deliverForwarded();
    for (Module* c : children_)
        c->poll(nowUs);
}

} // namespace modsim
