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

// "8" or "8,20": system option numbers (0..63).
std::vector<uint8_t> optionList(const std::string& key, const std::string& v) {
    std::vector<uint8_t> options;
    std::stringstream ss(v);
    std::string w;
    while (std::getline(ss, w, ','))
        options.push_back(uint8_t(number(key, w, 63, 10)));
    if (options.empty())
        throw BadInput(key + ": expected option numbers OPT[,OPT...]");
    return options;
}

// "OPTION:CODE", both decimal; the code must be non-zero.
void optionError(Faults& f, const std::string& v) {
    size_t colon = v.find(':');
    if (colon == std::string::npos)
        throw BadInput("option-error: expected OPTION:CODE");
    f.optionErrorOption = uint8_t(number("option-error", v.substr(0, colon), 63, 10));
    f.optionErrorCode = uint8_t(number("option-error", v.substr(colon + 1), 255, 10));
    if (f.optionErrorCode == 0)
        throw BadInput("option-error: the code must be non-zero");
}

// Keys of a dead i.MX module (its ROM); false for any other key.
bool imxKey(ModuleConfig& m, const std::string& key, const std::string& v, bool hadValue) {
    imxsim::RomConfig& r = m.rom;
    if (key == "imx") {
        if (v != "usb" && v != "pty")
            throw BadInput("imx: expected usb or pty");
        m.imxRom = v;
        m.usb = true; // the loader and the new firmware appear on USB
    } else if (key == "rom-baud") {
        m.romBaud = unsigned(number(key, v, 4000000));
        if (m.romBaud < 300)
            throw BadInput("rom-baud: at least 300");
    } else if (key == "rom-link") {
        if (v.empty() || v[0] != '/')
            throw BadInput("rom-link: expected an absolute path");
        m.romLink = v;
    } else if (key == "rom-fingerprint") {
        size_t comma = v.find(',');
        if (comma == std::string::npos)
            throw BadInput("rom-fingerprint: expected LOW,HIGH in hexadecimal");
        r.fingerprintLow = uint32_t(number(key, v.substr(0, comma), 0xFFFFFFFFul, 16));
        r.fingerprintHigh = uint32_t(number(key, v.substr(comma + 1), 0xFFFFFFFFul, 16));
    } else if (key == "rom-hab") {
        if (v != "open" && v != "closed")
            throw BadInput("rom-hab: expected open or closed");
        r.hab = v == "open" ? imxsim::kHabOpen : imxsim::kHabClosed;
    } else if (key == "rom-silent") {
        r.faults.silent = flag(key, v, hadValue);
    } else if (key == "rom-error-at") {
        r.faults.errorAtByte = long(number(key, v, LONG_MAX));
    } else if (key == "rom-no-completion") {
        r.faults.noCompletion = flag(key, v, hadValue);
    } else if (key == "rom-late-status-ms") {
        r.faults.lateStatusMs = unsigned(number(key, v, 60000));
    } else if (key == "rom-return-ms") {
        m.romReturnMs = uint32_t(number(key, v, 60000));
    } else if (key == "rom-ivt") {
        r.requireHeader = flag(key, v, hadValue);
    } else if (key == "no-loader") {
        r.faults.noLoader = flag(key, v, hadValue);
    } else {
        return false;
    }
    return true;
}

