#include "objlayer_peer.h"

#include <arpa/inet.h>
#include <errno.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include "modsim/BenchConfig.h"
#include "wait.h"

namespace objtest {

namespace {

constexpr uint8_t LINK_ENDPOINT = 0xAF;

} // namespace

Bytes wire(uint8_t address, const Bytes& data) {
    Bytes b;
    b.reserve(2 + data.size());
    b.push_back(address);
    b.push_back(uint8_t(data.size()));
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

FakeModule::FakeModule(Responder responder) : responder_(std::move(responder)) {
    listenFd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    if (listenFd_ < 0 || bind(listenFd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
        listen(listenFd_, 4) != 0 ||
        getsockname(listenFd_, reinterpret_cast<sockaddr*>(&a), &len) != 0)
        return;
    port_ = ntohs(a.sin_port);
    thread_ = std::thread([this] { run(); });
}

FakeModule::~FakeModule() {
    stop_ = true;
    if (thread_.joinable())
        thread_.join();
    if (connFd_ >= 0)
        close(connFd_);
    if (listenFd_ >= 0)
        close(listenFd_);
}

linkSpec FakeModule::spec() const {
    linkSpec s{};
    s.transport = linkTypeTCPIP;
    s.serialNumber = 0x0BAD0001;
    s.link.tcpip.hostAddress = htonl(INADDR_LOOPBACK);
    s.link.tcpip.tcpPort = port_;
    return s;
}

std::vector<RxPacket> FakeModule::received() const {
    std::lock_guard<std::mutex> lock(mu_);
    return received_;
}

bool FakeModule::waitReceived(size_t n, int ms) const {
    return kstest::WaitUntil([&] { return received().size() >= n; }, ms);
}

void FakeModule::setResponder(Responder responder) {
    std::lock_guard<std::mutex> lock(mu_);
    responder_ = std::move(responder);
}

void FakeModule::clear() {
    std::lock_guard<std::mutex> lock(mu_);
    received_.clear();
}

bool FakeModule::inject(const Bytes& bytes) {
    // The host may not have been accepted yet right after connecting.
    kstest::WaitUntil([&] { return connFd_ >= 0; }, 1000);
    std::lock_guard<std::mutex> lock(sendMu_);
    int fd = connFd_;
    if (fd < 0)
        return false;
    size_t done = 0;
    for (int tries = 0; done < bytes.size() && tries < 1000; ++tries) {
        ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (n > 0)
            done += size_t(n);
    }
    return done == bytes.size();
}

void FakeModule::run() {
    Bytes buffer;
    while (!stop_) {
        int fd = connFd_;
        pollfd p{fd >= 0 ? fd : listenFd_, POLLIN, 0};
        if (poll(&p, 1, 20) <= 0)
            continue;
        if (fd < 0) {
            int c = accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
            if (c >= 0) {
                int one = 1;
                setsockopt(c, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
                connFd_ = c;
            }
            continue;
        }
        uint8_t chunk[256];
        ssize_t n = recv(fd, chunk, sizeof chunk, 0);
        if (n <= 0) {
            std::lock_guard<std::mutex> lock(sendMu_);
            close(fd);
            connFd_ = -1;
            buffer.clear();
            continue;
        }
        buffer.insert(buffer.end(), chunk, chunk + n);
        while (buffer.size() >= 2 && buffer.size() >= size_t(buffer[1]) + 2) {
            RxPacket packet;
            packet.address = buffer[0];
            packet.data.assign(buffer.begin() + 2, buffer.begin() + 2 + buffer[1]);
            buffer.erase(buffer.begin(), buffer.begin() + 2 + buffer[1]);
            if (packet.address == LINK_ENDPOINT)
                continue;
            Responder responder;
            {
                std::lock_guard<std::mutex> lock(mu_);
                received_.push_back(packet);
                responder = responder_;
            }
            Bytes answer = responder ? responder(packet) : Bytes();
            if (!answer.empty())
                inject(answer);
        }
    }
}

bool SimBench::start(const std::string& text, std::string& error) {
    modsim::BenchConfig cfg;
    if (!modsim::parseBench(text, cfg, error))
        return false;
    return bench.start(cfg, error);
}

linkSpec SimBench::tcpSpec(const std::string& name) const {
    linkSpec s{};
    modsim::ModuleConfig c = bench.config(name);
    s.transport = linkTypeTCPIP;
    s.serialNumber = c.serial;
    s.moduleAddress = c.address;
    s.modelCode = c.model;
    inet_pton(AF_INET, bench.tcpHost(name).c_str(), &s.link.tcpip.hostAddress);
    s.link.tcpip.tcpPort = bench.tcpPort(name);
    return s;
}

linkSpec SimBench::serialSpec(const std::string& name, uint32_t baud) const {
    linkSpec s{};
    modsim::ModuleConfig c = bench.config(name);
    s.transport = linkTypeSerial;
    s.serialNumber = c.serial;
    s.moduleAddress = c.address;
    s.modelCode = c.model;
    s.link.serial.baudRate = baud;
    snprintf(s.link.serial.portName, sizeof s.link.serial.portName, "%s",
             bench.ptyPath(name).c_str());
    return s;
}

std::string moduleLine(const std::string& name, uint32_t serial, uint8_t address,
                       const std::string& extra) {
    char line[160];
    snprintf(line, sizeof line, "module %s serial=%08X address=%u tcp=127.0.0.1:0 %s\n",
             name.c_str(), serial, unsigned(address), extra.c_str());
    return line;
}

} // namespace objtest
