// The bench's event loop and its TCP, pseudo-terminal and driver-node endpoints.
#include "modsim/Bench.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <map>
#include <sstream>
#include <stdexcept>

#include "modsim/BenchEndpoint.h"
#include "modsim/modsim_protocol.h"

namespace modsim {

uint64_t monotonicUs() {
    using namespace std::chrono;
    return uint64_t(duration_cast<microseconds>(steady_clock::now().time_since_epoch()).count());
}

namespace {

constexpr size_t kMaxPending = 64 * 1024;

void closeFd(int& fd) {
    if (fd >= 0)
        close(fd);
    fd = -1;
}

} // namespace

// A pseudo-terminal whose slave side stays open (and raw) while the bench runs,
// so that a host may open and close it as often as it likes.
bool openPty(int& master, int& slave, std::string& path, bool nodeMode, std::string& error) {
    master = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (master < 0 || grantpt(master) || unlockpt(master) || !ptsname(master)) {
        error = std::string("cannot create a pseudo-terminal: ") + strerror(errno);
        closeFd(master);
        return false;
    }
    path = ptsname(master);
    slave = open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    termios t{};
    if (slave < 0 || tcgetattr(slave, &t)) {
        error = "cannot open " + path + ": " + strerror(errno);
        closeFd(slave);
        closeFd(master);
        return false;
    }
    cfmakeraw(&t);
    if (nodeMode) {
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
    }
    tcsetattr(slave, TCSANOW, &t);
    return true;
}

Bench::Bench() = default;

Bench::~Bench() {
    stop();
}

Bench::Endpoint& Bench::ep(const std::string& name) const {
    for (auto& e : eps_)
        if (e->mod->name() == name)
            return *e;
    throw std::out_of_range("no module named '" + name + "' on the bench");
}

bool Bench::openListener(Endpoint& e, std::string& error) {
    int fd = socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_port = htons(e.port);
    if (inet_pton(AF_INET, e.host.c_str(), &a.sin_addr) != 1) {
        close(fd);
        return error = "module " + e.mod->name() + ": bad TCP address '" + e.host + "'", false;
    }
    // A closed port is bound (so that it stays this module's and discovery can
    // name it) but not listening: connections to it are refused.
    bool closed = e.mod->config().faults.closedPort;
    if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) || (!closed && listen(fd, 4))) {
        error = "module " + e.mod->name() + ": cannot listen on " + e.host + ":" +
                std::to_string(e.port) + ": " + strerror(errno);
        close(fd);
        return false;
    }
    socklen_t len = sizeof a;
    getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len);
    e.port = ntohs(a.sin_port);
    e.listenFd = fd;
    return true;
}

bool Bench::start(const BenchConfig& cfg, std::string& error) {
    stop();
    if (!validateBench(cfg, error))
        return false;
    std::lock_guard<std::mutex> lock(mu_);
    cfg_ = cfg;
    std::map<std::string, Module*> byName;
    for (const auto& mc : cfg.modules) {
        modules_.push_back(std::make_unique<Module>(mc));
        byName[mc.name] = modules_.back().get();
    }
    bool ok = true;
    for (auto& m : modules_) {
        const ModuleConfig& mc = m->config();
        if (!mc.router.empty())
            byName[mc.router]->addChild(m.get());
        auto e = std::make_unique<Endpoint>();
        e->mod = m.get();
        if (!mc.tcp.empty() && ok) {
            size_t colon = mc.tcp.rfind(':');
            e->host = colon == std::string::npos ? cfg.bind : mc.tcp.substr(0, colon);
            e->port = uint16_t(
                std::stoul(colon == std::string::npos ? mc.tcp : mc.tcp.substr(colon + 1)));
            e->hasTcp = true;
            ok = openListener(*e, error);
        }
        if (mc.pty && ok)
            ok = openPty(e->ptyMaster, e->ptySlave, e->ptyPath, false, error);
        if (!mc.node.empty() && ok) {
            ok = openPty(e->nodeMaster, e->nodeSlave, e->nodeTarget, true, error);
            if (ok) {
                unlink(mc.node.c_str());
                if (symlink(e->nodeTarget.c_str(), mc.node.c_str())) {
                    error =
                        "module " + mc.name + ": cannot create " + mc.node + ": " + strerror(errno);
                    ok = false;
                } else {
                    e->nodePath = mc.node;
                }
            }
        }
        if (!mc.imxRom.empty() && ok)
            ok = openRom(*e, error);
        if (mc.lpcRom)
            lpcStart(*e, monotonicUs());
        e->epoch = m->linkEpoch();
        eps_.push_back(std::move(e));
    }
    if (ok && !cfg.discovery.empty())
        ok = openDiscovery(cfg.discovery, discoveryFd_, error);
    if (ok && pipe2(wake_, O_NONBLOCK | O_CLOEXEC)) {
        error = std::string("cannot create a pipe: ") + strerror(errno);
        ok = false;
    }
    if (!ok) {
        closeAll();
        return false;
    }
    uint64_t now = monotonicUs();
    for (auto& m : modules_)
        m->poll(now);
    stopping_ = false;
    started_ = true;
    thread_ = std::thread(&Bench::loop, this);
    return true;
}

