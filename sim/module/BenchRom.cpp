// The bench's dead i.MX modules: their ROM on a paced pseudo-terminal (the
// HID side is served by UsbServe), the hand-over to the loader, and the
// images written out for tests and people.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "modsim/Bench.h"
#include "modsim/BenchEndpoint.h"

namespace modsim {

namespace {

constexpr size_t kMaxBurst = 256; // bytes moved per direction and round
constexpr unsigned kBitsPerByte = 10;

// How many bytes the line can have moved by `now` since it was last free.
size_t lineBudget(uint64_t freeUs, uint64_t byteUs, uint64_t now) {
    if (now < freeUs + byteUs)
        return 0;
    size_t n = size_t((now - freeUs) / byteUs);
    return n < kMaxBurst ? n : kMaxBurst;
}

} // namespace

bool Bench::openRom(Endpoint& e, std::string& error) {
    const ModuleConfig& c = e.mod->config();
    e.romPort = std::make_unique<RomPort>(c.rom);
    RomPort& r = *e.romPort;
    r.byteUs = kBitsPerByte * 1000000ull / c.romBaud;
    if (r.byteUs == 0)
        r.byteUs = 1;
    if (c.imxRom != "pty")
        return true;
    if (!openPty(r.master, r.slave, r.path, false, error)) {
        error = "module " + c.name + ": " + error;
        return false;
    }
    if (c.romLink.empty())
        return true;
    unlink(c.romLink.c_str());
    if (symlink(r.path.c_str(), c.romLink.c_str()) != 0) {
        error = "module " + c.name + ": cannot create " + c.romLink + ": " + strerror(errno);
        return false;
    }
    r.link = c.romLink;
    return true;
}

void Bench::serviceRom(Endpoint& e, uint64_t now) {
    RomPort& r = *e.romPort;
    Module& m = *e.mod;
    ModuleState st = m.state();
    if (st.mode == Mode::Rom && st.romEntries != r.romEntries) {
        r.romEntries = st.romEntries; // the chip restarted into the ROM
        r.rom.reboot();
        r.out.clear();
    }
    if (r.master >= 0) {
        uint8_t buf[kMaxBurst];
        size_t budget = lineBudget(r.inFreeUs, r.byteUs, now);
        ssize_t n = budget ? read(r.master, buf, budget) : 0;
        if (n > 0) {
            r.inFreeUs += uint64_t(n) * r.byteUs;
            if (st.mode == Mode::Rom)
                r.rom.receiveSerial(buf, size_t(n), now);
        } else if (budget) {
            r.inFreeUs = now; // an idle line saves no time for later
        }
        std::vector<uint8_t> answer;
        r.rom.takeSerial(answer, now);
        if (r.out.empty() && r.outFreeUs < now)
            r.outFreeUs = now - r.byteUs; // the first byte may leave at once
        r.out.insert(r.out.end(), answer.begin(), answer.end());
        size_t room = std::min(lineBudget(r.outFreeUs, r.byteUs, now), r.out.size());
        if (room) {
            std::vector<uint8_t> chunk(r.out.begin(), r.out.begin() + long(room));
            ssize_t w = write(r.master, chunk.data(), chunk.size());
            if (w > 0) {
                r.out.erase(r.out.begin(), r.out.begin() + w);
                r.outFreeUs += uint64_t(w) * r.byteUs;
            }
        }
    }
    // The ROM handed over once its last answer is on its way.
    if (st.mode == Mode::Rom && r.rom.jumped() && r.out.empty())
        m.leaveRom(now, !r.rom.config().faults.noLoader);
}

namespace {

RomPort& romOf(const std::string& name, const std::unique_ptr<RomPort>& p) {
    if (!p)
        throw std::out_of_range("module '" + name + "' has no i.MX ROM");
    return *p;
}

} // namespace

bool Bench::romActive(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint& e = ep(name);
    RomPort& r = romOf(name, e.romPort);
    return e.mod->state().mode == Mode::Rom && !r.rom.jumped();
}

void Bench::romReport(const std::string& name, const uint8_t* report, size_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint& e = ep(name);
    RomPort& r = romOf(name, e.romPort);
    if (e.mod->state().mode == Mode::Rom)
        r.rom.receiveReport(report, n, monotonicUs());
}

bool Bench::romTakeReport(const std::string& name, std::vector<uint8_t>& report) {
    std::lock_guard<std::mutex> lock(mu_);
    return romOf(name, ep(name).romPort).rom.takeReport(report, monotonicUs());
}

imxsim::RomState Bench::romState(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    return romOf(name, ep(name).romPort).rom.state();
}

void Bench::setRomFaults(const std::string& name, const imxsim::RomFaults& faults) {
    std::lock_guard<std::mutex> lock(mu_);
    romOf(name, ep(name).romPort).rom.setFaults(faults);
}

std::string Bench::romPtyPath(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    return romOf(name, ep(name).romPort).path;
}

namespace {

bool writeBlob(const std::string& path, const std::vector<uint8_t>& data, std::string& error) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(reinterpret_cast<const char*>(data.data()), std::streamsize(data.size()));
    if (!f)
        return error = "cannot write " + path, false;
    return true;
}

bool writeBlocks(const std::string& dir, const std::string& name, const char* kind,
                 const std::vector<Block>& blocks, std::ostream& index, std::string& error) {
    char line[128];
    for (size_t i = 0; i < blocks.size(); ++i) {
        std::string file = name + "." + kind + "." + std::to_string(i) + ".bin";
        snprintf(line, sizeof line, " flags=%u address=%08X bytes=%zu\n", unsigned(blocks[i].flags),
                 blocks[i].address, blocks[i].data.size());
        index << file << line;
        if (!writeBlob(dir + "/" + file, blocks[i].data, error))
            return false;
    }
    return true;
}

} // namespace

bool Bench::writeImages(const std::string& dir, std::string& error) const {
    if (mkdir(dir.c_str(), 0755) != 0 && errno != EEXIST)
        return error = "cannot create " + dir + ": " + strerror(errno), false;
    std::lock_guard<std::mutex> lock(mu_);
    std::ostringstream index;
    char line[128];
    for (const auto& e : eps_) {
        const std::string& name = e->mod->name();
        ModuleState st = e->mod->state();
        if (e->romPort) {
            imxsim::RomState rs = e->romPort->rom.state();
            for (size_t i = 0; i < rs.images.size(); ++i) {
                const imxsim::RomImage& img = rs.images[i];
                std::string file = name + ".rom." + std::to_string(i) + ".bin";
                snprintf(line, sizeof line, " address=%08X bytes=%zu announced=%u complete=%s\n",
                         img.address, img.data.size(), img.announced, img.complete ? "yes" : "no");
                index << file << line;
                if (!writeBlob(dir + "/" + file, img.data, error))
                    return false;
            }
        }
        if (!writeBlocks(dir, name, "loader", st.loaderImages, index, error) ||
            !writeBlocks(dir, name, "firmware", st.firmwareImages, index, error) ||
            !writeBlocks(dir, name, "running", st.runningFirmware, index, error))
            return false;
    }
    std::ofstream f(dir + "/images.txt", std::ios::trunc);
    f << index.str();
    if (!f)
        return error = "cannot write " + dir + "/images.txt", false;
    return true;
}

} // namespace modsim
