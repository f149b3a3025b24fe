// The link engine's edges: why an open failed (refused, not found, busy,
// permission), a full output queue that keeps what it holds, a failed write
// seen at once, one writer per stream, stale input dropped before a sync
// request, the poll back-off of a stream that cannot wait, and a socket
// stream that reconnected by itself sleeping again.
#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <pthread.h>
#include <stdlib.h>
#include <sys/file.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <deque>
#include <mutex>
#include <set>
#include <thread>

#include "link_peer.h"
#include "qLink.h"
#include "wait.h"

using linktest::Bytes;
using linktest::Listener;

namespace {

linkSpec tcpSpec(uint16_t port) {
    linkSpec spec{};
    spec.transport = linkTypeTCPIP;
    spec.link.tcpip.hostAddress = linktest::loopbackAddress();
    spec.link.tcpip.tcpPort = port;
    return spec;
}

linkSpec serialSpec(const char* port) {
    linkSpec spec{};
    spec.transport = linkTypeSerial;
    spec.serialNumber = 0x40F5849A;
    spec.link.serial.baudRate = 115200;
    snprintf(spec.link.serial.portName, sizeof spec.link.serial.portName, "%s", port);
    return spec;
}

// A pseudo-terminal whose slave side the link opens.
struct Pty {
    Pty() {
        master = posix_openpt(O_RDWR | O_NOCTTY);
        if (master >= 0 && grantpt(master) == 0 && unlockpt(master) == 0)
            name = ptsname(master);
    }
    ~Pty() {
        if (master >= 0)
            close(master);
    }
    int master = -1;
    std::string name;
};

qErr openCause(const linkSpec& spec) {
    uint32_t id = 99;
    qErr e = qLink_Open(&spec, &id);
    if (e == qErrNone)
        EXPECT_EQ(qLink_Destroy(&id), qErrNone);
    else
        EXPECT_EQ(id, 0u) << "a failed open gives no id";
    return e;
}

TEST(LinkOpenCause, EachFailureTellsWhy) {
    Listener closed;
    ASSERT_TRUE(closed.valid());
    const uint16_t port = closed.port();
    closed.close();
    Pty pty;
    ASSERT_FALSE(pty.name.empty());
    struct Row {
        const char* what;
        linkSpec spec;
        qErr expected;
    } rows[] = {
        {"refused TCP port", tcpSpec(port), qErrConnection},
        {"TCP port 0", tcpSpec(0), qErrParam},
        {"no such serial port", serialSpec("/nonexistent/ttyKS0"), qErrNotFound},
        {"unsupported baud rate",
         [&] {
             linkSpec s = serialSpec(pty.name.c_str());
             s.link.serial.baudRate = 14400;
             return s;
         }(),
         qErrParam},
        {"no transport", linkSpec{}, qErrParam},
    };
    for (const Row& row : rows)
        EXPECT_EQ(openCause(row.spec), row.expected) << row.what;
    uint32_t id = 0;
    EXPECT_EQ(qLink_Open(nullptr, &id), qErrParam);
}

TEST(LinkOpenCause, ASerialPortLockedByAnotherProgramIsBusy) {
    Pty pty;
    ASSERT_FALSE(pty.name.empty());
    int other = open(pty.name.c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(other, 0);
    ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
    EXPECT_EQ(openCause(serialSpec(pty.name.c_str())), qErrBusy);
    close(other);
    EXPECT_EQ(openCause(serialSpec(pty.name.c_str())), qErrNone) << "free again once unlocked";
}

// Root opens anything, so the open is made by a child that has dropped to
// the unprivileged user 65534, on a port that only root may open.
TEST(LinkOpenCause, APortThisUserMayNotOpenIsAPermissionError) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root, to drop to another user in a child";
    Pty pty;
    ASSERT_FALSE(pty.name.empty());
    ASSERT_EQ(chown(pty.name.c_str(), 0, 0), 0);
    ASSERT_EQ(chmod(pty.name.c_str(), 0600), 0);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        if (setgid(65534) != 0 || setuid(65534) != 0)
            _exit(100);
        linkSpec spec = serialSpec(pty.name.c_str());
        uint32_t id = 0;
        _exit(static_cast<int>(qLink_Open(&spec, &id)));
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), static_cast<int>(qErrPermission));
}

// A stream made by the test: get hands out queued bytes (kGap: "nothing
// yet" once, which ends the reader's chunk there), write records what
// it was given and from which thread, and may be told to fail. It has no
// wait callback, so the input thread polls it.
constexpr int kGap = -1;

