// The upgrade entity of the simulated module: INIT, PREPARE, DATA, SUM, WRITE,
// LOAD and REBOOT, keeping the loader and firmware images as received.
#include <cctype>
#include <climits>
#include <cstring>

#include "modsim/Module.h"
#include "modsim/modsim_protocol.h"

namespace modsim {

namespace {

bool field(const uint8_t* f, bool (*ok)(int), size_t& n) {
    n = 0;
    while (n < 16 && ok(f[n]))
        ++n;
    if (n == 0)
        return false;
    for (size_t i = n; i < 16; ++i)
        if (f[i] != ' ' && f[i] != 0)
            return false;
    return true;
}

bool isDigit(int c) {
    return c >= '0' && c <= '9';
}
bool isVersionChar(int c) {
    return isDigit(c) || c == '.';
}
bool isHex(int c) {
    return std::isxdigit(c) != 0;
}
bool isPrint(int c) {
    return c >= 0x20 && c < 0x7F;
}

bool parseVersion(const uint8_t* f, size_t n, uint32_t& packed) {
    unsigned part[3] = {0, 0, 0};
    unsigned k = 0;
    bool digit = false;
    for (size_t i = 0; i < n; ++i) {
        if (f[i] == '.') {
            if (!digit || ++k > 2)
                return false;
            digit = false;
        } else {
            part[k] = part[k] * 10 + unsigned(f[i] - '0');
            if (part[k] > 16777215)
                return false;
            digit = true;
        }
    }
    if (k != 2 || !digit || part[0] > 15 || part[1] > 15)
        return false;
    packed = (part[0] << 28) | (part[1] << 24) | part[2];
    return true;
}

// A descriptor inside an image: build (decimal), version (a.b.c), serial
// (8 hex digits) and model name, four 16-byte fields padded with spaces.
bool findDescriptor(const std::vector<uint8_t>& img, uint32_t& build, uint32_t& version) {
    if (img.size() < 64)
        return false;
    for (size_t i = 0; i + 64 <= img.size(); ++i) {
        const uint8_t* p = &img[i];
        size_t nb, nv, ns, nm;
        if (!isDigit(p[0]) || !field(p, isDigit, nb) || nb > 10)
            continue;
        if (!field(p + 16, isVersionChar, nv) || !field(p + 32, isHex, ns) || ns != 8)
            continue;
        if (!isPrint(p[48]))
            continue;
        nm = 0;
        while (nm < 16 && isPrint(p[48 + nm]))
            ++nm;
        if (nm != 16)
            continue;
        uint32_t v;
        if (!parseVersion(p + 16, nv, v))
            continue;
        uint64_t b = 0;
        for (size_t k = 0; k < nb; ++k)
            b = b * 10 + unsigned(p[k] - '0');
        if (b > 0xFFFFFFFFu)
            continue;
        build = uint32_t(b);
        version = v;
        return true;
    }
    return false;
}

} // namespace

void Module::takeDescriptor() {
    uint32_t build = 0, version = 0;
    for (const Block& b : st_.firmwareImages) {
        if (findDescriptor(b.data, build, version)) {
            st_.build = build;
            st_.version = version;
            return;
        }
    }
    if (cfg_.newVersion)
        st_.version = cfg_.newVersion;
    if (cfg_.newBuild)
        st_.build = cfg_.newBuild;
}

void Module::upgradeReboot() {
    if (st_.mode == Mode::Loader && !st_.firmwareImages.empty()) {
        st_.runningFirmware = st_.firmwareImages;
        takeDescriptor();
        st_.options[7] = st_.version;
    }
    initDone_ = false;
    blockOpen_ = false;
    if (cfg_.faults.keepLinkAfterReboot) {
        fire("keep-link");
        scheduleAway(cfg_.restartMs, Mode::Firmware, false);
    } else {
        scheduleAway(cfg_.restartMs, Mode::Firmware, true);
    }
}

void Module::handleUpgrade(const Packet& p) {
    const auto& d = p.data;
    if (d.size() < 2)
        return;
    auto status = [&](uint8_t s, const std::vector<uint8_t>& extra) {
        std::vector<uint8_t> r{cmdUPGRADE, val_UPGRADE_STATUS, s};
        r.insert(r.end(), extra.begin(), extra.end());
        emit(r);
    };
    switch (d[1]) {
    case val_UPGRADE_INIT: {
        initDone_ = true;
        blockOpen_ = false;
        st_.loaderImages.clear();
        st_.firmwareImages.clear();
        pending_.clear();
        sum_ = 0;
        fwBytes_ = 0;
        std::vector<uint8_t> r{cmdUPGRADE, val_UPGRADE_INIT, 0, 0, 0, 0};
        putBE32(&r[2], cfg_.loadBase);
        return emit(r);
    }
    case val_UPGRADE_PREPARE: {
        uint16_t portion = cfg_.portion;
        uint8_t hp[2];
        putBE16(hp, portion);
        if (d.size() != 7)
            return status(errSize, {hp[0], hp[1]});
        if (!initDone_ && st_.mode == Mode::Firmware)
            return status(errMode, {hp[0], hp[1]});
        if (cfg_.faults.prepareStatus) {
            fire("prepare-error");
            return status(cfg_.faults.prepareStatus, {hp[0], hp[1]});
        }
        if (portion == 0)
            fire("portion-zero");
        Block b{d[2], getBE32(&d[3]), {}};
        blockIsLoader_ = st_.mode == Mode::Firmware;
        (blockIsLoader_ ? st_.loaderImages : st_.firmwareImages).push_back(b);
        blockOpen_ = true;
        pending_.clear();
        sum_ = 0;
        if (blockIsLoader_ && cfg_.faults.loaderPrepareSilent) {
            fire("prepare-silent");
            return;
        }
        return status(0, {hp[0], hp[1]});
    }
    case val_UPGRADE_DATA: {
        size_t n = d.size() - 2;
        if (n < 1 || n > kUpgradeMaxData || !blockOpen_)
            return emit({cmdUPGRADE, val_UPGRADE_DATA, 0});
        if (dataWrongLeft_ > 0) {
            if (dataWrongLeft_ != UINT_MAX) // "always" stays always
                --dataWrongLeft_;
            fire("data-wrong");
            return emit({cmdUPGRADE, val_UPGRADE_DATA, uint8_t(n - 1)});
        }
        for (size_t i = 2; i < d.size(); ++i)
            sum_ += d[i];
        if (blockIsLoader_) {
            auto& img = st_.loaderImages.back().data;
            img.insert(img.end(), d.begin() + 2, d.end());
        } else {
            pending_.insert(pending_.end(), d.begin() + 2, d.end());
            fwBytes_ += n;
            const Faults& f = cfg_.faults;
            if (f.signalNumber != 0 && fwBytes_ >= f.signalAtFirmwareByte &&
                st_.faultsFired.count("signal") == 0) {
                fire("signal");
                st_.signalDue = f.signalNumber;
            }
            long at = cfg_.faults.vanishAtFirmwareByte;
            if (at >= 0 && fwBytes_ >= uint64_t(at)) {
                fire("vanish");
                epoch_++;
                away_ = gone_ = true;
                st_.present = false;
                st_.linkStarted = false;
                root()->out_.clear();
                return;
            }
        }
        return emit({cmdUPGRADE, val_UPGRADE_DATA, uint8_t(n)});
    }
    case val_UPGRADE_SUM: {
        uint32_t s = sum_;
        if (cfg_.faults.sumOffByOne || (cfg_.faults.loaderSumOff && blockIsLoader_)) {
            fire("sum-off");
            s += 1;
        }
        sum_ = 0;
        uint8_t b[4];
        putBE32(b, s);
        return status(blockOpen_ ? 0 : errMode, {b[0], b[1], b[2], b[3]});
    }
    case val_UPGRADE_WRITE: {
        if (cfg_.faults.writeStatus && st_.faultsFired["write-error"] < cfg_.faults.writeErrors) {
            fire("write-error");
            pending_.clear();
            return status(cfg_.faults.writeStatus, {});
        }
        if (d.size() != 4)
            return status(errSize, {});
        if (!blockOpen_ || blockIsLoader_)
            return status(errMode, {});
        if (getBE16(&d[2]) != pending_.size()) {
            pending_.clear();
            return status(errSize, {});
        }
        auto& img = st_.firmwareImages.back().data;
        img.insert(img.end(), pending_.begin(), pending_.end());
        pending_.clear();
        sum_ = 0;
        return status(0, {});
    }
    case val_UPGRADE_LOAD:
        if (!initDone_ || st_.loaderImages.empty()) {
            st_.ignoredPackets++; // no loader to start
            return;
        }
        blockOpen_ = false;
        st_.firmwareImages.clear();
        if (!cfg_.loadReplyAfter)
            emit({cmdUPGRADE, val_UPGRADE_LOAD});
        scheduleAway(cfg_.restartMs, Mode::Loader, true);
        return;
    case val_UPGRADE_REBOOT:
        return upgradeReboot();
    default:
        st_.ignoredPackets++;
    }
}

} // namespace modsim
