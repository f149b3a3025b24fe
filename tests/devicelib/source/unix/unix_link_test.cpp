// The link engine over a socket pair or loopback TCP, with the test playing
// the module: exact bytes of the link start and stop packets, the sync
// exchange, heartbeat replies, the user packet filter, output pacing, shared
// links, reset and the early return of qLink_AwaitFirst.
#include <errno.h>
#include <gtest/gtest.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <thread>
#include <vector>

#include "bytes.h"
#include "link_peer.h"
#include "qLink.h"
#include "qPacketDebug.h"
#include "qPacketFifo.h"
#include "wait.h"

using linktest::Bytes;
using linktest::PeerEnd;

namespace {

const Bytes kLinkStart = {0xAF, 0x01, 0x01};
const Bytes kLinkStop = {0xAF, 0x01, 0x00};
const Bytes kSyncRequest = {0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0, 0xAD, 0};

// The link's end of a socket pair as a stream. While failReads is set, get
// reports an I/O error instead of reading.
struct PairStream {
    int fd;
    std::atomic<bool> failReads{false};
};

qErr pairGet(uint8_t* byte, void* ref) {
    PairStream* s = static_cast<PairStream*>(ref);
    if (s->failReads.load())
        return qErrIO;
    ssize_t n = recv(s->fd, byte, 1, 0);
    if (n == 1)
        return qErrNone;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        return qErrNotReady;
    return n == 0 ? qErrEOF : qErrIO;
}

qErr pairWrite(const uint8_t* data, size_t len, void* ref) {
    PairStream* s = static_cast<PairStream*>(ref);
    size_t done = 0;
    for (int tries = 0; done < len && tries < 10000; tries++) {
        ssize_t n = send(s->fd, data + done, len - done, MSG_NOSIGNAL);
        if (n > 0)
            done += static_cast<size_t>(n);
        else if (n < 0 && errno != EAGAIN && errno != EINTR)
            return qErrIO;
    }
    return done == len ? qErrNone : qErrBusy;
}

qErr pairPut(uint8_t byte, void* ref) {
    return pairWrite(&byte, 1, ref);
}

qErr pairDelete(void* ref) {
    PairStream* s = static_cast<PairStream*>(ref);
    close(s->fd);
    delete s;
    return qErrNone;
}

Bytes times(const Bytes& b, int n) {
    Bytes out;
    for (int i = 0; i < n; i++)
        out.insert(out.end(), b.begin(), b.end());
    return out;
}

Bytes packetBytes(const qPacket* p) {
    Bytes b;
    b.reserve(2 + p->length);
    b.push_back(p->address);
    b.push_back(p->length);
    b.insert(b.end(), p->data, p->data + p->length);
    return b;
}

qPacket* makePacket(const Bytes& wire) {
    return qPacket_CreateWithData(wire[0], wire[1], wire.data() + 2);
}

// Waits (bounded) until the link reports the status.
bool awaitStatus(uint32_t id, int32_t status, int timeoutMs = 1000) {
    return kstest::WaitUntil([&] { return qLink_GetStatus(id) == status; }, timeoutMs, 1);
}

// Every received packet still queued, oldest first.
std::vector<Bytes> takeAll(uint32_t id) {
    std::vector<Bytes> out;
    for (int i = 0; i < 64; i++) {
        qPacket* p = qLink_GetPacket(id);
        if (!p)
            break;
        out.push_back(packetBytes(p));
        (void)qPacket_Destroy(&p);
    }
    return out;
}

class LinkOverPair : public ::testing::Test {
  protected:
    void SetUp() override {
        int fd = -1;
        ASSERT_TRUE(linktest::socketPair(&fd, &peer_));
        pair_ = new PairStream{fd};
        qStream* stream = qStream_Create(pairGet, pairPut, pairWrite, pairDelete, pair_);
        ASSERT_NE(stream, nullptr);
        id_ = qLink_Create(stream);
        ASSERT_NE(id_, 0u);
        Bytes first = peer_.read(3, 1000);
        ASSERT_EQ(first, kLinkStart) << "first bytes: " << kstest::HexDump(first);
        ASSERT_EQ(qLink_GetStatus(id_), qLinkStatusRunning);
    }
    void TearDown() override {
        if (id_) {
            EXPECT_EQ(qLink_Destroy(&id_), qErrNone);
        }
    }
    // Sends bytes as the module and returns what the host wrote back until
    // it went quiet.
    Bytes exchange(const Bytes& in, int quietMs = 40) {
        EXPECT_TRUE(peer_.send(in));
        return peer_.drain(quietMs);
    }