struct FakeStream {
    std::mutex lock;
    std::deque<int> in;
    Bytes written;
    std::set<pthread_t> writers;
    std::atomic<bool> failWrites{false};
    std::atomic<int> gets{0};

    void feed(const std::vector<int>& b) {
        std::lock_guard<std::mutex> hold(lock);
        in.insert(in.end(), b.begin(), b.end());
    }
    Bytes out() {
        std::lock_guard<std::mutex> hold(lock);
        return written;
    }
    static qErr get(uint8_t* byte, void* ref) {
        auto* f = static_cast<FakeStream*>(ref);
        f->gets++;
        std::lock_guard<std::mutex> hold(f->lock);
        if (f->in.empty())
            return qErrNotReady;
        const int next = f->in.front();
        f->in.pop_front();
        if (next == kGap)
            return qErrNotReady;
        *byte = static_cast<uint8_t>(next);
        return qErrNone;
    }
    static qErr write(const uint8_t* data, size_t n, void* ref) {
        auto* f = static_cast<FakeStream*>(ref);
        std::lock_guard<std::mutex> hold(f->lock);
        f->writers.insert(pthread_self());
        if (f->failWrites.load())
            return qErrIO;
        f->written.insert(f->written.end(), data, data + n);
        return qErrNone;
    }
    static qErr put(uint8_t byte, void* ref) { return write(&byte, 1, ref); }
};

class FakeLink : public ::testing::Test {
  protected:
    void SetUp() override {
        qStream* s =
            qStream_Create(FakeStream::get, FakeStream::put, FakeStream::write, nullptr, &fake_);
        ASSERT_NE(s, nullptr);
        id_ = qLink_Create(s);
        ASSERT_NE(id_, 0u);
        ASSERT_TRUE(kstest::WaitUntil([&] { return fake_.out().size() >= 3; }, 2000));
    }
    void TearDown() override {
        if (id_) {
            EXPECT_EQ(qLink_Destroy(&id_), qErrNone);
        }
    }
    bool statusWithin(int32_t status, int ms) {
        return kstest::WaitUntil([&] { return qLink_GetStatus(id_) == status; }, ms);
    }
    FakeStream fake_;
    uint32_t id_ = 0;
};

const Bytes kSyncRequest = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

bool endsWith(const Bytes& b, const Bytes& tail) {
    return b.size() >= tail.size() && std::equal(tail.begin(), tail.end(), b.end() - tail.size());
}

// An odd address byte makes the link ask for a sync answer. What had
// arrived before the request was sent (an old answer) must not count as the
// answer; the request leaves through the output thread, the stream's only
// writer; a fresh answer brings the link back.
TEST_F(FakeLink, SyncRequestGoesOutOnTheWriterAndStaleInputIsDropped) {
    fake_.feed({0x05, kGap, 0x04, 0x00, 0x04, 0x00});
    ASSERT_TRUE(kstest::WaitUntil([&] { return endsWith(fake_.out(), kSyncRequest); }, 2000));
    EXPECT_FALSE(statusWithin(qLinkStatusRunning, 300))
        << "an answer that came before the request realigned the link";
    fake_.feed({0x04, 0x00, 0x04, 0x00});
    EXPECT_TRUE(statusWithin(qLinkStatusRunning, 2000));
    EXPECT_EQ(fake_.writers.size(), 1u) << "the stream was written by more than one thread";
}

// A stream that cannot wait is polled with a back-off that doubles up to
// 2 ms: a few hundred looks in 300 ms at most, not thousands.
TEST_F(FakeLink, AStreamThatCannotWaitIsPolledWithABackOff) {
    const int before = fake_.gets.load();
    const double start = kstest::NowMs();
    usleep(300000);
    const double elapsed = kstest::NowMs() - start;
    const int polls = fake_.gets.load() - before;
    EXPECT_LT(polls, static_cast<int>(elapsed / 2) + 50) << polls << " polls in " << elapsed;
}

// A write that fails shows at once as an I/O error of the link, so that a
// caller waiting for a reply hears of it now and not after its time-out.
TEST_F(FakeLink, AFailedWriteStopsTheLinkAtOnce) {
    fake_.failWrites.store(true);
    const uint8_t data[] = {0x10};
    qPacket* p = qPacket_CreateWithData(4, 1, data);
    ASSERT_EQ(qLink_PutPacket(id_, p), qErrNone);
    EXPECT_EQ(qPacket_Destroy(&p), qErrNone);
    const double start = kstest::NowMs();
    EXPECT_TRUE(statusWithin(qLinkStatusIOError, 1000));
    EXPECT_LT(kstest::NowMs() - start, 500);
}

