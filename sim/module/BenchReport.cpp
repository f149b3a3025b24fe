// Human-readable dump of the bench's module states, and the states written
// to files for tests that run the simulator as a program (--dump).
#include <fstream>
#include <sstream>

#include "modsim/Bench.h"
#include "modsim/BenchEndpoint.h"

namespace modsim {

namespace {

void counters(std::ostream& s, const ModuleState& st) {
    s << "  syncs=" << st.syncs << " address-queries=" << st.addressQueries
      << " link-starts=" << st.linkStarts << " link-stops=" << st.linkStops
      << " connections=" << st.connections << "\n"
      << "  heartbeats sent=" << st.heartbeatsSent << " answered=" << st.heartbeatsAnswered
      << " bad=" << st.heartbeatsBad << " missed=" << st.heartbeatsMissed << "\n"
      << "  requests=" << st.requests << " ignored=" << st.ignoredPackets
      << " forwarded=" << st.forwarded << " framing-errors=" << st.framingErrors
      << " restarts=" << st.restarts << " samples=" << st.samplesSent << "\n"
      << "  routing=" << (st.routing ? "on" : "off") << " forward-peak=" << st.forwardPeak << "\n";
    if (!st.faultsFired.empty()) {
        s << "  faults fired:";
        for (auto& f : st.faultsFired)
            s << " " << f.first << "=" << f.second;
        s << "\n";
    }
}

void blocks(std::ostream& s, const char* what, const std::vector<Block>& v) {
    char buf[96];
    for (size_t i = 0; i < v.size(); ++i) {
        snprintf(buf, sizeof buf, "  %s %zu: flags=%u address=%08X bytes=%zu\n", what, i,
                 unsigned(v[i].flags), v[i].address, v[i].data.size());
        s << buf;
    }
}

void romLines(std::ostream& s, const imxsim::RomState& r) {
    char buf[160];
    snprintf(buf, sizeof buf,
             "  rom boots=%u commands=%u bad=%u dropped-partials=%u jumped=%s address=%08X\n",
             r.boots, r.commands, r.badCommands, r.droppedPartials, r.jumped ? "yes" : "no",
             r.jumpAddress);
    s << buf;
    for (auto& f : r.faultsFired)
        s << "  rom fault " << f.first << "=" << f.second << "\n";
    for (size_t i = 0; i < r.images.size(); ++i) {
        snprintf(buf, sizeof buf, "  rom image %zu: address=%08X bytes=%zu of %u%s\n", i,
                 r.images[i].address, r.images[i].data.size(), r.images[i].announced,
                 r.images[i].complete ? "" : " (incomplete)");
        s << buf;
    }
}

const char* modeName(Mode mode) {
    return mode == Mode::Loader ? "loader" : mode == Mode::Rom ? "rom" : "firmware";
}

// The ROM's part of a dead i.MX module's state file: its counters as
// key=value lines (the jump address in hexadecimal) and its fired faults as
// "fault rom-NAME=COUNT".
void romStateLines(std::ostream& s, const imxsim::RomState& r) {
    char buf[200];
    snprintf(buf, sizeof buf,
             "rom-boots=%u\nrom-commands=%u\nrom-bad=%u\nrom-dropped-partials=%u\n"
             "rom-jumped=%s\nrom-jump-address=%08X\n",
             r.boots, r.commands, r.badCommands, r.droppedPartials, r.jumped ? "yes" : "no",
             r.jumpAddress);
    s << buf;
    for (auto& f : r.faultsFired)
        s << "fault rom-" << f.first << "=" << f.second << "\n";
}

} // namespace

bool Bench::settled() const {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& e : eps_) {
        if (e->mod->restarting())
            return false;
        if (e->romPort) {
            ModuleState st = e->mod->state();
            if (st.mode == Mode::Rom && st.romEntries != e->romPort->romEntries)
                return false;
        }
    }
    return true;
}

void Bench::setSignalHandler(std::function<void(int)> handler) {
    std::lock_guard<std::mutex> lock(mu_);
    signalHandler_ = std::move(handler);
}

bool Bench::writeState(const std::string& dir, std::string& error) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& e : eps_) {
        ModuleState st = e->mod->state();
        std::ostringstream s;
        char buf[200];
        snprintf(buf, sizeof buf,
                 "serial=%08X\nmode=%s\npresent=%s\nversion=%u.%u.%u\nbuild=%u\nrestarts=%u\n"
                 "requests=%u\nconnections=%u\nlink-starts=%u\nforwarded=%u\n",
                 st.serial, modeName(st.mode), st.present ? "yes" : "no", st.version >> 28,
                 (st.version >> 24) & 15, st.version & 0xFFFFFF, st.build, st.restarts, st.requests,
                 st.connections, st.linkStarts, st.forwarded);
        s << buf;
        for (auto& f : st.faultsFired)
            s << "fault " << f.first << "=" << f.second << "\n";
        if (e->romPort)
            romStateLines(s, e->romPort->rom.state());
        for (auto& o : st.optionSets)
            s << "option " << unsigned(o.first) << " sets=" << o.second
              << " value=" << st.options[o.first] << "\n";
        const std::string path = dir + "/" + e->mod->name() + ".state.txt";
        std::ofstream f(path, std::ios::trunc);
        f << s.str();
        if (!f)
            return error = "cannot write " + path, false;
    }
    return true;
}

std::string Bench::report() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::ostringstream s;
    char buf[128];
    for (auto& e : eps_) {
        ModuleState st = e->mod->state();
        const char* mode = modeName(st.mode);
        snprintf(buf, sizeof buf, "%s: serial=%08X version=%u.%u.%u build=%u mode=%s %s\n",
                 e->mod->name().c_str(), st.serial, st.version >> 28, (st.version >> 24) & 15,
                 st.version & 0xFFFFFF, st.build, mode, st.present ? "present" : "away");
        s << buf;
        counters(s, st);
        if (e->romPort)
            romLines(s, e->romPort->rom.state());
        blocks(s, "loader", st.loaderImages);
        blocks(s, "firmware", st.firmwareImages);
        blocks(s, "running", st.runningFirmware);
        s << lpcReport(*e);
        if (!st.optionSets.empty()) {
            s << "  options set:";
            for (auto& o : st.optionSets)
                s << " " << unsigned(o.first) << "x" << o.second;
            s << "\n";
        }
        for (auto& sl : st.slots)
            if (!sl.second.empty())
                s << "  slot " << unsigned(sl.first.first) << "/" << unsigned(sl.first.second)
                  << ": " << sl.second.size() << " bytes\n";
        for (auto& f : st.factory)
            if (!f.second.empty())
                s << "  factory kind " << unsigned(f.first) << ": " << f.second.size()
                  << " bytes\n";
    }
    return s.str();
}

} // namespace modsim