    PeerEnd peer_;
    PairStream* pair_ = nullptr; // owned by the stream
    uint32_t id_ = 0;
};

TEST_F(LinkOverPair, SendsQueuedPacketsAndEndsWithTheStopPacket) {
    qPacket* p = makePacket({0x04, 0x03, 0xAA, 0xBB, 0xCC});
    ASSERT_EQ(qLink_PutPacket(id_, p), qErrNone);
    (void)qPacket_Destroy(&p);
    Bytes sent = peer_.read(5, 1000);
    EXPECT_BYTES(Bytes({0x04, 0x03, 0xAA, 0xBB, 0xCC}), sent);

    ASSERT_EQ(qLink_Destroy(&id_), qErrNone);
    EXPECT_EQ(id_, 0u);
    Bytes last = peer_.read(3, 1000);
    EXPECT_BYTES(kLinkStop, last);
    EXPECT_TRUE(peer_.closedWithin(1000)) << "the stream is closed with the last user";
}

TEST_F(LinkOverPair, QueuesEachCompletePacketWhole) {
    struct Case {
        const char* what;
        Bytes in;
        std::vector<Bytes> queued;
    };
    Bytes longest = {0x06, 28};
    for (uint8_t i = 0; i < 28; i++)
        longest.push_back(i);
    const std::vector<Case> cases = {
        {"two data bytes", {0x04, 0x02, 0x10, 0x20}, {{0x04, 0x02, 0x10, 0x20}}},
        {"no data", {0x08, 0x00}, {{0x08, 0x00}}},
        {"28 data bytes", longest, {longest}},
        {"back to back",
         {0x04, 0x01, 0x55, 0xFE, 0x01, 0x66},
         {{0x04, 0x01, 0x55}, {0xFE, 0x01, 0x66}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Bytes reply = exchange(c.in);
        EXPECT_TRUE(reply.empty()) << "host answered " << kstest::HexDump(reply);
        std::vector<Bytes> got = takeAll(id_);
        ASSERT_EQ(got.size(), c.queued.size());
        for (size_t i = 0; i < got.size(); i++)
            EXPECT_BYTES(c.queued[i], got[i]);
        EXPECT_EQ(qLink_GetStatus(id_), qLinkStatusRunning);
    }
}

// A byte that cannot stand where it stands drops alignment: the host sends
// the sync request and waits for the module's answer A 00 A 00.
TEST_F(LinkOverPair, SyncRequestAndAnswersFollowTheRecogniser) {
    struct Step {
        Bytes in;
        int syncRequests; // sync requests the host sends in answer
        int32_t status;
    };
    struct Case {
        const char* what;
        std::vector<Step> steps;
    };
    const int32_t syncing = qLinkStatusSyncing, running = qLinkStatusRunning;
    const std::vector<Case> cases = {
        {"odd address, good answer",
         {{{0x05}, 1, syncing}, {{0x04, 0x00, 0x04, 0x00}, 0, running}}},
        {"zero address", {{{0x00}, 1, syncing}, {{0x02, 0x00, 0x02, 0x00}, 0, running}}},
        {"length above 28", {{{0x04, 0x1D}, 1, syncing}, {{0x04, 0x00, 0x04, 0x00}, 0, running}}},
        {"answer with two addresses: the next byte asks again",
         {{{0x05}, 1, syncing},
          {{0x04, 0x00, 0x06}, 0, syncing},
          {{0x00}, 1, syncing},
          {{0x04, 0x00, 0x04, 0x00}, 0, running}}},
        {"odd answer address",
         {{{0x05}, 1, syncing},
          {{0x07}, 0, syncing},
          {{0x08}, 1, syncing},
          {{0x08, 0x00, 0x08, 0x00}, 0, running}}},
        {"non-zero after the address",
         {{{0x05}, 1, syncing},
          {{0x04, 0x01}, 0, syncing},
          {{0x33}, 1, syncing},
          {{0x04, 0x00, 0x04, 0x00}, 0, running}}},
        {"last byte not zero",
         {{{0x05}, 1, syncing},
          {{0x04, 0x00, 0x04, 0x04}, 0, syncing},
          {{0x04}, 1, syncing},
          {{0x0A, 0x00, 0x0A, 0x00}, 0, running}}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        for (size_t i = 0; i < c.steps.size(); i++) {
            const Step& s = c.steps[i];
            SCOPED_TRACE("step " + std::to_string(i) + ": " + kstest::HexDump(s.in));
            Bytes reply = exchange(s.in);
            EXPECT_BYTES(times(kSyncRequest, s.syncRequests), reply);
            EXPECT_EQ(qLink_GetStatus(id_), s.status);
        }
        // Aligned again: the next packet arrives whole.
        exchange({0x04, 0x02, 0x10, 0x20});
        std::vector<Bytes> got = takeAll(id_);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_BYTES(Bytes({0x04, 0x02, 0x10, 0x20}), got[0]);
    }
}

TEST_F(LinkOverPair, HeartbeatsAreAnsweredAndNeverQueued) {
    struct Case {
        Bytes in;
        Bytes reply; // empty: not a heartbeat
        bool queued;
    };
    const std::vector<Case> cases = {
        {{0x06, 0x02, 0x00, 0x01}, {0x06, 0x02, 0x00, 0x03}, false},
        {{0x06, 0x02, 0x00, 0x00}, {0x06, 0x02, 0x00, 0x02}, false},
        {{0x0A, 0x02, 0x00, 0x05}, {0x0A, 0x02, 0x00, 0x07}, false},
        {{0x06, 0x03, 0x00, 0x01, 0x02}, {}, true}, // command 0 but three data bytes
        {{0x06, 0x02, 0x01, 0x01}, {}, true},       // another command
        {{0x06, 0x01, 0x00}, {}, true},             // no heartbeat byte
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(kstest::HexDump(c.in));
        Bytes reply = exchange(c.in);
        EXPECT_BYTES(c.reply, reply);
        std::vector<Bytes> got = takeAll(id_);
        EXPECT_EQ(got.size(), c.queued ? 1u : 0u);
    }
}

// What a user filter saw; filled on the input thread, read by the test.
struct FilterLog {
    explicit FilterLog(uint8_t consume) : consumeAddress(consume) {}
    uint8_t consumeAddress; // 0: consume everything
    std::mutex lock;
    std::vector<Bytes> seen;
    std::vector<Bytes> copy() {
        std::lock_guard<std::mutex> hold(lock);
        return seen;
    }
};

bool userFilter(const qPacket* p, void* ref) {
    FilterLog* log = static_cast<FilterLog*>(ref);
    std::lock_guard<std::mutex> hold(log->lock);
    log->seen.push_back(packetBytes(p));
    return log->consumeAddress == 0 || p->address == log->consumeAddress;
}

TEST_F(LinkOverPair, UserFilterSeesEveryPacketFirstAndMayConsumeIt) {
    FilterLog all(0);
    ASSERT_EQ(qLink_InstallUserPacketFilter(id_, userFilter, &all), qErrNone);
    EXPECT_EQ(exchange({0x06, 0x02, 0x00, 0x01}), Bytes())
        << "a consumed heartbeat is not answered";
    EXPECT_TRUE(takeAll(id_).empty());
    ASSERT_EQ(all.copy().size(), 1u);
    EXPECT_EQ(all.copy()[0], Bytes({0x06, 0x02, 0x00, 0x01}));

    FilterLog some(0x08);
    ASSERT_EQ(qLink_InstallUserPacketFilter(id_, userFilter, &some), qErrNone);
    exchange({0x08, 0x01, 0x55, 0x04, 0x01, 0x66});
    std::vector<Bytes> got = takeAll(id_);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Bytes({0x04, 0x01, 0x66}));
    EXPECT_EQ(some.copy().size(), 2u) << "the filter sees the packets it leaves as well";
    EXPECT_EQ(all.copy().size(), 1u) << "a replaced filter is not called again";

    ASSERT_EQ(qLink_InstallUserPacketFilter(id_, nullptr, nullptr), qErrNone);
    EXPECT_EQ(exchange({0x08, 0x02, 0x00, 0x00}), Bytes({0x08, 0x02, 0x00, 0x02}));
    exchange({0x08, 0x01, 0x55});
    EXPECT_EQ(takeAll(id_).size(), 1u);
    EXPECT_EQ(some.copy().size(), 2u);
}

// A filter that answers on its own: it queues an echo of each packet from 8
// on its link while a new filter is being installed from this thread.
bool answeringFilter(const qPacket* p, void* ref) {
    if (p->address != 8)
        return false;
    usleep(2000); // widen the window in which an install may be waiting
    EXPECT_EQ(qErrNone, qLink_PutPacket(*static_cast<const uint32_t*>(ref), p));
    return true;
}

TEST_F(LinkOverPair, FilterMayQueuePacketsWhileFiltersAreReplaced) {
    ASSERT_EQ(qLink_InstallUserPacketFilter(id_, answeringFilter, &id_), qErrNone);
    std::atomic<bool> done{false};
    std::atomic<int> refused{0};
    std::thread installer([&] {
        for (int i = 0; i < 5000 && !done.load(); i++) {
            if (qLink_InstallUserPacketFilter(id_, answeringFilter, &id_) != qErrNone)
                refused++;
            usleep(100);
        }
    });
    Bytes burst;
    for (int i = 0; i < 10; i++)
        burst.insert(burst.end(), {0x08, 0x01, static_cast<uint8_t>(i)});
    ASSERT_TRUE(peer_.send(burst));
    Bytes echoed = peer_.read(burst.size(), 3000);
    done.store(true);
    installer.join();
    EXPECT_BYTES(burst, echoed);
    EXPECT_EQ(refused.load(), 0);
    ASSERT_EQ(qLink_InstallUserPacketFilter(id_, nullptr, nullptr), qErrNone);
}

TEST_F(LinkOverPair, SendsAtMostOnePacketPerMillisecond) {
    const int count = 15;
    for (int i = 0; i < count; i++) {
        qPacket* p = makePacket({0x04, 0x01, static_cast<uint8_t>(i)});
        ASSERT_EQ(qLink_PutPacket(id_, p), qErrNone);
        (void)qPacket_Destroy(&p);
    }
    Bytes first = peer_.read(3, 1000);
    double start = kstest::NowMs();
    Bytes rest = peer_.read(3 * (count - 1), 2000);
    double elapsed = kstest::NowMs() - start;
    ASSERT_EQ(first, Bytes({0x04, 0x01, 0x00}));
    ASSERT_EQ(rest.size(), 3u * (count - 1));
    for (int i = 1; i < count; i++)
        EXPECT_EQ(rest[3 * (i - 1) + 2], i) << "packets leave in the order queued";
    EXPECT_GE(elapsed, (count - 1) * 1.0 - 0.5) << "the output thread pauses 1 ms per packet";
}

TEST_F(LinkOverPair, DrainRemovesOnlyWhatTheFilterAccepts) {
    exchange({0x04, 0x01, 0x01, 0x06, 0x01, 0x02, 0x04, 0x01, 0x03});
    auto fromFour = [](const qPacket* p, const void*) { return p->address == 4; };
    EXPECT_EQ(qLink_DrainPackets(id_, fromFour, nullptr), 2u);
    std::vector<Bytes> got = takeAll(id_);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0], Bytes({0x06, 0x01, 0x02}));
}

bool fromAddress(const qPacket* p, const void* ref) {
    return p->address == *static_cast<const uint8_t*>(ref);
}

TEST_F(LinkOverPair, AwaitFirstWaitsOnlyWhileTheLinkRuns) {
    const uint8_t six = 6;
    // A matching packet that arrives later, behind one that does not match.
    // The module sends once this thread is asleep in the wait.
    const pid_t waiter = kstest::ThreadId();
    std::atomic<bool> waited{false};
    std::thread module([&] {
        waited = kstest::WaitUntilBlocked(waiter, 10000);
        peer_.send({0x04, 0x01, 0x01, 0x06, 0x01, 0x02});
    });
    qPacket* p = qLink_AwaitFirst(id_, fromAddress, &six, 20000);
    module.join();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(packetBytes(p), Bytes({0x06, 0x01, 0x02}));
    EXPECT_TRUE(waited.load()) << "the packets came before the wait began";
    (void)qPacket_Destroy(&p);
    EXPECT_EQ(takeAll(id_).size(), 1u) << "the packet from 4 stays queued";

    // Nothing comes: the whole time-out passes.
    // (Upper limits here are far above the time-outs they stand for: they
    // only tell "returned at once" from "waited the whole time-out", also
    // under TSan on a loaded machine.)
    double start = kstest::NowMs();
    EXPECT_EQ(qLink_AwaitFirst(id_, fromAddress, &six, 300), nullptr);
    double elapsed = kstest::NowMs() - start;
    EXPECT_GE(elapsed, 290);
    EXPECT_LT(elapsed, 10000);

    // Losing alignment while waiting ends the wait at once.
    waited = false;
    std::thread breaker([&] {
        waited = kstest::WaitUntilBlocked(waiter, 10000);
        peer_.send({0x05});
    });
    start = kstest::NowMs();
    EXPECT_EQ(qLink_AwaitFirst(id_, fromAddress, &six, 60000), nullptr);
    elapsed = kstest::NowMs() - start;
    breaker.join();
    EXPECT_TRUE(waited.load());
    EXPECT_LT(elapsed, 30000);
    ASSERT_EQ(qLink_GetStatus(id_), qLinkStatusSyncing);

    // Already syncing: null without waiting, even with a matching packet there.
    start = kstest::NowMs();
    EXPECT_EQ(qLink_AwaitFirst(id_, fromAddress, &six, 60000), nullptr);
    EXPECT_LT(kstest::NowMs() - start, 30000);
    EXPECT_EQ(qLink_AwaitFirst(0xFFFFFFF0u, fromAddress, &six, 1000), nullptr);
}

TEST_F(LinkOverPair, FailedReadsReportStatusSixUntilTheNextSync) {
    pair_->failReads.store(true);
    EXPECT_TRUE(awaitStatus(id_, qLinkStatusIOError));
    pair_->failReads.store(false);
    exchange({0x04, 0x02, 0x10, 0x20}, 250);
    EXPECT_EQ(takeAll(id_).size(), 1u) << "reads go on after a failure";
    EXPECT_EQ(qLink_GetStatus(id_), qLinkStatusIOError);
    EXPECT_EQ(exchange({0x05}), kSyncRequest);
    exchange({0x04, 0x00, 0x04, 0x00});
    EXPECT_EQ(qLink_GetStatus(id_), qLinkStatusRunning);
}

TEST_F(LinkOverPair, ResetOfAStreamLinkLeavesItRunningWithoutAStream) {
    EXPECT_EQ(qLink_Reset(id_), qErrParam) << "a stream handed in cannot be re-made";
    EXPECT_TRUE(peer_.closedWithin(1000));
    EXPECT_TRUE(awaitStatus(id_, qLinkStatusIOError));
    const uint8_t four = 4;
    EXPECT_EQ(qLink_AwaitFirst(id_, fromAddress, &four, 500), nullptr);
}

struct LogRecord {
    int32_t type;
    Bytes data;
    bool operator==(const LogRecord& o) const { return type == o.type && data == o.data; }
};

std::vector<LogRecord> readLog(uint32_t id) {
    std::vector<LogRecord> out;
    for (int i = 0; i < 100; i++) {
        int32_t type = 0;
        uint8_t data[255];
        uint32_t length = sizeof data;
        if (qLink_PacketDebug_Read(id, &type, &length, data) != qErrNone)
            break;
        out.push_back({type, Bytes(data, data + length)});
    }
    return out;
}

// Reads the log until it holds n records besides the link start packet,
// which the output thread records (or not: it may already be past it when
// the log is enabled) shortly after it left; at most ms.
std::vector<LogRecord> readLogUntil(uint32_t id, size_t n, int ms) {
    std::vector<LogRecord> got;
    kstest::WaitUntil(
        [&] {
            for (const LogRecord& r : readLog(id))
                if (!(r.type == qPACKETLOG_SENT && r.data == kLinkStart))
                    got.push_back(r);
            return got.size() >= n;
        },
        ms);
    return got;
}

std::string dump(const std::vector<LogRecord>& records) {
    std::string s;
    for (const LogRecord& r : records)
        s += std::to_string(r.type) + ": " + kstest::HexDump(r.data) + "; ";
    return s;
}

TEST_F(LinkOverPair, PacketLogRecordsBothDirectionsWhileEnabled) {
    int32_t type;
    uint32_t length = 8;
    uint8_t data[8];
    EXPECT_EQ(qLink_PacketDebug_Read(id_, &type, &length, data), qErrNotReady);
    ASSERT_EQ(qLink_PacketDebug_Enable(id_), qErrNone);
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(id_, 1024), qErrBusy);

