// Parser of the bench file and of module statements.
#include "modsim/BenchConfig.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <stdexcept>

namespace modsim {

namespace {

struct BadInput : std::runtime_error {
    using std::runtime_error::runtime_error;
};

unsigned long number(const std::string& key, const std::string& v, unsigned long max,
                     int base = 0) {
    if (v.empty())
        throw BadInput(key + ": missing value");
    errno = 0;
    char* end = nullptr;
    unsigned long n = strtoul(v.c_str(), &end, base);
    if (errno || *end || v[0] == '-' || n > max)
        throw BadInput(key + ": bad number '" + v + "' (at most " + std::to_string(max) + ")");
    return n;
}

uint32_t version(const std::string& key, const std::string& v) {
    if (v.find('.') == std::string::npos)
        return uint32_t(number(key, v, 0xFFFFFFFFul));
    unsigned long part[3];
    std::stringstream ss(v);
    std::string p;
    int k = 0;
    while (std::getline(ss, p, '.')) {
        if (k == 3)
            throw BadInput(key + ": version must be MAJOR.MINOR.PATCH");
        part[k] = number(key, p, k < 2 ? 15 : 16777215, 10);
        ++k;
    }
    if (k != 3)
        throw BadInput(key + ": version must be MAJOR.MINOR.PATCH");
    return uint32_t((part[0] << 28) | (part[1] << 24) | part[2]);
}

bool flag(const std::string& key, const std::string& v, bool hadValue) {
    if (!hadValue || v == "1" || v == "yes" || v == "on")
        return true;
    if (v == "0" || v == "no" || v == "off")
        return false;
    throw BadInput(key + ": expected yes or no, got '" + v + "'");
}

void setKey(ModuleConfig& m, const std::string& key, const std::string& v, bool hadValue) {
    Faults& f = m.faults;
    if (key == "serial")
        m.serial = uint32_t(number(key, v, 0xFFFFFFFFul, 16));
    else if (key == "model")
        m.model = uint8_t(number(key, v, 255));
    else if (key == "address")
        m.address = uint8_t(number(key, v, 255));
    else if (key == "version")
        m.version = version(key, v);
    else if (key == "build")
        m.build = uint32_t(number(key, v, 0xFFFFFFFFul));
    else if (key == "uid") {
        std::stringstream ss(v);
        std::string w;
        int k = 0;
        while (std::getline(ss, w, ',')) {
            if (k == 4)
                throw BadInput("uid: expected four hexadecimal words W0,W1,W2,W3");
            m.uid[k++] = uint32_t(number(key, w, 0xFFFFFFFFul, 16));
        }
        if (k != 4)
            throw BadInput("uid: expected four hexadecimal words W0,W1,W2,W3");
    } else if (key == "label") {
        if (v.size() > 64)
            throw BadInput("label: at most 64 characters");
        m.label = v;
    } else if (key == "heartbeat-ms")
        m.heartbeatMs = uint32_t(number(key, v, 25500));
    else if (key == "portion")
        m.portion = uint16_t(number(key, v, 65535));
    else if (key == "load-base")
        m.loadBase = uint32_t(number(key, v, 0xFFFFFFFFul));
    else if (key == "loader-serial") {
        if (v != "own" && v != "default")
            throw BadInput("loader-serial: expected own or default");
        m.loaderDefaultSerial = v == "default";
    } else if (key == "new-version")
        m.newVersion = version(key, v);
    else if (key == "new-build")
        m.newBuild = uint32_t(number(key, v, 0xFFFFFFFFul));
    else if (key == "stream-ms")
        m.streamMs = uint32_t(number(key, v, 60000));
    else if (key == "restart-ms")
        m.restartMs = uint32_t(number(key, v, 60000));
    else if (key == "load-reply") {
        if (v != "before" && v != "after")
            throw BadInput("load-reply: expected before or after");
        m.loadReplyAfter = v == "after";
    } else if (key == "stores")
        m.slotStores = unsigned(number(key, v, 255));
    else if (key == "slots")
        m.slotsPerStore = unsigned(number(key, v, 255));
    else if (key == "slot-capacity")
        m.slotCapacity = unsigned(number(key, v, 65535));
    else if (key == "tcp") {
        if (v.empty())
            throw BadInput("tcp: expected [HOST:]PORT");
        m.tcp = v;
        number(key, v.substr(v.rfind(':') == std::string::npos ? 0 : v.rfind(':') + 1), 65535, 10);
    } else if (key == "pty")
        m.pty = flag(key, v, hadValue);
    else if (key == "node") {
        if (v.empty() || v[0] != '/')
            throw BadInput("node: expected an absolute path");
        m.node = v;
    } else if (key == "usb")
        m.usb = flag(key, v, hadValue);
    else if (key == "router") {
        if (v.empty())
            throw BadInput("router: expected the name of a module");
        m.router = v;
    } else if (key == "drop-out")
        f.dropOutAt = long(number(key, v, LONG_MAX));
    else if (key == "drop-rate")
        f.dropOutPerMille = unsigned(number(key, v, 1000));
    else if (key == "corrupt-out")
        f.corruptOutAt = long(number(key, v, LONG_MAX));
    else if (key == "corrupt-rate")
        f.corruptOutPerMille = unsigned(number(key, v, 1000));
    else if (key == "drop-in")
        f.dropInAt = long(number(key, v, LONG_MAX));
    else if (key == "ignore")
        f.ignoreNth = unsigned(number(key, v, UINT_MAX));
    else if (key == "data-wrong")
        f.dataWrongCount = v == "always" ? UINT_MAX : unsigned(number(key, v, UINT_MAX - 1));
    else if (key == "sum-off")
        f.sumOffByOne = flag(key, v, hadValue);
    else if (key == "prepare-error")
        f.prepareStatus = uint8_t(number(key, v, 255));
    else if (key == "write-error")
        f.writeStatus = uint8_t(number(key, v, 255));
    else if (key == "keep-link")
        f.keepLinkAfterReboot = flag(key, v, hadValue);
    else if (key == "vanish-at")
        f.vanishAtFirmwareByte = long(number(key, v, LONG_MAX));
    else if (key == "slow-ms")
        f.slowMs = unsigned(number(key, v, 60000));
    else if (key == "refuse")
        f.refuseConnections = unsigned(number(key, v, UINT_MAX));
    else if (key == "closed-port")
        f.closedPort = flag(key, v, hadValue);
    else if (key == "no-return")
        f.noReturnAfterLoad = flag(key, v, hadValue);
    else if (key == "seed")
        f.seed = uint32_t(number(key, v, 0xFFFFFFFFul));
    else
        throw BadInput("unknown key '" + key + "'");
}

void moduleStatement(std::istringstream& words, BenchConfig& cfg) {
    ModuleConfig m;
    if (!(words >> m.name))
        throw BadInput("module: expected a name");
    if (m.name.find('=') != std::string::npos)
        throw BadInput("module: the name comes first, got '" + m.name + "'");
    std::string word;
    while (words >> word) {
        size_t eq = word.find('=');
        std::string key = word.substr(0, eq);
        std::string value = eq == std::string::npos ? "" : word.substr(eq + 1);
        setKey(m, key, value, eq != std::string::npos);
    }
    cfg.modules.push_back(m);
}

void statement(const std::string& line, BenchConfig& cfg) {
    std::istringstream words(line);
    std::string verb;
    if (!(words >> verb))
        return;
    if (verb == "module")
        return moduleStatement(words, cfg);
    std::string arg, extra;
    if (!(words >> arg) || (words >> extra))
        throw BadInput(verb + ": expected one argument");
    if (verb == "bind")
        cfg.bind = arg;
    else if (verb == "discovery")
        cfg.discovery = arg;
    else
        throw BadInput("unknown statement '" + verb + "'");
}

} // namespace

bool validateBench(const BenchConfig& cfg, std::string& error) {
    std::set<std::string> names;
    for (const auto& m : cfg.modules) {
        if (!names.insert(m.name).second)
            return error = "module " + m.name + ": name used twice", false;
        if (m.address == 0 || (m.address & 1))
            return error = "module " + m.name + ": address must be even and non-zero", false;
    }
    for (const auto& m : cfg.modules) {
        if (m.router.empty())
            continue;
        const ModuleConfig* r = nullptr;
        for (const auto& o : cfg.modules)
            if (o.name == m.router)
                r = &o;
        if (!r)
            return error = "module " + m.name + ": router '" + m.router + "' is not on the bench",
                   false;
        if (!r->router.empty())
            return error = "module " + m.name + ": router '" + m.router +
                           "' sits behind a router itself",
                   false;
        if (!m.tcp.empty() || m.pty || !m.node.empty() || m.usb)
            return error = "module " + m.name +
                           ": a module behind a router has no transport of its own",
                   false;
        if (m.address == r->address)
            return error = "module " + m.name + ": same address as its router", false;
        for (const auto& o : cfg.modules)
            if (&o != &m && o.router == m.router && o.address == m.address)
                return error = "module " + m.name + ": address used twice behind " + m.router,
                       false;
    }
    return true;
}

bool parseBench(const std::string& text, BenchConfig& cfg, std::string& error) {
    BenchConfig next = cfg;
    std::istringstream in(text);
    std::string line;
    int n = 0;
    try {
        while (std::getline(in, line)) {
            ++n;
            size_t hash = line.find('#');
            if (hash != std::string::npos)
                line.resize(hash);
            statement(line, next);
        }
    } catch (const BadInput& e) {
        error = "bench line " + std::to_string(n) + ": " + e.what();
        return false;
    }
    if (!validateBench(next, error))
        return false;
    cfg = std::move(next);
    return true;
}

bool loadBenchFile(const std::string& path, BenchConfig& cfg, std::string& error) {
    std::ifstream f(path);
    if (!f)
        return error = "cannot read bench file " + path, false;
    std::stringstream ss;
    ss << f.rdbuf();
    if (!parseBench(ss.str(), cfg, error)) {
        error = path + ": " + error;
        return false;
    }
    return true;
}

bool parseModuleSpec(const std::string& spec, BenchConfig& cfg, std::string& error) {
    BenchConfig next = cfg;
    std::istringstream words(spec);
    try {
        moduleStatement(words, next);
    } catch (const BadInput& e) {
        error = std::string("module '") + spec + "': " + e.what();
        return false;
    }
    if (!validateBench(next, error))
        return false;
    cfg = std::move(next);
    return true;
}

} // namespace modsim