void Bench::closeAll() {
    for (auto& e : eps_) {
        lpcSaveFlash(*e);
        closeFd(e->listenFd);
        closeFd(e->connFd);
        closeFd(e->ptyMaster);
        closeFd(e->ptySlave);
        closeFd(e->nodeMaster);
        closeFd(e->nodeSlave);
        if (e->romPort) {
            closeFd(e->romPort->master);
            closeFd(e->romPort->slave);
            if (!e->romPort->link.empty())
                unlink(e->romPort->link.c_str());
        }
        if (!e->nodePath.empty())
            unlink(e->nodePath.c_str());
    }
    closeFd(discoveryFd_);
    closeFd(wake_[0]);
    closeFd(wake_[1]);
    eps_.clear();
    modules_.clear();
}

void Bench::stop() {
    if (thread_.joinable()) {
        stopping_ = true;
        if (write(wake_[1], "x", 1) < 0) { /* the loop also wakes by itself */
        }
        thread_.join();
    }
    std::lock_guard<std::mutex> lock(mu_);
    if (started_)
        closeAll();
    started_ = false;
}

void Bench::serviceEndpoint(Endpoint& e, uint64_t now) {
    uint8_t buf[4096];
    Module& m = *e.mod;
    if (e.listenFd >= 0) {
        int fd = accept4(e.listenFd, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd >= 0) {
            if (e.connFd >= 0 || !m.attach(now)) {
                linger l{1, 0}; // refuse: reset the connection at once
                setsockopt(fd, SOL_SOCKET, SO_LINGER, &l, sizeof l);
                close(fd);
            } else {
                int one = 1;
                setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                e.connFd = fd;
                e.active = Endpoint::Tcp;
                e.pending.clear();
            }
        }
    }
    if (e.connFd >= 0) {
        ssize_t n = recv(e.connFd, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            m.receive(buf, size_t(n), now);
        } else if (n == 0 || (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)) {
            closeFd(e.connFd);
            if (e.active == Endpoint::Tcp) {
                e.active = Endpoint::None;
                m.detach(now);
            }
        }
    }
    for (int which = 0; which < 2; ++which) {
        int fd = which ? e.nodeMaster : e.ptyMaster;
        if (fd < 0)
            continue;
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0 || (!which && lpcReceive(e, buf, size_t(n), now)))
            continue;
        auto kind = which ? Endpoint::Node : Endpoint::Pty;
        if (e.active != kind) {
            if (e.active == Endpoint::Tcp || e.active == Endpoint::External)
                continue; // link busy elsewhere
            if (!m.attach(now))
                continue;
            e.active = kind;
            e.pending.clear();
        }
        m.receive(buf, size_t(n), now);
    }
}

