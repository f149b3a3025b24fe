#include <gtest/gtest.h>

#include <sys/time.h>

#include <vector>

#include "qTime.h"
#include "unix_time_internal.h"

namespace {

int recordSleep(unsigned long us, void* ref) {
    static_cast<std::vector<unsigned long>*>(ref)->push_back(us);
    return 0;
}

struct SplitRow {
    unsigned long ms;
    std::vector<unsigned long> pieces;
};

TEST(SleepSplitting, PiecesNeverExceedOneSecondAndAddUp) {
    const SplitRow rows[] = {
        {0, {}},
        {1, {1000}},
        {999, {999000}},
        {1000, {999999, 1}},
        {2500, {999999, 999999, 500002}},
        {3000, {999999, 999999, 999999, 3}},
    };
    for (const SplitRow& r : rows) {
        std::vector<unsigned long> slept;
        EXPECT_EQ(osMSSleep(r.ms, recordSleep, &slept), r.pieces.size()) << r.ms << " ms";
        EXPECT_EQ(slept, r.pieces) << r.ms << " ms";
    }
}

TEST(SleepSplitting, AFailingPieceDoesNotStopTheRest) {
    std::vector<unsigned long> slept;
    auto failing = [](unsigned long us, void* ref) {
        static_cast<std::vector<unsigned long>*>(ref)->push_back(us);
        return -1;
    };
    EXPECT_EQ(osMSSleep(2000, failing, &slept), 3u);
    EXPECT_EQ(slept.size(), 3u);
}

TEST(Ticks, FollowTheWallClockInMilliseconds) {
    struct timeval before;
    gettimeofday(&before, nullptr);
    unsigned long ticks = qTime_GetMSTicks();
    struct timeval after;
    gettimeofday(&after, nullptr);
    unsigned long lo = before.tv_sec * 1000ul + before.tv_usec / 1000;
    unsigned long hi = after.tv_sec * 1000ul + after.tv_usec / 1000;
    EXPECT_GE(ticks, lo);
    EXPECT_LE(ticks, hi);
}

TEST(Sleep, LastsAtLeastTheRequestedTime) {
    unsigned long start = qTime_GetMSTicks();
    EXPECT_EQ(qTime_MSSleep(30), qErrNone);
    EXPECT_GE(qTime_GetMSTicks() - start, 29ul); // millisecond rounding of the ticks
    start = qTime_GetMSTicks();
    EXPECT_EQ(qTime_MSSleep(0), qErrNone);
    EXPECT_LT(qTime_GetMSTicks() - start, 1000ul);
}

} // namespace