    exchange({0x04, 0x02, 0x10, 0x20});
    EXPECT_EQ(exchange({0x06, 0x02, 0x00, 0x01}), Bytes({0x06, 0x02, 0x00, 0x03}));
    qPacket* p = makePacket({0x08, 0x00});
    ASSERT_EQ(qLink_PutPacket(id_, p), qErrNone);
    (void)qPacket_Destroy(&p);
    EXPECT_EQ(peer_.read(2, 1000), Bytes({0x08, 0x00}));

    const std::vector<LogRecord> expected = {
        {qPACKETLOG_RECEIVED, {0x04, 0x02, 0x10, 0x20}},
        {qPACKETLOG_RECEIVED, {0x06, 0x02, 0x00, 0x01}},
        {qPACKETLOG_SENT, {0x06, 0x02, 0x00, 0x03}},
        {qPACKETLOG_SENT, {0x08, 0x00}},
    };
    // The last one is recorded after the pause that follows its write.
    std::vector<LogRecord> got = readLogUntil(id_, expected.size(), 5000);
    EXPECT_EQ(got, expected) << dump(got);
    EXPECT_EQ(qLink_PacketDebug_Read(id_, &type, &length, data), qErrNotFound);

    // Disabled: traffic goes unrecorded, but the log stays readable.
    exchange({0x04, 0x01, 0x01});
    ASSERT_EQ(qLink_PacketDebug_Disable(id_), qErrNone);
    exchange({0x04, 0x01, 0x02});
    got = readLog(id_);
    EXPECT_EQ(got, std::vector<LogRecord>({{qPACKETLOG_RECEIVED, {0x04, 0x01, 0x01}}}))
        << dump(got);
}

