#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <ctime>
#include <thread>
#include <vector>

#include "qPacketFifo.h"
#include "unix_packetfifo_internal.h"
#include "wait.h"

namespace {

using kstest::Clock;
using kstest::MsSince;
using kstest::ThreadId;
using kstest::WaitUntilBlocked;

// A packet from address whose first data byte is tag.
qPacket* make(uint8_t address, uint8_t tag) {
    const uint8_t data[] = {tag, 0x01};
    return qPacket_CreateWithData(address, sizeof data, data);
}

qErr put(unsigned long id, uint8_t address, uint8_t tag) {
    qPacket* p = make(address, tag);
    qErr e = qPacketFifo_Put(id, p);
    (void)qPacket_Destroy(&p);
    return e;
}

// Takes a packet from the queue and returns "address:tag", or "none".
std::string describe(qPacket* p) {
    if (p == nullptr) {
        return "none";
    }
    std::string s = std::to_string(p->address) + ":" + std::to_string(p->data[0]);
    (void)qPacket_Destroy(&p);
    return s;
}

bool fromAddress(const qPacket* p, const void* ref) {
    return p->address == *static_cast<const uint8_t*>(ref);
}

struct FifoTest : ::testing::Test {
    void SetUp() override {
        id = qPacketFifo_Create();
        ASSERT_NE(id, 0u);
    }
    void TearDown() override {
        if (id != 0) {
            EXPECT_EQ(qPacketFifo_Destroy(&id), qErrNone);
        }
    }
    unsigned long id = 0;
};

TEST(FifoDeadline, CarriesNanosecondsIntoSeconds) {
    struct Row {
        struct timespec now;
        unsigned long ms;
        struct timespec expected;
    };
    const Row rows[] = {
        {{5, 0}, 0, {5, 0}},
        {{5, 0}, 1500, {6, 500000000}},
        {{5, 500000000}, 500, {6, 0}},
        {{5, 500000000}, 1500, {7, 0}},
        {{5, 999999999}, 1, {6, 999999}},
        {{5, 999000000}, 999, {6, 998000000}},
        {{5, 123456789}, 2000, {7, 123456789}},
        {{0, 999999999}, 999999, {1000, 998999999}},
    };
    for (const Row& r : rows) {
        struct timespec d = fifoDeadline(r.now, r.ms);
        EXPECT_EQ(d.tv_sec, r.expected.tv_sec)
            << r.now.tv_sec << "." << r.now.tv_nsec << " + " << r.ms;
        EXPECT_EQ(d.tv_nsec, r.expected.tv_nsec)
            << r.now.tv_sec << "." << r.now.tv_nsec << " + " << r.ms;
        EXPECT_LT(d.tv_nsec, 1000000000L);
    }
}

TEST(FifoRegistry, IdsGrowAndAreNeverReused) {
    std::vector<unsigned long> seen;
    for (int i = 0; i < 5; ++i) {
        unsigned long id = qPacketFifo_Create();
        ASSERT_NE(id, 0u);
        for (unsigned long old : seen) {
            EXPECT_GT(id, old);
        }
        seen.push_back(id);
        unsigned long gone = id;
        EXPECT_EQ(qPacketFifo_Destroy(&gone), qErrNone);
        EXPECT_EQ(gone, 0u);
    }
    unsigned long stale = seen.back();
    EXPECT_EQ(qPacketFifo_Destroy(&stale), qErrNotFound);
    EXPECT_EQ(stale, seen.back());
    EXPECT_EQ(put(seen.back(), 4, 1), qErrParam);
    EXPECT_EQ(qPacketFifo_Get(seen.back()), nullptr);
    EXPECT_EQ(qPacketFifo_GetLength(seen.back()), 0);
    EXPECT_EQ(qPacketFifo_Destroy(nullptr), qErrParam);
    unsigned long zero = 0;
    EXPECT_EQ(qPacketFifo_Destroy(&zero), qErrNotFound);
}

TEST_F(FifoTest, HandsOutCopiesOldestFirst) {
    qPacket* original = make(4, 1);
    ASSERT_EQ(qPacketFifo_Put(id, original), qErrNone);
    original->data[0] = 99; // the queue kept its own copy
    EXPECT_EQ(put(id, 6, 2), qErrNone);
    EXPECT_EQ(qPacketFifo_GetLength(id), 2);
    qPacket* first = qPacketFifo_Get(id);
    ASSERT_NE(first, nullptr);
    EXPECT_NE(first, original);
    EXPECT_TRUE(qPacket_IsComplete(first));
    EXPECT_EQ(describe(first), "4:1");
    EXPECT_EQ(describe(qPacketFifo_Get(id)), "6:2");
    EXPECT_EQ(qPacketFifo_Get(id), nullptr);
    (void)qPacket_Destroy(&original);

    qPacket dead{0, 0, 0, 0, {}};
    EXPECT_EQ(qPacketFifo_Put(id, &dead), qErrParam);
    EXPECT_EQ(qPacketFifo_Put(id, nullptr), qErrParam);
    EXPECT_EQ(qPacketFifo_GetLength(id), 0);
}

TEST_F(FifoTest, TheTwentyFirstUnreadPacketEmptiesTheQueue) {
    for (int i = 1; i <= qPACKETFIFO_CAPACITY; ++i) {
        ASSERT_EQ(put(id, 4, static_cast<uint8_t>(i)), qErrNone);
        EXPECT_EQ(qPacketFifo_GetLength(id), i);
    }
    EXPECT_EQ(put(id, 4, 21), qErrNone); // not reported to the putter
    EXPECT_EQ(qPacketFifo_GetLength(id), 0);
    EXPECT_EQ(qPacketFifo_Get(id), nullptr);
    // And it works normally afterwards.
    EXPECT_EQ(put(id, 4, 22), qErrNone);
    EXPECT_EQ(describe(qPacketFifo_Get(id)), "4:22");
}

TEST_F(FifoTest, GetFirstTakesTheFirstMatchAndKeepsTheOthersInOrder) {
    ASSERT_EQ(qErrNone, put(id, 4, 1));
    ASSERT_EQ(qErrNone, put(id, 6, 2));
    ASSERT_EQ(qErrNone, put(id, 6, 3));
    const uint8_t six = 6, eight = 8;
    EXPECT_EQ(describe(qPacketFifo_GetFirst(id, fromAddress, &six)), "6:2");
    EXPECT_EQ(describe(qPacketFifo_GetFirst(id, fromAddress, &eight)), "none");
    EXPECT_EQ(qPacketFifo_GetFirst(id, nullptr, &six), nullptr);
    EXPECT_EQ(qPacketFifo_GetLength(id), 2);
    EXPECT_EQ(describe(qPacketFifo_Get(id)), "4:1");
    EXPECT_EQ(describe(qPacketFifo_Get(id)), "6:3");
}

TEST_F(FifoTest, DrainRemovesOnlyAcceptedPackets) {
    for (uint8_t a : {4, 6, 4, 6, 8}) {
        ASSERT_EQ(qErrNone, put(id, a, a));
    }
    const uint8_t six = 6;
    EXPECT_EQ(qPacketFifo_DrainPackets(id, fromAddress, &six), 2);
    EXPECT_EQ(qPacketFifo_DrainPackets(id, fromAddress, &six), 0);
    EXPECT_EQ(qPacketFifo_DrainPackets(id, nullptr, &six), 0);
    EXPECT_EQ(qPacketFifo_DrainPackets(id + 1000000, fromAddress, &six), 0);
    EXPECT_EQ(qPacketFifo_GetLength(id), 3);
    EXPECT_EQ(describe(qPacketFifo_Get(id)), "4:4");
    EXPECT_EQ(describe(qPacketFifo_Get(id)), "4:4");
    EXPECT_EQ(describe(qPacketFifo_Get(id)), "8:8");
}

TEST_F(FifoTest, AwaitTimesOutOnAnEmptyQueue) {
    auto start = Clock::now();
    EXPECT_EQ(qPacketFifo_Await(id, 150), nullptr);
    long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 149);
    EXPECT_LT(elapsed, 150 + 2000);
    start = Clock::now();
    EXPECT_EQ(qPacketFifo_Await(id, 0), nullptr);
    EXPECT_LT(MsSince(start), 1000);
}

