// The contract of qStream_WaitReadable and qStream_ReadAvailable, checked the
// same way on every transport that can wait: a wait with nothing there times
// out, a wake descriptor ends it (signalled before or during the wait), bytes
// that arrive during a wait end it and are taken whole, pushed-back bytes are
// readable at once.
#pragma once

#include <gtest/gtest.h>
#include <poll.h>
#include <stdint.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <functional>
#include <thread>
#include <vector>

#include "bytes.h"
#include "qStream.h"
#include "wait.h"

namespace streamwait {

using Bytes = std::vector<uint8_t>;

// Reads until n bytes came or a wait gives up; counts the reads that
// delivered bytes.
inline Bytes collect(qStream* s, size_t n, int* reads) {
    Bytes got;
    *reads = 0;
    for (int round = 0; round < 200 && got.size() < n; ++round) {
        uint8_t buf[1024];
        size_t k = 0;
        qErr e = qStream_ReadAvailable(s, buf, sizeof buf, &k);
        if (e == qErrNone) {
            ++*reads;
            got.insert(got.end(), buf, buf + k);
        } else if (e != qErrNotReady || qStream_WaitReadable(s, -1, 2000) != qErrNone) {
            break;
        }
    }
    return got;
}

// send(bytes) makes bytes arrive at the stream from its far end.
inline void checkWaitContract(qStream* s, const std::function<void(const Bytes&)>& send) {
    size_t got = 0;
    uint8_t buf[64];
    EXPECT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrNotReady);
    EXPECT_EQ(got, 0u);
    EXPECT_EQ(qStream_WaitReadable(s, -1, 30), qErrTimeout) << "nothing there";

    int wake = eventfd(0, EFD_CLOEXEC);
    ASSERT_GE(wake, 0);
    const uint64_t one = 1;
    ASSERT_EQ(write(wake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    EXPECT_EQ(qStream_WaitReadable(s, wake, 10000), qErrCancel) << "wake signalled before";
    uint64_t count = 0;
    ASSERT_EQ(read(wake, &count, sizeof count), static_cast<ssize_t>(sizeof count));
    const pid_t self = kstest::ThreadId();
    std::thread waker([&] {
        EXPECT_TRUE(kstest::WaitUntilAsleep(self, 5000));
        EXPECT_EQ(write(wake, &one, sizeof one), static_cast<ssize_t>(sizeof one));
    });
    EXPECT_EQ(qStream_WaitReadable(s, wake, 10000), qErrCancel) << "wake during the wait";
    waker.join();
    close(wake);

    Bytes burst(300);
    for (size_t i = 0; i < burst.size(); ++i)
        burst[i] = static_cast<uint8_t>(i * 7 + 1);
    std::thread sender([&] {
        EXPECT_TRUE(kstest::WaitUntilAsleep(self, 5000));
        send(burst);
    });
    EXPECT_EQ(qStream_WaitReadable(s, -1, 10000), qErrNone) << "bytes during the wait";
    sender.join();
    int reads = 0;
    EXPECT_BYTES(burst, collect(s, burst.size(), &reads));
    EXPECT_LE(reads, 3) << "whatever has arrived comes in one read";

    ASSERT_EQ(qStreamBufferChar(s, 0x42), qErrNone);
    EXPECT_EQ(qStream_WaitReadable(s, -1, 10000), qErrNone) << "a pushed-back byte";
    ASSERT_EQ(qStream_ReadAvailable(s, buf, sizeof buf, &got), qErrNone);
    EXPECT_EQ(got, 1u);
    EXPECT_EQ(buf[0], 0x42);
}

} // namespace streamwait
