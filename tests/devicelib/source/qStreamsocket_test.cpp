// Socket transport against a loopback peer in this process.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

#include "qStream.h"

namespace {

// A listener on 127.0.0.1 with an ephemeral port.
class LoopbackPeer {
  public:
    LoopbackPeer() {
        lfd_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        int one = 1;
        setsockopt(lfd_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
        EXPECT_EQ(bind(lfd_, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
        EXPECT_EQ(listen(lfd_, 4), 0);
        socklen_t len = sizeof a;
        getsockname(lfd_, reinterpret_cast<sockaddr*>(&a), &len);
        port_ = ntohs(a.sin_port);
    }
    ~LoopbackPeer() {
        if (cfd_ >= 0)
            close(cfd_);
        close(lfd_);
    }
    int port() const { return port_; }
    // Accepts one connection within timeoutMs; true when one came.
    bool accept(int timeoutMs = 2000) {
        pollfd p{lfd_, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) != 1)
            return false;
        if (cfd_ >= 0)
            close(cfd_);
        cfd_ = ::accept(lfd_, nullptr, nullptr);
        ++accepted_;
        return cfd_ >= 0;
    }
    // Closes the connection with a reset, as a module that reboots does.
    void resetConnection() {
        linger lg{1, 0};
        setsockopt(cfd_, SOL_SOCKET, SO_LINGER, &lg, sizeof lg);
        close(cfd_);
        cfd_ = -1;
    }
    // Closes the connection in order (FIN), as a peer that ends it does.
    void closeConnection() {
        close(cfd_);
        cfd_ = -1;
    }
    void send(const std::string& s) {
        ASSERT_EQ(::send(cfd_, s.data(), s.size(), 0), (ssize_t)s.size());
    }
    // Reads until n bytes arrived or timeoutMs passed.
    std::string receive(size_t n, int timeoutMs = 2000) {
        std::string got;
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (got.size() < n && std::chrono::steady_clock::now() < end) {
            pollfd p{cfd_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            char buf[4096];
            ssize_t r = recv(cfd_, buf, sizeof buf, 0);
            if (r <= 0)
                break;
            got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    int accepted() const { return accepted_; }

  private:
    int lfd_ = -1;
    int cfd_ = -1;
    int port_ = 0;
    int accepted_ = 0;
};

uint32_t loopback() {
    return htonl(INADDR_LOOPBACK);
}

// Polls get until n bytes arrived (bounded by timeoutMs).
std::string pollBytes(qStream* s, size_t n, int timeoutMs = 2000) {
    std::string got;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
    while (got.size() < n && std::chrono::steady_clock::now() < end) {
        uint8_t b;
        qErr e = qStream_Read(s, &b, 1);
        if (e == qErrNone)
            got.push_back(static_cast<char>(b));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return got;
}

TEST(StreamSocket, ConnectsAndMovesBytesBothWays) {
    LoopbackPeer peer;
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSocket(loopback(), peer.port(), &s), qErrNone);
    ASSERT_TRUE(peer.accept());
    uint8_t b;
    EXPECT_EQ(qStream_Read(s, &b, 1), qErrNotReady) << "nothing sent yet: answer at once";
    peer.send("hello");
    EXPECT_EQ(pollBytes(s, 5), "hello");
    std::string big(5000, 'x');
    for (size_t i = 0; i < big.size(); ++i)
        big[i] = static_cast<char>('a' + i % 26);
    ASSERT_EQ(qStream_Write(s, reinterpret_cast<const uint8_t*>(big.data()), big.size()), qErrNone);
    EXPECT_EQ(peer.receive(big.size()), big);
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
}

TEST(StreamSocket, WriteAfterThePeerResetReconnectsOnceAndSendsEverything) {
    LoopbackPeer peer;
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSocket(loopback(), peer.port(), &s), qErrNone);
    ASSERT_TRUE(peer.accept());
    peer.resetConnection();
    std::this_thread::sleep_for(std::chrono::milliseconds(20)); // let the reset arrive
    std::thread acceptor([&] { peer.accept(3000); });
    const std::string msg = "after the reboot";
    EXPECT_EQ(qStream_Write(s, reinterpret_cast<const uint8_t*>(msg.data()), msg.size()), qErrNone);
    acceptor.join();
    EXPECT_EQ(peer.accepted(), 2);
    EXPECT_EQ(peer.receive(msg.size()), msg);
    (void)qStream_Destroy(&s);
}

TEST(StreamSocket, ReadAfterThePeerResetReconnectsByItself) {
    LoopbackPeer peer;
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSocket(loopback(), peer.port(), &s), qErrNone);
    ASSERT_TRUE(peer.accept());
    peer.resetConnection();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    std::thread acceptor([&] {
        if (peer.accept(3000))
            peer.send("Z");
    });
    std::string got = pollBytes(s, 1, 3000);
    acceptor.join();
    EXPECT_EQ(peer.accepted(), 2);
    EXPECT_EQ(got, "Z");
    (void)qStream_Destroy(&s);
}

TEST(StreamSocket, PeerThatClosesInOrderIsReportedGoneAndTheStreamCanComeBack) {
    LoopbackPeer peer;
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSocket(loopback(), peer.port(), &s), qErrNone);
    ASSERT_TRUE(peer.accept());
    peer.send("AB");
    peer.closeConnection();
    EXPECT_EQ(pollBytes(s, 2), "AB") << "the bytes sent before the close are delivered";
    uint8_t b;
    qErr e = qErrNotReady;
    auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(2000);
    while (e == qErrNotReady && std::chrono::steady_clock::now() < end)
        e = qStream_Read(s, &b, 1);
    EXPECT_EQ(e, qErrConnection) << "a closed peer is not a quiet one";
    EXPECT_EQ(qStream_Read(s, &b, 1), qErrConnection) << "and stays reported";

    // The stream is not given up: a write lands on the closed connection and
    // draws the peer's reset; the write after that connects again.
    std::atomic<bool> accepted{false};
    std::thread acceptor([&] { accepted = peer.accept(3000); });
    const uint8_t ping = 0x42;
    auto until = std::chrono::steady_clock::now() + std::chrono::milliseconds(3000);
    while (!accepted && std::chrono::steady_clock::now() < until) {
        (void)qStream_Write(s, &ping, 1); // repeated until the peer has it
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    acceptor.join();
    ASSERT_TRUE(accepted);
    EXPECT_EQ(peer.receive(1).substr(0, 1), "B") << "the write went out on the new connection";
    peer.send("Z");
    EXPECT_EQ(pollBytes(s, 1), "Z") << "and reads come from it";
    (void)qStream_Destroy(&s);
}

TEST(StreamSocket, NoListenerOrBadArgumentsGiveResourceErrors) {
    int port;
    {
        LoopbackPeer closed; // take a free port, then let it go
        port = closed.port();
    }
    qStream* s = reinterpret_cast<qStream*>(0x1);
    EXPECT_EQ(qStream_CreateSocket(loopback(), port, &s), qErrResource);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(qStream_CreateSocket(loopback(), 0, &s), qErrResource);
    EXPECT_EQ(qStream_CreateSocket(loopback(), 70000, &s), qErrResource);
    EXPECT_EQ(qStream_CreateSocket(loopback(), port, nullptr), qErrResource);
}

TEST(StreamSocket, ReaderAndWriterThreadsRunTogether) {
    LoopbackPeer peer;
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSocket(loopback(), peer.port(), &s), qErrNone);
    ASSERT_TRUE(peer.accept());
    std::string got;
    std::thread reader([&] { got = pollBytes(s, 300, 3000); });
    const std::string chunk(30, 'w');
    for (int i = 0; i < 10; ++i) {
        peer.send(std::string(30, static_cast<char>('0' + i)));
        ASSERT_EQ(qStream_Write(s, reinterpret_cast<const uint8_t*>(chunk.data()), chunk.size()),
                  qErrNone);
    }
    reader.join();
    EXPECT_EQ(got.size(), 300u);
    EXPECT_EQ(peer.receive(300), std::string(300, 'w'));
    (void)qStream_Destroy(&s);
}

} // namespace
