// The single-producer single-consumer queue between a link's input thread
// and its worker thread.
#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "LocklessQueue_SPSC.h"

using Quillmar::LocklessQueue_SPSC;

TEST(LocklessQueue, HoldsOneItemLessThanItsSlots) {
    struct Case {
        uint16_t slots;
        int fits;
    } cases[] = {{500, 499}, {2, 1}, {1, 0}, {7, 6}};
    for (const Case& c : cases) {
        LocklessQueue_SPSC<int> q(c.slots);
        int pushed = 0;
        while (pushed < c.slots + 2 && q.push(pushed))
            ++pushed;
        EXPECT_EQ(pushed, c.fits) << "slots " << c.slots;
        int out = -1;
        for (int i = 0; i < c.fits; ++i) {
            ASSERT_TRUE(q.pop(&out));
            EXPECT_EQ(out, i) << "items come out in the order they went in";
        }
        EXPECT_FALSE(q.pop(&out)) << "empty after taking them all";
    }
}

TEST(LocklessQueue, WrapsAroundAndIncrementsModuloCapacity) {
    LocklessQueue_SPSC<std::string> q(4);
    EXPECT_EQ(q._increment(0), 1);
    EXPECT_EQ(q._increment(3), 0);
    std::string out;
    for (int round = 0; round < 10; ++round) {
        ASSERT_TRUE(q.push("a" + std::to_string(round)));
        ASSERT_TRUE(q.push("b" + std::to_string(round)));
        ASSERT_TRUE(q.pop(&out));
        EXPECT_EQ(out, "a" + std::to_string(round));
        ASSERT_TRUE(q.pop(&out));
        EXPECT_EQ(out, "b" + std::to_string(round));
    }
    EXPECT_FALSE(q.pop(&out));
}

TEST(LocklessQueue, OneProducerAndOneConsumerLoseNothingThatWasAccepted) {
    LocklessQueue_SPSC<uint32_t> q(16);
    constexpr uint32_t N = 5000;
    std::atomic<uint64_t> acceptedSum{0};
    std::thread producer([&] {
        for (uint32_t i = 1; i <= N; ++i) {
            for (int tries = 0; tries < 100000; ++tries) {
                if (q.push(i)) {
                    acceptedSum += i;
                    break;
                }
                std::this_thread::yield();
            }
        }
    });
    uint64_t sum = 0;
    uint32_t last = 0, count = 0;
    bool ordered = true;
    for (long spins = 0; count < N && spins < 20000000L; ++spins) {
        uint32_t v;
        if (!q.pop(&v)) {
            std::this_thread::yield();
        } else {
            ordered = ordered && v > last;
            last = v;
            sum += v;
            ++count;
        }
    }
    producer.join();
    uint32_t v;
    while (q.pop(&v))
        sum += v, ++count;
    EXPECT_TRUE(ordered);
    EXPECT_EQ(count, N);
    EXPECT_EQ(sum, acceptedSum.load());
}