void Bench::flushOutput(Endpoint& e, uint64_t now) {
    Module& m = *e.mod;
    std::vector<uint8_t> out;
    m.takeOutput(out, now);
    if (e.active == Endpoint::None) {
        e.pending.clear();
    } else if (e.pending.size() + out.size() <= kMaxPending) {
        e.pending.insert(e.pending.end(), out.begin(), out.end());
    }
    if (!e.pending.empty()) {
        ssize_t n = -1;
        if (e.active == Endpoint::Tcp)
            n = send(e.connFd, e.pending.data(), e.pending.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        else if (e.active == Endpoint::Pty)
            n = write(e.ptyMaster, e.pending.data(), e.pending.size());
        else if (e.active == Endpoint::Node)
            n = write(e.nodeMaster, e.pending.data(), e.pending.size());
        else if (e.active == Endpoint::External) {
            if (e.extOut.size() + e.pending.size() <= kMaxPending)
                e.extOut.insert(e.extOut.end(), e.pending.begin(), e.pending.end());
            n = ssize_t(e.pending.size());
        }
        if (n > 0)
            e.pending.erase(e.pending.begin(), e.pending.begin() + n);
    }
    // A module that went away stops listening before its link closes, so that
    // a host which sees the link close finds the port closed too.
    if (!m.present() && e.listenFd >= 0)
        closeFd(e.listenFd);
    if (m.linkEpoch() != e.epoch) {
        // The module dropped its link: the connection goes with it.
        e.epoch = m.linkEpoch();
        closeFd(e.connFd);
        e.active = Endpoint::None;
        e.pending.clear();
        e.extOut.clear();
        m.detach(now);
    }
    if (m.present() && e.hasTcp && e.listenFd < 0) {
        std::string err;
        openListener(e, err); // tried again on the next round when it fails
    }
}

void Bench::loop() {
    std::vector<pollfd> fds;
    while (!stopping_) {
        fds.clear();
        {
            std::lock_guard<std::mutex> lock(mu_);
            uint64_t now = monotonicUs();
            for (auto& e : eps_) {
                for (int fd : {e->listenFd, e->connFd, e->ptyMaster, e->nodeMaster})
                    if (fd >= 0)
                        fds.push_back({fd, POLLIN, 0});
                if (e->romPort && e->romPort->master >= 0 &&
                    now >= e->romPort->inFreeUs + e->romPort->byteUs)
                    fds.push_back({e->romPort->master, POLLIN, 0});
            }
            if (discoveryFd_ >= 0)
                fds.push_back({discoveryFd_, POLLIN, 0});
            fds.push_back({wake_[0], POLLIN, 0});
        }
        poll(fds.data(), fds.size(), 2);
        std::lock_guard<std::mutex> lock(mu_);
        uint64_t now = monotonicUs();
        for (auto& e : eps_) {
            serviceEndpoint(*e, now);
            if (e->romPort)
                serviceRom(*e, now);
        }
        if (discoveryFd_ >= 0)
            answerDiscovery();
        for (auto& m : modules_)
            if (m->config().router.empty())
                m->poll(now);
        for (auto& e : eps_) {
            lpcPump(*e, now);
            flushOutput(*e, now);
        }
        for (auto& m : modules_)
            if (int sig = m->takeSignal(); sig != 0 && signalHandler_)
                signalHandler_(sig);
    }
}

std::vector<std::string> Bench::names() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::vector<std::string> v;
    for (auto& m : modules_)
        v.push_back(m->name());
    return v;
}

bool Bench::has(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& m : modules_)
        if (m->name() == name)
            return true;
    return false;
}

ModuleState Bench::state(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    return ep(name).mod->state();
}

ModuleConfig Bench::config(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    return ep(name).mod->config();
}

uint16_t Bench::tcpPort(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    const Endpoint& e = ep(name);
    return e.hasTcp ? e.port : 0;
}

std::string Bench::tcpHost(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    return ep(name).host;
}

std::string Bench::ptyPath(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    return ep(name).ptyPath;
}

std::string Bench::nodePath(const std::string& name) const {
    std::lock_guard<std::mutex> lock(mu_);
    return ep(name).nodePath;
}