TEST_F(FifoTest, AwaitTimesOutAcrossASecondBoundary) {
    // Start the wait late in a second of the clock the waits are measured
    // on, so that the deadline falls into the next second.
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    long toLate = 900000000L - now.tv_nsec;
    if (toLate < 0) {
        toLate += 1000000000L;
    }
    struct timespec pause = {0, toLate};
    nanosleep(&pause, nullptr);
    auto start = Clock::now();
    EXPECT_EQ(qPacketFifo_Await(id, 300), nullptr);
    long elapsed = MsSince(start);
    EXPECT_GE(elapsed, 299);
    EXPECT_LT(elapsed, 300 + 2000);
}

TEST_F(FifoTest, AwaitReturnsAPacketPutWhileWaiting) {
    const pid_t consumer = ThreadId();
    std::atomic<bool> waited{false};
    std::thread producer([&] {
        waited = WaitUntilBlocked(consumer, 10000);
        EXPECT_EQ(qErrNone, put(id, 4, 7));
    });
    auto start = Clock::now();
    EXPECT_EQ(describe(qPacketFifo_Await(id, 10000)), "4:7");
    EXPECT_LT(MsSince(start), 9000);
    producer.join();
    EXPECT_TRUE(waited.load()) << "the packet came before the wait began";
}