TEST(LinkCalls, RefuseUnknownIdsAndBadArguments) {
    uint32_t unknown = 0xFFFFFFF0u;
    EXPECT_EQ(qLink_GetStatus(0), qLinkStatusNoStream);
    EXPECT_EQ(qLink_GetStatus(unknown), qLinkStatusNoStream);
    EXPECT_EQ(qLink_Create(nullptr), 0u);
    EXPECT_EQ(qLink_CreateSerial(0x1234, nullptr, 115200), 0u);
    EXPECT_EQ(qLink_Destroy(nullptr), qErrParam);
    EXPECT_EQ(qLink_Destroy(&unknown), qErrParam);
    EXPECT_EQ(unknown, 0u) << "destroy clears the caller's id";
    unknown = 0xFFFFFFF0u;
    qPacket* p = makePacket({0x04, 0x00});
    EXPECT_EQ(qLink_PutPacket(unknown, p), qErrParam);
    (void)qPacket_Destroy(&p);
    EXPECT_EQ(qLink_GetPacket(unknown), nullptr);
    EXPECT_EQ(qLink_AwaitPacket(unknown, 10), nullptr);
    EXPECT_EQ(qLink_GetFirst(unknown, fromAddress, nullptr), nullptr);
    EXPECT_EQ(qLink_DrainPackets(unknown, fromAddress, nullptr), 0u);
    EXPECT_EQ(qLink_InstallUserPacketFilter(unknown, userFilter, nullptr), qErrParam);
    EXPECT_EQ(qLink_Reset(unknown), qErrParam);
}

TEST(LinkCalls, OutputFifoRefusesAnInvalidPacket) {
    int fd = -1;
    PeerEnd peer;
    ASSERT_TRUE(linktest::socketPair(&fd, &peer));
    uint32_t id =
        qLink_Create(qStream_Create(pairGet, pairPut, pairWrite, pairDelete, new PairStream{fd}));
    ASSERT_NE(id, 0u);
    qPacket broken = {};
    EXPECT_EQ(qLink_PutPacket(id, &broken), qErrParam);
    EXPECT_EQ(qLink_PutPacket(id, nullptr), qErrParam);
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
}

} // namespace
