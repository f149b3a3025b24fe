#include <gtest/gtest.h>

#include <atomic>
#include <string>
#include <thread>

#include "qMutex.h"

namespace {

TEST(MutexCreate, KeepsNamesUpToTheLimit) {
    struct Row {
        std::string name;
        bool created;
    };
    const Row rows[] = {
        {"link table", true},
        {"", true},
        {std::string(255, 'n'), true},
        {std::string(256, 'n'), false},
    };
    for (const Row& r : rows) {
        qMutex* m = qMutex_Create(r.name.c_str());
        EXPECT_EQ(m != nullptr, r.created) << "name of " << r.name.size();
        if (m != nullptr) {
            EXPECT_EQ(std::string(qMutex_Identifier(m)), r.name);
            EXPECT_EQ(qMutex_Destroy(&m), qErrNone);
        }
    }
    qMutex* unnamed = qMutex_Create(nullptr);
    ASSERT_NE(unnamed, nullptr);
    EXPECT_STREQ(qMutex_Identifier(unnamed), "");
    EXPECT_EQ(qMutex_Destroy(&unnamed), qErrNone);
    EXPECT_STREQ(qMutex_Identifier(nullptr), "");
}

TEST(MutexDestroy, ClearsTheHandleSoASecondDestroyIsHarmless) {
    qMutex* m = qMutex_Create("once");
    ASSERT_NE(m, nullptr);
    EXPECT_EQ(qMutex_Destroy(&m), qErrNone);
    EXPECT_EQ(m, nullptr);
    EXPECT_EQ(qMutex_Destroy(&m), qErrParam);
    EXPECT_EQ(qMutex_Destroy(nullptr), qErrParam);
    EXPECT_EQ(qMutex_Lock(nullptr), qErrParam);
    EXPECT_EQ(qMutex_TryLock(nullptr), qErrParam);
    EXPECT_EQ(qMutex_Unlock(nullptr), qErrParam);
}

TEST(MutexDestroy, ALockedMutexIsReportedBusyAndStaysUsableForItsHolder) {
    qMutex* m = qMutex_Create("held");
    ASSERT_NE(m, nullptr);
    qMutex* holder = m;
    ASSERT_EQ(qMutex_Lock(holder), qErrNone);
    EXPECT_EQ(qMutex_Destroy(&m), qErrBusy);
    EXPECT_EQ(m, nullptr);
    // The holder's pointer still works (no freed memory under it).
    EXPECT_EQ(qMutex_Unlock(holder), qErrNone);
    EXPECT_EQ(qMutex_Destroy(&holder), qErrNone);
}

TEST(MutexTryLock, IsBusyWhileAnotherThreadHoldsIt) {
    qMutex* m = qMutex_Create("try");
    ASSERT_NE(m, nullptr);
    ASSERT_EQ(qMutex_Lock(m), qErrNone);
    qErr seen = qErrNone;
    std::thread([&] { seen = qMutex_TryLock(m); }).join();
    EXPECT_EQ(seen, qErrBusy);
    ASSERT_EQ(qMutex_Unlock(m), qErrNone);
    std::thread([&] {
        seen = qMutex_TryLock(m);
        if (seen == qErrNone) {
            (void)qMutex_Unlock(m);
        }
    }).join();
    EXPECT_EQ(seen, qErrNone);
    EXPECT_EQ(qMutex_Destroy(&m), qErrNone);
}

TEST(MutexLock, SerialisesThreads) {
    qMutex* m = qMutex_Create("counter");
    ASSERT_NE(m, nullptr);
    long counter = 0; // guarded by m only
    std::atomic<int> failures{0};
    auto work = [&] {
        for (int i = 0; i < 20000; ++i) {
            if (qMutex_Lock(m) != qErrNone) {
                ++failures;
                continue;
            }
            long v = counter;
            counter = v + 1;
            if (qMutex_Unlock(m) != qErrNone) {
                ++failures;
            }
        }
    };
    std::thread a(work);
    std::thread b(work);
    a.join();
    b.join();
    EXPECT_EQ(failures.load(), 0);
    EXPECT_EQ(counter, 40000);
    EXPECT_EQ(qMutex_Destroy(&m), qErrNone);
}

} // namespace