struct CountingFilter {
    uint8_t address;
    mutable std::atomic<long> calls{0};
};

bool countingFilter(const qPacket* p, const void* ref) {
    const CountingFilter* f = static_cast<const CountingFilter*>(ref);
    f->calls++;
    return p->address == f->address;
}

TEST_F(FifoTest, AwaitFirstFindsAMatchThatArrivesLater) {
    const pid_t consumer = ThreadId();
    CountingFilter want{6};
    std::atomic<bool> waited{false};
    std::thread producer([&] {
        bool first = WaitUntilBlocked(consumer, 10000);
        long scans = want.calls.load();
        EXPECT_EQ(qErrNone, put(id, 4, 1)); // not the one wanted: looked at, and the wait goes on
        bool rescanned = kstest::WaitUntil([&] { return want.calls.load() > scans; }, 10000);
        waited = first && rescanned && WaitUntilBlocked(consumer, 10000);
        EXPECT_EQ(qErrNone, put(id, 6, 2));
    });
    auto start = Clock::now();
    EXPECT_EQ(describe(qPacketFifo_AwaitFirst(id, countingFilter, &want, 10000)), "6:2");
    EXPECT_LT(MsSince(start), 9000);
    producer.join();
    EXPECT_TRUE(waited.load()) << "the packets came before the waits began";
    EXPECT_EQ(describe(qPacketFifo_Get(id)), "4:1");
}

TEST_F(FifoTest, AwaitFirstWaitsForPutsInsteadOfRescanning) {
    ASSERT_EQ(qErrNone, put(id, 4, 1));
    ASSERT_EQ(qErrNone, put(id, 4, 2));
    CountingFilter want{6};
    auto start = Clock::now();
    EXPECT_EQ(qPacketFifo_AwaitFirst(id, countingFilter, &want, 200), nullptr);
    EXPECT_GE(MsSince(start), 199);
    // A scan of the two packets at the start and one at the deadline; a
    // loop scanning without waiting would call the filter thousands of times.
    EXPECT_LE(want.calls.load(), 20);
    EXPECT_EQ(qPacketFifo_GetLength(id), 2);
}

TEST(FifoDestroy, WakesWaitersWhoReturnNothing) {
    unsigned long id = qPacketFifo_Create();
    ASSERT_NE(id, 0u);
    std::atomic<int> returned{0};
    std::atomic<bool> gotPacket{false};
    std::atomic<pid_t> tids[2] = {{0}, {0}};
    auto waiter = [&](bool filtered) {
        tids[filtered] = ThreadId();
        const uint8_t six = 6;
        qPacket* p = filtered ? qPacketFifo_AwaitFirst(id, fromAddress, &six, 20000)
                              : qPacketFifo_Await(id, 20000);
        if (p != nullptr) {
            gotPacket = true;
            (void)qPacket_Destroy(&p);
        }
        returned++;
    };
    std::thread a(waiter, false);
    std::thread b(waiter, true);
    // Both waiters must be asleep in their waits, or the wake-up is not tested.
    for (auto& tid : tids) {
        EXPECT_TRUE(kstest::WaitUntil([&] { return tid.load() != 0; }, 10000));
        EXPECT_TRUE(WaitUntilBlocked(tid, 10000)) << "a waiter never began to wait";
    }
    EXPECT_EQ(returned.load(), 0);
    auto start = Clock::now();
    unsigned long doomed = id; // the waiters keep using their copy of the id
    EXPECT_EQ(qPacketFifo_Destroy(&doomed), qErrNone);
    a.join();
    b.join();
    EXPECT_LT(MsSince(start), 10000);
    EXPECT_EQ(returned.load(), 2);
    EXPECT_FALSE(gotPacket.load());
}

TEST(FifoDestroy, IsSafeWhileAnotherThreadKeepsPutting) {
    unsigned long id = qPacketFifo_Create();
    ASSERT_NE(id, 0u);
    std::atomic<bool> done{false};
    std::atomic<int> accepted{0}, refused{0};
    std::thread producer([&] {
        for (int i = 0; i < 200000 && refused < 10; ++i) {
            qErr e = put(id, 4, static_cast<uint8_t>(i));
            if (e == qErrNone) {
                accepted++;
            } else {
                EXPECT_TRUE(e == qErrParam || e == qErrCancel) << qError_GetErrorText(e);
                refused++;
            }
        }
        done = true;
    });
    while (accepted < 100 && !done) {
        std::this_thread::yield();
    }
    unsigned long doomed = id;
    EXPECT_EQ(qPacketFifo_Destroy(&doomed), qErrNone);
    producer.join();
    EXPECT_GE(accepted.load(), 100);
    EXPECT_EQ(qPacketFifo_GetLength(id), 0);
}