// The keys of a dead module with an LPC chip in its ROM (sim/lpcrom).
void setLpcKey(ModuleConfig& m, const std::string& key, const std::string& v, bool hadValue) {
    lpcrom::ChipConfig& c = m.lpc;
    lpcrom::Faults& f = c.faults;
    if (key == "lpc-rom")
        m.lpcRom = flag(key, v, hadValue);
    else if (key == "lpc-part")
        c.partId = uint32_t(number(key, v, 0xFFFFFFFFul, 16));
    else if (key == "lpc-boot") {
        size_t dot = v.find('.');
        if (dot == std::string::npos)
            throw BadInput("lpc-boot: expected MAJOR.MINOR");
        c.bootMajor = uint8_t(number(key, v.substr(0, dot), 255, 10));
        c.bootMinor = uint8_t(number(key, v.substr(dot + 1), 255, 10));
    } else if (key == "lpc-timing") {
        if (v != "datasheet" && v != "none")
            throw BadInput("lpc-timing: expected datasheet or none");
        c.datasheetTiming = v == "datasheet";
    } else if (key == "lpc-rate")
        c.fixedRate = uint32_t(number(key, v, 230400, 10));
    else if (key == "lpc-flash-out") {
        if (v.empty())
            throw BadInput("lpc-flash-out: expected a file path");
        m.lpcFlashOut = v;
    } else if (key == "lpc-mute")
        f.mute = flag(key, v, hadValue);
    else if (key == "lpc-corrupt-line")
        f.corruptLine = long(number(key, v, LONG_MAX, 10));
    else if (key == "lpc-corrupt-from")
        f.corruptFrom = long(number(key, v, LONG_MAX, 10));
    else if (key == "lpc-error") {
        if (v.size() < 3 || v[1] != ':' || v[0] < 'A' || v[0] > 'Z')
            throw BadInput("lpc-error: expected LETTER:CODE, e.g. E:11");
        f.errorCommand = v[0];
        f.errorCode = uint8_t(number(key, v.substr(2), 255, 10));
    } else if (key == "lpc-slow-ms")
        f.slowMs = unsigned(number(key, v, 60000, 10));
    else if (key == "lpc-vanish-at")
        f.vanishAfterBytes = long(number(key, v, LONG_MAX, 10));
    else if (key == "lpc-chatter") {
        if (v.size() != 1 || v[0] < 'A' || v[0] > 'Z')
            throw BadInput("lpc-chatter: expected a command letter, e.g. U");
        f.chatterCommand = v[0];
    } else if (key == "lpc-bad-copy")
        f.badCopy = long(number(key, v, LONG_MAX, 10));
    else
        throw BadInput("unknown key '" + key + "'");
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
    else if (key == "loader-sum-off")
        f.loaderSumOff = flag(key, v, hadValue);
    else if (key == "loader-prepare-silent")
        f.loaderPrepareSilent = flag(key, v, hadValue);
    else if (key == "signal-at") {
        size_t colon = v.find(':');
        if (colon == std::string::npos)
            throw BadInput("signal-at: wants BYTES:SIGNAL, e.g. signal-at=2000:2");
        f.signalAtFirmwareByte = number(key, v.substr(0, colon), LONG_MAX);
        f.signalNumber = int(number(key, v.substr(colon + 1), 64));
    } else if (key == "prepare-error")
        f.prepareStatus = uint8_t(number(key, v, 255));
    else if (key == "write-error")
        f.writeStatus = uint8_t(number(key, v, 255));
    else if (key == "write-errors")
        f.writeErrors = unsigned(number(key, v, UINT_MAX));
    else if (key == "keep-link")
        f.keepLinkAfterReboot = flag(key, v, hadValue);
    else if (key == "vanish-at")
        f.vanishAtFirmwareByte = long(number(key, v, LONG_MAX));
    else if (key == "slow-ms")
        f.slowMs = unsigned(number(key, v, 60000));
    else if (key == "refuse")
        f.refuseConnections = unsigned(number(key, v, UINT_MAX));
    else if (key == "deaf-ms")
        f.deafMs = uint32_t(number(key, v, 60000));
    else if (key == "closed-port")
        f.closedPort = flag(key, v, hadValue);
    else if (key == "no-return")
        f.noReturnAfterLoad = flag(key, v, hadValue);
    else if (key == "seed")
        f.seed = uint32_t(number(key, v, 0xFFFFFFFFul));
    else if (key == "forward-ms")
        m.forwardMs = uint32_t(number(key, v, 60000));
    else if (key == "silent")
        f.silentOptions = optionList(key, v);
    else if (key == "option-error")
        optionError(f, v);
    else if (key == "build-reply") {
        f.buildReplyLength = uint8_t(number(key, v, 28));
        if (f.buildReplyLength < 2)
            throw BadInput("build-reply: at least 2 data bytes (73 255)");
    } else if (key == "busy")
        f.busy = flag(key, v, hadValue);
    else if (key.compare(0, 4, "lpc-") == 0)
        setLpcKey(m, key, v, hadValue);
    else if (!imxKey(m, key, v, hadValue))
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

// "N PREFIX key=value ...": N modules PREFIX1..PREFIXN alike but for their
// serials (serial= is the first one's, the next ones count up) and, with a
// fixed tcp= port, their ports (counting up the same way; tcp=0 gives each a
// port of its own anyway).
void modulesStatement(std::istringstream& words, BenchConfig& cfg) {
    std::string count, prefix, rest, word;
    if (!(words >> count >> prefix))
        throw BadInput("modules: expected a count and a name prefix");
    const unsigned long n = number("modules", count, kMaxBenchModules, 10);
    if (n == 0)
        throw BadInput("modules: the count must be at least 1");
    while (words >> word)
        rest += " " + word;
    std::istringstream first("x" + rest);
    moduleStatement(first, cfg); // checks the keys once
    const ModuleConfig model = cfg.modules.back();
    cfg.modules.pop_back();
    if (!model.router.empty() || model.pty || !model.node.empty() || !model.imxRom.empty() ||
        model.lpcRom)
        throw BadInput("modules: only for modules on TCP/IP or USB of their own");
    if (uint64_t(model.serial) + n - 1 > 0xFFFFFFFFull)
        throw BadInput("modules: the serials would pass FFFFFFFF");
    const size_t colon = model.tcp.rfind(':');
    const std::string host = colon == std::string::npos ? "" : model.tcp.substr(0, colon + 1);
    const unsigned long port =
        model.tcp.empty() ? 0 : std::strtoul(model.tcp.c_str() + host.size(), nullptr, 10);
    if (port != 0 && port + n - 1 > 65535)
        throw BadInput("modules: the ports would pass 65535");
    for (unsigned long i = 0; i < n; ++i) {
        ModuleConfig m = model;
        m.name = prefix + std::to_string(i + 1);
        m.serial = uint32_t(model.serial + i);
        if (port != 0)
            m.tcp = host + std::to_string(port + i);
        cfg.modules.push_back(m);
    }
}

void statement(const std::string& line, BenchConfig& cfg) {
    std::istringstream words(line);
    std::string verb;
    if (!(words >> verb))
        return;
    if (verb == "module")
        return moduleStatement(words, cfg);
    if (verb == "modules")
        return modulesStatement(words, cfg);
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
        if (m.lpcRom && (!m.pty || !m.router.empty()))
            return error = "module " + m.name + ": lpc-rom needs a pty of its own", false;
        if (!m.romLink.empty() && m.imxRom != "pty")
            return error = "module " + m.name + ": rom-link needs imx=pty", false;
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
        if (!m.tcp.empty() || m.pty || !m.node.empty() || m.usb || !m.imxRom.empty())
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

namespace {

// One statement from the command line (`verb` without its first word).
bool commandLineStatement(const char* verb, void (*parse)(std::istringstream&, BenchConfig&),
                          const std::string& spec, BenchConfig& cfg, std::string& error) {
    BenchConfig next = cfg;
    std::istringstream words(spec);
    try {
        parse(words, next);
    } catch (const BadInput& e) {
        error = std::string(verb) + " '" + spec + "': " + e.what();
        return false;
    }
    if (!validateBench(next, error))
        return false;
    cfg = std::move(next);
    return true;
}

} // namespace

bool parseModuleSpec(const std::string& spec, BenchConfig& cfg, std::string& error) {
    return commandLineStatement("module", moduleStatement, spec, cfg, error);
}

bool parseModulesSpec(const std::string& spec, BenchConfig& cfg, std::string& error) {
    return commandLineStatement("modules", modulesStatement, spec, cfg, error);
}

} // namespace modsim
