// How the link's input thread waits: it sleeps on the stream while nothing
// arrives (a handful of reads in an idle spell, not thousands), takes what
// arrives in one read, wakes at once for a stop even when the stream's wait
// would never end by itself, and never spins on a stream that says "readable"
// and then has nothing. Streams that cannot wait are polled and still work.
#include <errno.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <future>
#include <string>

#include "bytes.h"
#include "link_peer.h"
#include "qLink.h"
#include "wait.h"

using kstest::NowMs;
using linktest::Bytes;

namespace {

const Bytes kLinkStart = {0xAF, 0x01, 0x01};
const Bytes kLinkStop = {0xAF, 0x01, 0x00};

// The link's end of a socket pair, counting what the link asks of it.
struct CountingStream {
    enum Kind {
        kWaits,       // read and wait (the wait ignores its time-out)
        kPolled,      // get only: the link polls it
        kAlwaysReady, // the wait always says readable, reads find nothing
    };
    int fd = -1;
    Kind kind = kWaits;
    std::atomic<int> reads{0};
    std::atomic<int> waits{0};
    std::atomic<int> wakeFdSeen{-2};
};

qErr countingGet(uint8_t* byte, void* ref) {
    auto* s = static_cast<CountingStream*>(ref);
    s->reads++;
    ssize_t n = recv(s->fd, byte, 1, MSG_DONTWAIT);
    if (n == 1)
        return qErrNone;
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? qErrNotReady : qErrIO;
}

qErr countingRead(uint8_t* dst, size_t max, size_t* got, void* ref) {
    auto* s = static_cast<CountingStream*>(ref);
    s->reads++;
    *got = 0;
    if (s->kind == CountingStream::kAlwaysReady)
        return qErrNotReady;
    ssize_t n = recv(s->fd, dst, max, MSG_DONTWAIT);
    if (n > 0) {
        *got = static_cast<size_t>(n);
        return qErrNone;
    }
    return n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) ? qErrNotReady : qErrIO;
}

// Never ends on its own: only bytes or the wake descriptor end it.
qErr countingWait(int wakeFd, unsigned long, void* ref) {
    auto* s = static_cast<CountingStream*>(ref);
    s->waits++;
    s->wakeFdSeen.store(wakeFd);
    if (s->kind == CountingStream::kAlwaysReady)
        return qErrNone;
    pollfd p[2] = {{wakeFd, POLLIN, 0}, {s->fd, POLLIN, 0}};
    if (poll(p, 2, -1) < 0)
        return qErrIO;
    return p[0].revents ? qErrCancel : qErrNone;
}

qErr countingWrite(const uint8_t* data, size_t len, void* ref) {
    auto* s = static_cast<CountingStream*>(ref);
    return send(s->fd, data, len, MSG_NOSIGNAL) == static_cast<ssize_t>(len) ? qErrNone : qErrIO;
}

qErr countingPut(uint8_t byte, void* ref) {
    return countingWrite(&byte, 1, ref);
}

qErr countingDelete(void* ref) {
    auto* s = static_cast<CountingStream*>(ref);
    close(s->fd);
    s->fd = -1;
    return qErrNone;
}

struct LinkOver {
    explicit LinkOver(CountingStream::Kind kind) {
        stream.kind = kind;
        EXPECT_TRUE(linktest::socketPair(&stream.fd, &peer));
        qStream* s =
            qStream_Create(countingGet, countingPut, countingWrite, countingDelete, &stream);
        if (kind != CountingStream::kPolled) {
            EXPECT_EQ(qErrNone, qStream_SetReceive(s, countingRead, countingWait));
        }
        id = qLink_Create(s);
        EXPECT_NE(id, 0u);
        EXPECT_BYTES(kLinkStart, peer.read(3, 2000));
    }
    // Destroys the link from another thread; false when it has not returned
    // within 10 s (it would wait for ever without the wake-up).
    bool destroyReturns() {
        auto done = std::async(std::launch::async, [this] { return qLink_Destroy(&id); });
        if (done.wait_for(std::chrono::seconds(10)) != std::future_status::ready)
            return false;
        return done.get() == qErrNone;
    }
    CountingStream stream;
    linktest::PeerEnd peer;
    uint32_t id = 0;
};

// An idle spell of 300 ms.
void idle() {
    double end = NowMs() + 300;
    while (NowMs() < end)
        usleep(10000);
}

TEST(LinkWait, IdleLinkSleepsOnItsStreamAndTheStopWakesIt) {
    LinkOver l(CountingStream::kWaits);
    const int reads0 = l.stream.reads.load();
    idle();
    EXPECT_LE(l.stream.reads.load() - reads0, 2) << "an idle link does not poll";
    EXPECT_GE(l.stream.wakeFdSeen.load(), 0) << "the wait watches the link's wake descriptor";

    // A packet in pieces is still one packet, and what arrives together is
    // taken in one read.
    const int reads1 = l.stream.reads.load();
    ASSERT_TRUE(l.peer.send({0x04, 0x03, 0x11}));
    idle();
    ASSERT_TRUE(l.peer.send({0x22, 0x33, 0x06, 0x01, 0x44}));
    qPacket* p = qLink_AwaitPacket(l.id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 0x04);
    EXPECT_EQ(p->length, 3);
    (void)qPacket_Destroy(&p);
    p = qLink_AwaitPacket(l.id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 0x06);
    (void)qPacket_Destroy(&p);
    EXPECT_LE(l.stream.reads.load() - reads1, 6);

    EXPECT_TRUE(l.destroyReturns()) << "the stop must wake a thread asleep on its stream";
    EXPECT_BYTES(kLinkStop, l.peer.drain(200));
}

TEST(LinkWait, StreamThatCannotWaitIsPolledAndStillStops) {
    LinkOver l(CountingStream::kPolled);
    ASSERT_TRUE(l.peer.send({0x04, 0x02, 0x10, 0x20}));
    qPacket* p = qLink_AwaitPacket(l.id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->data[1], 0x20);
    (void)qPacket_Destroy(&p);
    EXPECT_EQ(l.stream.waits.load(), 0);
    EXPECT_TRUE(l.destroyReturns());
    EXPECT_BYTES(kLinkStop, l.peer.drain(200));
}

TEST(LinkWait, WaitThatSaysReadableWithNothingToReadDoesNotSpin) {
    LinkOver l(CountingStream::kAlwaysReady);
    const int reads0 = l.stream.reads.load();
    idle();
    // A spinning thread reads hundreds of thousands of times in 300 ms.
    EXPECT_LE(l.stream.reads.load() - reads0, 300);
    EXPECT_EQ(qLink_GetStatus(l.id), qLinkStatusRunning);
    EXPECT_TRUE(l.destroyReturns());
}

} // namespace