TEST_F(FifoTest, EveryWaiterSeesEachPut) {
    // Two threads wait for different packets; one put must not wake only
    // the thread that does not want it.
    std::atomic<long> slowest{0};
    std::atomic<pid_t> tids[2] = {{0}, {0}};
    std::atomic<bool> sixDone{false};
    auto waiter = [&](uint8_t address) {
        tids[address == 6] = ThreadId();
        auto start = Clock::now();
        EXPECT_EQ(describe(qPacketFifo_AwaitFirst(id, fromAddress, &address, 8000)),
                  std::to_string(address) + ":" + std::to_string(address));
        long ms = MsSince(start);
        if (ms > slowest) {
            slowest = ms;
        }
        if (address == 6)
            sixDone = true;
    };
    std::thread a(waiter, 4);
    std::thread b(waiter, 6);
    for (auto& tid : tids) {
        EXPECT_TRUE(kstest::WaitUntil([&] { return tid.load() != 0; }, 10000));
        EXPECT_TRUE(WaitUntilBlocked(tid, 10000)) << "a waiter never began to wait";
    }
    EXPECT_EQ(qErrNone, put(id, 6, 6));
    // The waiter for 4 looks at the put, finds nothing for it and waits again.
    EXPECT_TRUE(kstest::WaitUntil([&] { return sixDone.load(); }, 10000));
    EXPECT_TRUE(WaitUntilBlocked(tids[0], 10000));
    EXPECT_EQ(qErrNone, put(id, 4, 4));
    a.join();
    b.join();
    EXPECT_LT(slowest.load(), 6000);
}

TEST_F(FifoTest, ProducerAndConsumerThreadsLoseNothingBelowCapacity) {
    constexpr int kPackets = 2000;
    std::thread producer([this] {
        for (int i = 0; i < kPackets; ++i) {
            for (int spins = 0;
                 qPacketFifo_GetLength(id) >= qPACKETFIFO_CAPACITY / 2 && spins < 100000; ++spins) {
                std::this_thread::yield();
            }
            const uint8_t data[] = {static_cast<uint8_t>(i >> 8), static_cast<uint8_t>(i)};
            qPacket* p = qPacket_CreateWithData(4, 2, data);
            EXPECT_EQ(qErrNone, qPacketFifo_Put(id, p));
            (void)qPacket_Destroy(&p);
        }
    });
    int next = 0;
    for (int misses = 0; next < kPackets && misses < 5;) {
        qPacket* p = qPacketFifo_Await(id, 2000);
        if (p == nullptr) {
            ++misses;
            continue;
        }
        int value = (p->data[0] << 8) | p->data[1];
        EXPECT_EQ(value, next);
        next = value + 1;
        (void)qPacket_Destroy(&p);
    }
    producer.join();
    EXPECT_EQ(next, kPackets);
}

} // namespace

// The output thread's wait: no time-out and no allocation; it ends with a
// packet, or when the flag it waits under is cleared and it is woken, or
// when the queue goes.
TEST_F(FifoTest, AwaitWhileEndsWithAPacketAWakeOrTheQueuesEnd) {
    std::atomic<bool> keep{true};
    qPacket p;
    ASSERT_EQ(put(id, 4, 1), qErrNone);
    ASSERT_TRUE(fifoAwaitWhile(id, &p, keep));
    EXPECT_EQ(p.address, 4);
    EXPECT_EQ(p.data[0], 1);
    EXPECT_EQ(qPacketFifo_GetLength(id), 0);

    std::thread putter([this] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        EXPECT_EQ(qErrNone, put(id, 6, 2));
    });
    ASSERT_TRUE(fifoAwaitWhile(id, &p, keep));
    EXPECT_EQ(p.address, 6);
    putter.join();

    std::thread stopper([this, &keep] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        keep.store(false);
        fifoWake(id);
    });
    EXPECT_FALSE(fifoAwaitWhile(id, &p, keep));
    stopper.join();
    ASSERT_EQ(put(id, 8, 3), qErrNone);
    EXPECT_FALSE(fifoAwaitWhile(id, &p, keep)) << "a cleared flag ends it before a packet";
    EXPECT_EQ(qPacketFifo_GetLength(id), 1);

    keep.store(true);
    unsigned long doomed = qPacketFifo_Create();
    std::thread destroyer([&doomed] {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
        (void)qPacketFifo_Destroy(&doomed);
    });
    EXPECT_FALSE(fifoAwaitWhile(doomed, &p, keep));
    destroyer.join();
    EXPECT_FALSE(fifoAwaitWhile(0, &p, keep)) << "unknown queue";
}
