#include "link_peer.h"

#include "wait.h"

#include <arpa/inet.h>
#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <stdio.h>
#include <string.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

namespace linktest {

PeerEnd::~PeerEnd() {
    close();
}

PeerEnd::PeerEnd(PeerEnd&& other) noexcept : fd_(other.fd_) {
    other.fd_ = -1;
}

PeerEnd& PeerEnd::operator=(PeerEnd&& other) noexcept {
    if (this != &other) {
        close();
        fd_ = other.fd_;
        other.fd_ = -1;
    }
    return *this;
}

void PeerEnd::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

bool PeerEnd::send(const Bytes& bytes) {
    size_t done = 0;
    for (int tries = 0; done < bytes.size() && tries < 1000; tries++) {
        ssize_t n = ::send(fd_, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
        if (n < 0 && errno == ENOTSOCK) // a terminal or pipe end
            n = ::write(fd_, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno != EINTR && errno != EAGAIN)
            return false;
        if (n > 0)
            done += static_cast<size_t>(n);
    }
    return done == bytes.size();
}

Bytes PeerEnd::read(size_t n, int timeoutMs) {
    Bytes out;
    double deadline = kstest::NowMs() + timeoutMs;
    while (out.size() < n && fd_ >= 0) {
        int left = static_cast<int>(deadline - kstest::NowMs());
        if (left <= 0)
            break;
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        uint8_t buf[256];
        size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        ssize_t got = ::read(fd_, buf, want);
        if (got <= 0)
            break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

Bytes PeerEnd::drain(int quietMs) {
    Bytes out;
    for (int rounds = 0; rounds < 10000 && fd_ >= 0; rounds++) {
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, quietMs) <= 0)
            break;
        uint8_t buf[256];
        ssize_t got = ::read(fd_, buf, sizeof buf);
        if (got <= 0)
            break;
        out.insert(out.end(), buf, buf + got);
    }
    return out;
}

bool PeerEnd::closedWithin(int timeoutMs) {
    double deadline = kstest::NowMs() + timeoutMs;
    while (fd_ >= 0) {
        int left = static_cast<int>(deadline - kstest::NowMs());
        if (left <= 0)
            return false;
        pollfd p = {fd_, POLLIN, 0};
        if (poll(&p, 1, left) <= 0)
            continue;
        uint8_t buf[64];
        ssize_t got = ::read(fd_, buf, sizeof buf);
        if (got == 0 || (got < 0 && errno == ECONNRESET))
            return true;
    }
    return false;
}

Listener::Listener() {
    fd_ = socket(AF_INET, SOCK_STREAM, 0);
    if (fd_ < 0)
        return;
    int on = 1;
    setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a;
    memset(&a, 0, sizeof a);
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = loopbackAddress();
    a.sin_port = 0;
    socklen_t len = sizeof a;
    if (bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || listen(fd_, 4) != 0 ||
        getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &len) != 0) {
        close();
        return;
    }
    port_ = ntohs(a.sin_port);
}

Listener::~Listener() {
    close();
}

void Listener::close() {
    if (fd_ >= 0)
        ::close(fd_);
    fd_ = -1;
}

PeerEnd Listener::accept(int timeoutMs) {
    if (fd_ < 0)
        return PeerEnd();
    pollfd p = {fd_, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) <= 0)
        return PeerEnd();
    int fd = ::accept(fd_, nullptr, nullptr);
    if (fd >= 0) {
        int on = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
    }
    return PeerEnd(fd);
}

uint32_t loopbackAddress() {
    return htonl(INADDR_LOOPBACK);
}

bool socketPair(int* linkSide, PeerEnd* peerSide) {
    int fds[2];
    if (socketpair(AF_UNIX, SOCK_STREAM, 0, fds) != 0)
        return false;
    fcntl(fds[0], F_SETFL, fcntl(fds[0], F_GETFL) | O_NONBLOCK);
    *linkSide = fds[0];
    *peerSide = PeerEnd(fds[1]);
    return true;
}

} // namespace linktest
