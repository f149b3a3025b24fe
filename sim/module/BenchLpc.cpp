// The bench's dead modules: an LPC chip in ISP mode served on the module's
// pty, paced at the line rate the host set on it, until the chip starts its
// flash and the module's firmware takes over the pty.
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <stdexcept>

#include "modsim/Bench.h"
#include "modsim/BenchEndpoint.h"

namespace modsim {

namespace {

// The rate the host set on the pty (a pty has no line of its own: the
// chip paces its bytes at this rate).
uint32_t ptyLineRate(int fd) {
    termios t{};
    if (fd < 0 || tcgetattr(fd, &t) != 0)
        return 0;
    switch (cfgetospeed(&t)) {
    case B2400:
        return 2400;
    case B4800:
        return 4800;
    case B9600:
        return 9600;
    case B19200:
        return 19200;
    case B38400:
        return 38400;
    case B57600:
        return 57600;
    case B115200:
        return 115200;
    case B230400:
        return 230400;
    default:
        return 0;
    }
}

// The flash up to its last programmed byte: the image the module runs.
std::vector<uint8_t> programmed(const std::vector<uint8_t>& flash) {
    size_t end = flash.size();
    while (end > 0 && flash[end - 1] == 0xFF)
        --end;
    return std::vector<uint8_t>(flash.begin(), flash.begin() + long(end));
}

} // namespace

void Bench::lpcStart(Endpoint& e, uint64_t now) {
    lpcrom::ChipConfig cfg = e.mod->config().lpc;
    for (int i = 0; i < 4; ++i)
        cfg.serial[i] = e.mod->config().uid[i];
    e.lpc = std::make_unique<lpcrom::IspChip>(cfg);
    e.lpcBooted = false;
    e.mod->enterRom(now);
}

bool Bench::lpcReceive(Endpoint& e, const uint8_t* p, size_t n, uint64_t now) {
    if (!e.lpc || e.lpcBooted)
        return false;
    e.lpc->receive(p, n, now, ptyLineRate(e.ptySlave));
    return true;
}

void Bench::lpcPump(Endpoint& e, uint64_t now) {
    if (!e.lpc)
        return;
    e.lpc->poll(now);
    e.lpc->takeOutput(e.lpcPending, now);
    if (e.lpc->chattering() && e.lpcPending.size() < 1024)
        e.lpcPending.resize(4096, lpcrom::IspChip::kNoise); // as fast as the host takes it
    if (!e.lpcPending.empty() && e.ptyMaster >= 0) {
        ssize_t n = write(e.ptyMaster, e.lpcPending.data(), e.lpcPending.size());
        if (n > 0)
            e.lpcPending.erase(e.lpcPending.begin(), e.lpcPending.begin() + n);
    }
    if (e.lpc->running() && !e.lpcBooted && e.lpcPending.empty() &&
        e.lpc->nextDueUs() == UINT64_MAX) {
        e.lpcBooted = true;
        e.mod->bootImage(programmed(e.lpc->flash()), now);
    }
}

void Bench::lpcSaveFlash(const Endpoint& e) {
    const std::string& path = e.mod->config().lpcFlashOut;
    if (!e.lpc || path.empty())
        return;
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    const std::vector<uint8_t>& flash = e.lpc->flash();
    out.write(reinterpret_cast<const char*>(flash.data()), long(flash.size()));
    if (!out)
        fprintf(stderr, "keystrand-sim: cannot write the flash of %s to %s\n",
                e.mod->name().c_str(), path.c_str());
}

std::string Bench::lpcReport(const Endpoint& e) {
    if (!e.lpc)
        return "";
    lpcrom::ChipState st = e.lpc->state();
    std::ostringstream s;
    s << "  lpc-rom: phase=" << lpcrom::phaseName(st.phase) << " rate=" << st.rate
      << " unlocked=" << (st.unlocked ? "yes" : "no") << " echo=" << (st.echo ? "on" : "off")
      << " start=" << st.startAddress << "\n"
      << "  lpc-rom wire: bytes-in=" << st.bytesIn << " bytes-out=" << st.bytesOut
      << " echo-bytes=" << st.echoBytes << " rate-mismatches=" << st.rateMismatches << "\n"
      << "  lpc-rom work: commands=" << st.commands.size() << " data-lines=" << st.dataLines
      << " checksums=" << st.checksums << " resends=" << st.resends << " copies=" << st.copies
      << " erased-sectors=" << st.erasedSectors << " compares=" << st.compares
      << " mismatches=" << st.mismatches << " busy-us=" << st.busyUs << "\n"
      << "  lpc-rom flash: programmed-bytes=" << programmed(st.flash).size() << "\n";
    if (!st.faultsFired.empty()) {
        s << "  lpc-rom faults fired:";
        for (auto& f : st.faultsFired)
            s << " " << f.first << "=" << f.second;
        s << "\n";
    }
    return s.str();
}

lpcrom::ChipState Bench::lpcState(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    const Endpoint& e = ep(name);
    if (!e.lpc)
        throw std::out_of_range("module '" + name + "' has no LPC ROM (lpc-rom)");
    return e.lpc->state();
}

void Bench::setLpcFaults(const std::string& name, const lpcrom::Faults& faults) {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint& e = ep(name);
    if (!e.lpc)
        throw std::out_of_range("module '" + name + "' has no LPC ROM (lpc-rom)");
    e.lpc->setFaults(faults);
}

void Bench::lpcRestart(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint& e = ep(name);
    if (!e.lpc)
        throw std::out_of_range("module '" + name + "' has no LPC ROM (lpc-rom)");
    if (e.lpcBooted)
        return; // the module's firmware runs: its ROM is no longer on the line
    e.lpcPending.clear();
    e.lpc->restart();
}

} // namespace modsim