// More packets than the output queue holds, put at once: every one leaves,
// in order (the queue waits for room instead of dropping what it holds).
TEST(LinkOutputQueue, ABurstOfFortyPacketsAllArriveInOrder) {
    Listener listener;
    ASSERT_TRUE(listener.valid());
    uint32_t id = qLink_CreateTCPIP(linktest::loopbackAddress(), listener.port());
    ASSERT_NE(id, 0u);
    linktest::PeerEnd peer = listener.accept(2000);
    ASSERT_TRUE(peer.valid());
    ASSERT_EQ(peer.read(3, 2000), Bytes({0xAF, 0x01, 0x01}));
    Bytes expected;
    for (int i = 0; i < 40; i++) {
        const uint8_t data[] = {0x10, static_cast<uint8_t>(i)};
        qPacket* p = qPacket_CreateWithData(4, 2, data);
        EXPECT_EQ(qLink_PutPacket(id, p), qErrNone) << "packet " << i;
        EXPECT_EQ(qPacket_Destroy(&p), qErrNone);
        expected.insert(expected.end(), {0x04, 0x02, 0x10, static_cast<uint8_t>(i)});
    }
    EXPECT_EQ(peer.read(expected.size(), 5000), expected);
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
}

// A socket stream that reconnected by itself (the module reset its
// connection) must sleep in its wait again, not wake at once forever.
TEST(SocketStreamReconnect, WaitSleepsAgainAfterAReconnect) {
    Listener listener;
    ASSERT_TRUE(listener.valid());
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateSocket(linktest::loopbackAddress(), listener.port(), &s), qErrNone);
    linktest::PeerEnd first = listener.accept(2000);
    ASSERT_TRUE(first.valid());
    linger lg{1, 0};
    ASSERT_EQ(setsockopt(first.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
    first.close(); // a reset
    uint8_t buf[16];
    size_t got = 0;
    ASSERT_TRUE(kstest::WaitUntil(
        [&] {
            qErr e = qStream_ReadAvailable(s, buf, sizeof buf, &got);
            return e == qErrNotReady; // read again on the new connection
        },
        3000));
    linktest::PeerEnd second = listener.accept(2000);
    ASSERT_TRUE(second.valid()) << "the stream connected again";
    (void)qStream_WaitReadable(s, -1, 50); // the change is seen once, or not yet
    const double start = kstest::NowMs();
    EXPECT_EQ(qStream_WaitReadable(s, -1, 200), qErrTimeout);
    EXPECT_GE(kstest::NowMs() - start, 150) << "the wait returned at once: a busy loop";
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
}

// A loopback listener whose accept queue is full: with a backlog of 0, one
// connection nobody accepts fills it, and the kernel then drops every SYN,
// as an unreachable module's network does.
// Links are told apart by address: this one listens on 127.0.0.2, apart
// from the other listeners of the tests.
struct FullListener {
    FullListener() {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kAddress;
        socklen_t len = sizeof a;
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 ||
            listen(fd, 0) != 0 || getsockname(fd, reinterpret_cast<sockaddr*>(&a), &len) != 0)
            return;
        port = ntohs(a.sin_port);
    }
    ~FullListener() {
        for (int f : {filler, fd})
            if (f >= 0)
                close(f);
    }
    // A link to this listener, its connection accepted into *conn; 0 when
    // the link could not be made or its connection not accepted.
    uint32_t acceptedLink(linktest::PeerEnd* conn) {
        uint32_t id = port ? qLink_CreateTCPIP(kAddress, port) : 0;
        if (id)
            *conn = linktest::PeerEnd(accept(fd, nullptr, nullptr));
        if (id && !conn->valid())
            (void)qLink_Destroy(&id);
        return id;
    }
    // Queues the one connection that fills the accept queue.
    bool fill() {
        filler = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = kAddress;
        a.sin_port = htons(port);
        return filler >= 0 && connect(filler, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0;
    }
    const uint32_t kAddress = htonl(0x7F000002);
    int fd = -1;
    int filler = -1;
    uint16_t port = 0;
};

// A module that does not answer the connect holds up only its own create:
// another link is created and destroyed meanwhile at once, and the
// unanswered create gives up at its deadline with qErrTimeout.
TEST(LinkUnanswered, ACreateThatGetsNoAnswerHoldsUpNoOtherLink) {
    FullListener silent;
    ASSERT_NE(silent.port, 0);
    ASSERT_TRUE(silent.fill());
    std::atomic<int> cause{-1};
    std::atomic<double> took{0};
    std::thread stuck([&] {
        const double start = kstest::NowMs();
        uint32_t id = 0;
        linkSpec spec = tcpSpec(silent.port);
        spec.link.tcpip.hostAddress = silent.kAddress;
        cause = qLink_Open(&spec, &id);
        took = kstest::NowMs() - start;
        if (id) {
            EXPECT_EQ(qLink_Destroy(&id), qErrNone);
        }
    });
    usleep(200000); // the create above is waiting for its connect now
    Listener other;
    ASSERT_TRUE(other.valid());
    const double start = kstest::NowMs();
    uint32_t id = qLink_CreateTCPIP(linktest::loopbackAddress(), other.port());
    EXPECT_NE(id, 0u);
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
    EXPECT_LT(kstest::NowMs() - start, 1000) << "another link's create and destroy waited";
    stuck.join();
    EXPECT_EQ(cause.load(), static_cast<int>(qErrTimeout));
    EXPECT_GT(took.load(), 4000);
    EXPECT_LT(took.load(), 8000);
}

// A link whose connection was reset reconnects without blocking: while the
// new connect goes unanswered, destroying the link returns at once.
TEST(LinkUnanswered, DestroyReturnsPromptlyWhileAReconnectGoesUnanswered) {
    FullListener module;
    linktest::PeerEnd conn;
    uint32_t id = module.acceptedLink(&conn);
    ASSERT_NE(id, 0u);
    ASSERT_EQ(conn.read(3, 2000), Bytes({0xAF, 0x01, 0x01}));
    ASSERT_TRUE(module.fill());
    linger lg{1, 0};
    ASSERT_EQ(setsockopt(conn.fd(), SOL_SOCKET, SO_LINGER, &lg, sizeof lg), 0);
    conn.close(); // a reset: the link connects again, and gets no answer
    usleep(300000);
    const double start = kstest::NowMs();
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
    EXPECT_LT(kstest::NowMs() - start, 500) << "the stop waited for the connect";
}

// Opens that get no answer give up at once when told to, long before the
// connect's 5 s deadline: a reset's reopen when the link's last user
// destroys it, and a create when opens are interrupted (Ctrl-C). The bound
// below leaves room for a loaded host and stays well under the deadline.
constexpr double kPromptMs = 2000;

TEST(LinkUnanswered, OpensWithoutAnswerGiveUpWhenStopped) {
    FullListener module;
    linktest::PeerEnd conn;
    uint32_t id = module.acceptedLink(&conn);
    ASSERT_NE(id, 0u);
    ASSERT_TRUE(module.fill()); // the reset's connect goes unanswered
    std::atomic<int> reset{-1};
    std::thread resetter([&] { reset = qLink_Reset(id); });
    usleep(300000); // the reset is connecting again now
    double start = kstest::NowMs();
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
    resetter.join();
    EXPECT_LT(kstest::NowMs() - start, kPromptMs) << "the destroy waited for the reconnect";
    EXPECT_EQ(reset.load(), static_cast<int>(qErrCancel));

    std::atomic<int> cause{-1};
    std::thread creator([&] {
        uint32_t stuck = 0;
        linkSpec spec = tcpSpec(module.port);
        spec.link.tcpip.hostAddress = module.kAddress;
        cause = qLink_Open(&spec, &stuck);
        if (stuck)
            (void)qLink_Destroy(&stuck);
    });
    usleep(300000); // the create is connecting now
    start = kstest::NowMs();
    qStream_InterruptOpens();
    creator.join();
    EXPECT_LT(kstest::NowMs() - start, kPromptMs) << "the interrupt left the connect waiting";
    EXPECT_EQ(cause.load(), static_cast<int>(qErrCancel));
    qStream_ResumeOpens();
    Listener other;
    ASSERT_TRUE(other.valid());
    uint32_t next = qLink_CreateTCPIP(linktest::loopbackAddress(), other.port());
    EXPECT_NE(next, 0u) << "opens stay interrupted after the resume";
    EXPECT_EQ(qLink_Destroy(&next), qErrNone);
}

} // namespace
