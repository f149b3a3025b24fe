// Human-readable dump of the bench's module states, and the same written to
// files for tests that run the simulator as a program.
#include <sys/stat.h>

#include <cerrno>
#include <cstring>
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
      << " restarts=" << st.restarts << " samples=" << st.samplesSent << "\n";
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

bool writeFile(const std::string& path, const std::string& bytes, std::string& error) {
    std::ofstream f(path, std::ios::binary | std::ios::trunc);
    f.write(bytes.data(), std::streamsize(bytes.size()));
    f.close();
    if (!f)
        error = "cannot write " + path;
    return static_cast<bool>(f);
}

bool writeImages(std::ostream& index, const std::string& dir, const char* kind,
                 const std::vector<Block>& v, std::string& error) {
    char line[128];
    for (size_t i = 0; i < v.size(); ++i) {
        std::string file = std::string(kind) + "-" + std::to_string(i) + ".bin";
        snprintf(line, sizeof line, "%s %zu flags=%u address=%08X bytes=%zu file=%s\n", kind, i,
                 unsigned(v[i].flags), v[i].address, v[i].data.size(), file.c_str());
        index << line;
        if (!writeFile(dir + "/" + file, std::string(v[i].data.begin(), v[i].data.end()), error))
            return false;
    }
    return true;
}

bool makeDir(const std::string& dir, std::string& error) {
    if (mkdir(dir.c_str(), 0755) == 0 || errno == EEXIST)
        return true;
    error = "cannot create " + dir + ": " + strerror(errno);
    return false;
}

} // namespace

bool Bench::writeState(const std::string& dir, std::string& error) const {
    std::lock_guard<std::mutex> lock(mu_);
    if (!makeDir(dir, error))
        return false;
    for (auto& e : eps_) {
        ModuleState st = e->mod->state();
        std::string sub = dir + "/" + e->mod->name();
        std::ostringstream s;
        char buf[160];
        snprintf(buf, sizeof buf,
                 "serial=%08X\nmode=%s\npresent=%s\nversion=%u.%u.%u\nbuild=%u\nrestarts=%u\n"
                 "requests=%u\nlink-starts=%u\nforwarded=%u\n",
                 st.serial, st.mode == Mode::Loader ? "loader" : "firmware",
                 st.present ? "yes" : "no", st.version >> 28, (st.version >> 24) & 15,
                 st.version & 0xFFFFFF, st.build, st.restarts, st.requests, st.linkStarts,
                 st.forwarded);
        s << buf;
        for (auto& f : st.faultsFired)
            s << "fault " << f.first << "=" << f.second << "\n";
        for (auto& o : st.optionSets)
            s << "option " << unsigned(o.first) << " sets=" << o.second
              << " value=" << st.options[o.first] << "\n";
        if (!makeDir(sub, error) || !writeImages(s, sub, "loader", st.loaderImages, error) ||
            !writeImages(s, sub, "firmware", st.firmwareImages, error) ||
            !writeImages(s, sub, "running", st.runningFirmware, error) ||
            !writeFile(sub + "/state.txt", s.str(), error))
            return false;
    }
    return true;
}

std::string Bench::report() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::ostringstream s;
    char buf[128];
    for (auto& e : eps_) {
        ModuleState st = e->mod->state();
        snprintf(buf, sizeof buf, "%s: serial=%08X version=%u.%u.%u build=%u mode=%s %s\n",
                 e->mod->name().c_str(), st.serial, st.version >> 28, (st.version >> 24) & 15,
                 st.version & 0xFFFFFF, st.build, st.mode == Mode::Loader ? "loader" : "firmware",
                 st.present ? "present" : "away");
        s << buf;
        counters(s, st);
        blocks(s, "loader", st.loaderImages);
        blocks(s, "firmware", st.firmwareImages);
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