bool Bench::waitFor(const std::string& name, const std::function<bool(const ModuleState&)>& pred,
                    int ms) const {
    uint64_t end = monotonicUs() + uint64_t(ms) * 1000;
    do {
        if (pred(state(name)))
            return true;
        usleep(2000);
    } while (monotonicUs() < end);
    return pred(state(name));
}

void Bench::setFaults(const std::string& name, const Faults& faults) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& m : modules_)
        if (m->name() == name)
            return m->setFaults(faults);
    throw std::out_of_range("no module named '" + name + "' on the bench");
}

void Bench::setTrace(TraceFn fn) {
    std::lock_guard<std::mutex> lock(mu_);
    for (auto& m : modules_)
        m->setTrace(fn);
    for (auto& e : eps_) {
        std::string name = e->mod->name();
        if (e->romPort)
            e->romPort->rom.setTrace(
                fn ? imxsim::RomTraceFn([fn, name](const std::string& l) { fn(name + " " + l); })
                   : imxsim::RomTraceFn());
        if (e->lpc)
            e->lpc->setTrace(
                fn ? TraceFn([fn, name](const std::string& line) { fn(name + " lpc " + line); })
                   : TraceFn());
    }
}

std::string Bench::summary() const {
    std::lock_guard<std::mutex> lock(mu_);
    std::ostringstream s;
    char buf[96];
    for (auto& e : eps_) {
        const ModuleConfig& c = e->mod->config();
        snprintf(buf, sizeof buf, "module %s serial=%08X model=%u address=%u", c.name.c_str(),
                 c.serial, unsigned(c.model), unsigned(c.address));
        s << buf;
        if (e->hasTcp)
            s << " tcp=" << e->host << ":" << e->port;
        if (!e->ptyPath.empty())
            s << " pty=" << e->ptyPath;
        if (!e->nodePath.empty())
            s << " node=" << e->nodePath;
        if (c.usb)
            s << " usb=yes";
        if (e->romPort)
            s << (e->romPort->path.empty() ? " rom=usb" : " rom-pty=" + e->romPort->path);
        if (e->romPort && !e->romPort->link.empty())
            s << " rom-link=" << e->romPort->link;
        if (!c.router.empty())
            s << " router=" << c.router;
        if (e->lpc)
            s << " lpc-rom";
        s << "\n";
    }
    return s.str();
}

bool Bench::externalAttach(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint& e = ep(name);
    if (e.active == Endpoint::Tcp || !e.mod->attach(monotonicUs()))
        return false;
    e.active = Endpoint::External;
    e.pending.clear();
    e.extOut.clear();
    return true;
}

void Bench::externalDetach(const std::string& name) {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint& e = ep(name);
    if (e.active != Endpoint::External)
        return;
    e.active = Endpoint::None;
    e.extOut.clear();
    e.mod->detach(monotonicUs());
}

void Bench::externalWrite(const std::string& name, const uint8_t* p, size_t n) {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint& e = ep(name);
    if (e.active != Endpoint::External)
        return;
    uint64_t now = monotonicUs();
    e.mod->receive(p, n, now);
    // What the module answers at once is ready for the transport at once, as
    // on hardware, rather than after the next round of the bench's loop.
    std::vector<uint8_t> out;
    e.mod->takeOutput(out, now);
    if (e.extOut.size() + out.size() <= kMaxPending)
        e.extOut.insert(e.extOut.end(), out.begin(), out.end());
}

size_t Bench::externalRead(const std::string& name, uint8_t* p, size_t cap) {
    std::lock_guard<std::mutex> lock(mu_);
    Endpoint& e = ep(name);
    size_t n = std::min(cap, e.extOut.size());
    std::copy(e.extOut.begin(), e.extOut.begin() + long(n), p);
    e.extOut.erase(e.extOut.begin(), e.extOut.begin() + long(n));
    return n;
}

void Bench::externalStatus(const std::string& name, bool& present, uint32_t& serial,
                           uint32_t& epoch) const {
    std::lock_guard<std::mutex> lock(mu_);
    const Endpoint& e = ep(name);
    present = e.mod->present();
    serial = e.mod->presentedSerial();
    epoch = e.mod->linkEpoch();
}

} // namespace modsim
