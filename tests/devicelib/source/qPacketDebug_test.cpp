#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <deque>
#include <random>
#include <thread>
#include <vector>

#include "qPacketDebug.h"

namespace {

struct Record {
    int32_t type;
    std::vector<uint8_t> data;
};

std::vector<uint8_t> bytes(size_t n, uint8_t first) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i) {
        v[i] = static_cast<uint8_t>(first + i);
    }
    return v;
}

qErr putRecord(qPacketLog* log, uint8_t type, const std::vector<uint8_t>& data) {
    return qPacketLog_Put(log, type, static_cast<uint32_t>(data.size()), data.data());
}

// Takes every record out of the log.
std::vector<Record> drain(qPacketLog* log) {
    std::vector<Record> out;
    for (int guard = 0; guard < 100000; ++guard) {
        Record r;
        r.data.resize(qPACKETLOG_MAX_RECORD);
        uint32_t length = qPACKETLOG_MAX_RECORD;
        qErr e = qPacketLog_Get(log, &r.type, &length, r.data.data());
        if (e == qErrNotFound) {
            break;
        }
        EXPECT_EQ(e, qErrNone);
        r.data.resize(length);
        out.push_back(r);
    }
    return out;
}

TEST(PacketLogRing, RecordsMustLeaveOneByteFree) {
    qPacketLog* log = qPacketLog_Create(16);
    ASSERT_NE(log, nullptr);
    EXPECT_EQ(putRecord(log, qPACKETLOG_TEXT, bytes(14, 1)), qErrOverrun);
    EXPECT_EQ(putRecord(log, qPACKETLOG_TEXT, bytes(13, 1)), qErrNone);
    std::vector<Record> got = drain(log);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, qPACKETLOG_TEXT);
    EXPECT_EQ(got[0].data, bytes(13, 1));
    (void)qPacketLog_Destroy(&log);
    EXPECT_EQ(log, nullptr);
}

TEST(PacketLogRing, ARecordThatDoesNotFitDropsOlderOnesWhole) {
    qPacketLog* log = qPacketLog_Create(16);
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(putRecord(log, qPACKETLOG_SENT, bytes(4, 0x10)), qErrNone);
    ASSERT_EQ(putRecord(log, qPACKETLOG_RECEIVED, bytes(10, 0x20)), qErrNone);
    std::vector<Record> got = drain(log);
    ASSERT_EQ(got.size(), 1u);
    EXPECT_EQ(got[0].type, qPACKETLOG_RECEIVED);
    EXPECT_EQ(got[0].data, bytes(10, 0x20));
    (void)qPacketLog_Destroy(&log);
}

TEST(PacketLogRing, ASmallBufferLeavesTheRecordForARetry) {
    qPacketLog* log = qPacketLog_Create(64);
    ASSERT_NE(log, nullptr);
    ASSERT_EQ(putRecord(log, qPACKETLOG_SENT, bytes(5, 0x30)), qErrNone);
    uint8_t small[2];
    int32_t type = 0;
    uint32_t length = sizeof small;
    EXPECT_EQ(qPacketLog_Get(log, &type, &length, small), qErrOverrun);
    EXPECT_EQ(length, 5u);
    EXPECT_EQ(type, qPACKETLOG_SENT);
    uint8_t big[5];
    length = sizeof big;
    EXPECT_EQ(qPacketLog_Get(log, &type, &length, big), qErrNone);
    EXPECT_EQ(std::vector<uint8_t>(big, big + 5), bytes(5, 0x30));
    EXPECT_EQ(qPacketLog_Get(log, &type, &length, big), qErrNotFound);
    (void)qPacketLog_Destroy(&log);
}

TEST(PacketLogRing, LengthsAboveOneByteAndBadArgumentsAreRefused) {
    qPacketLog* log = qPacketLog_Create(4096);
    ASSERT_NE(log, nullptr);
    // 256 would be stored as length 0 and garble every later record.
    EXPECT_EQ(putRecord(log, qPACKETLOG_TEXT, bytes(256, 0)), qErrOverrun);
    EXPECT_EQ(putRecord(log, qPACKETLOG_TEXT, bytes(255, 0)), qErrNone);
    EXPECT_EQ(putRecord(log, qPACKETLOG_TEXT, {}), qErrNone);
    EXPECT_EQ(qPacketLog_Put(log, qPACKETLOG_TEXT, 3, nullptr), qErrParam);
    EXPECT_EQ(qPacketLog_Put(nullptr, qPACKETLOG_TEXT, 0, nullptr), qErrParam);
    int32_t type;
    uint32_t length = 0;
    EXPECT_EQ(qPacketLog_Get(nullptr, &type, &length, nullptr), qErrParam);
    EXPECT_EQ(qPacketLog_Get(log, nullptr, &length, nullptr), qErrParam);
    EXPECT_EQ(qPacketLog_Get(log, &type, nullptr, nullptr), qErrParam);
    std::vector<Record> got = drain(log);
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data, bytes(255, 0));
    EXPECT_TRUE(got[1].data.empty());
    EXPECT_EQ(qErrNone, qPacketLog_Destroy(&log));
    EXPECT_EQ(qErrNone, qPacketLog_Destroy(&log));
    EXPECT_EQ(qErrNone, qPacketLog_Destroy(nullptr));
}

TEST(PacketLogRing, StartsDisabledAndKeepsItsFlag) {
    qPacketLog* log = qPacketLog_Create(32);
    ASSERT_NE(log, nullptr);
    EXPECT_FALSE(qPacketLog_IsEnabled(log));
    qPacketLog_SetEnabled(log, true);
    EXPECT_TRUE(qPacketLog_IsEnabled(log));
    qPacketLog_SetEnabled(log, false);
    EXPECT_FALSE(qPacketLog_IsEnabled(log));
    EXPECT_FALSE(qPacketLog_IsEnabled(nullptr));
    (void)qPacketLog_Destroy(&log);
}

// Against a simple model: the ring must hand back exactly the newest records
// that fit, whole and in order, however its indexes wrap.
TEST(PacketLogRing, MatchesAModelOfWholeRecordsAcrossWraps) {
    std::mt19937 rng(20261208);
    for (uint32_t size : {3u, 16u, 17u, 31u, 64u, 300u}) {
        SCOPED_TRACE("ring of " + std::to_string(size));
        qPacketLog* log = qPacketLog_Create(size);
        ASSERT_NE(log, nullptr);
        std::deque<Record> model;
        size_t modelBytes = 0;
        for (int step = 0; step < 3000; ++step) {
            if (rng() % 3 != 0) {
                size_t n = rng() % (std::min<size_t>(size, 40));
                Record r{static_cast<int32_t>(1 + rng() % 3),
                         bytes(n, static_cast<uint8_t>(rng()))};
                qErr e = putRecord(log, static_cast<uint8_t>(r.type), r.data);
                if (n + 2 >= size) {
                    ASSERT_EQ(e, qErrOverrun) << "step " << step;
                    continue;
                }
                ASSERT_EQ(e, qErrNone) << "step " << step;
                while (size - modelBytes <= n + 2) {
                    modelBytes -= model.front().data.size() + 2;
                    model.pop_front();
                }
                model.push_back(r);
                modelBytes += n + 2;
            } else {
                uint8_t buf[qPACKETLOG_MAX_RECORD];
                int32_t type = 0;
                uint32_t length = sizeof buf;
                qErr e = qPacketLog_Get(log, &type, &length, buf);
                if (model.empty()) {
                    ASSERT_EQ(e, qErrNotFound) << "step " << step;
                    continue;
                }
                ASSERT_EQ(e, qErrNone) << "step " << step;
                EXPECT_EQ(type, model.front().type) << "step " << step;
                ASSERT_EQ(std::vector<uint8_t>(buf, buf + length), model.front().data)
                    << "step " << step;
                modelBytes -= length + 2;
                model.pop_front();
            }
        }
        (void)qPacketLog_Destroy(&log);
    }
}

// ---- Links' packet logs.

constexpr uint32_t kLink = 0x7100;

struct LinkLogTest : ::testing::Test {
    void SetUp() override { ASSERT_EQ(qPacketDebug_AttachLink(kLink, this), qErrNone); }
    void TearDown() override { (void)qPacketDebug_DetachLink(kLink); }
};

qPacket* packet(uint8_t address, std::vector<uint8_t> data) {
    return qPacket_CreateWithData(address, static_cast<uint8_t>(data.size()), data.data());
}

qErr record(uint32_t link, uint8_t type, uint8_t address, std::vector<uint8_t> data) {
    qPacket* p = packet(address, data);
    qErr e = qPacketDebug_RecordPacket(link, type, p);
    (void)qPacket_Destroy(&p);
    return e;
}

Record readOne(uint32_t link, qErr* err) {
    Record r;
    r.data.resize(qPACKETLOG_MAX_RECORD);
    uint32_t length = qPACKETLOG_MAX_RECORD;
    *err = qLink_PacketDebug_Read(link, &r.type, &length, r.data.data());
    r.data.resize(*err == qErrNone ? length : 0);
    return r;
}

TEST(LinkPacketDebug, UnknownLinksAreRefused) {
    int32_t type;
    uint32_t length = 0;
    const uint32_t unknown = 0x7999;
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(unknown, 100), qErrParam);
    EXPECT_EQ(qLink_PacketDebug_Enable(unknown), qErrParam);
    EXPECT_EQ(qLink_PacketDebug_Disable(unknown), qErrParam);
    EXPECT_EQ(qLink_PacketDebug_Read(unknown, &type, &length, nullptr), qErrParam);
    EXPECT_EQ(qLink_PacketDebug_Write(unknown, qPACKETLOG_TEXT, 0, nullptr), qErrParam);
    EXPECT_EQ(record(unknown, qPACKETLOG_SENT, 4, {1}), qErrNone); // not logged, not an error
    EXPECT_EQ(qPacketDebug_DetachLink(unknown), qErrNotFound);
    EXPECT_EQ(qPacketDebug_AttachLink(0, nullptr), qErrParam);
}

TEST_F(LinkLogTest, NothingIsReadyBeforeTheFirstEnable) {
    int32_t type;
    uint32_t length = 0;
    EXPECT_EQ(qLink_PacketDebug_Read(kLink, &type, &length, nullptr), qErrNotReady);
    EXPECT_EQ(qLink_PacketDebug_Write(kLink, qPACKETLOG_TEXT, 0, nullptr), qErrNotReady);
    EXPECT_EQ(qLink_PacketDebug_Disable(kLink), qErrNotReady);
    EXPECT_EQ(record(kLink, qPACKETLOG_RECEIVED, 4, {1}), qErrNone);
    EXPECT_EQ(qPacketDebug_AttachLink(kLink, this), qErrDuplicate);
}

TEST_F(LinkLogTest, SizeIsCheckedAndFixedOnceTheLogExists) {
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(kLink, qPACKETLOG_MAX_SIZE + 1), qErrParam);
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(kLink, qPACKETLOG_MAX_SIZE), qErrNone);
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(kLink, 16), qErrNone);
    EXPECT_EQ(qLink_PacketDebug_Enable(kLink), qErrNone);
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(kLink, 32), qErrBusy);
    // The 16-byte ring: 14 data bytes never fit.
    EXPECT_EQ(qLink_PacketDebug_Write(kLink, qPACKETLOG_TEXT, 14, bytes(14, 0).data()),
              qErrOverrun);
    EXPECT_EQ(qLink_PacketDebug_Write(kLink, qPACKETLOG_TEXT, 13, bytes(13, 0).data()), qErrNone);
    qErr e;
    readOne(kLink, &e);
    EXPECT_EQ(e, qErrNone);
    readOne(kLink, &e);
    EXPECT_EQ(e, qErrNotFound);
}

TEST_F(LinkLogTest, DefaultRingHolds65536Bytes) {
    EXPECT_EQ(qLink_PacketDebug_SetLogSize(kLink, -5), qErrNone); // negative: the default
    ASSERT_EQ(qLink_PacketDebug_Enable(kLink), qErrNone);
    // 255 records of 257 bytes use 65535 bytes: all fit. One more drops the first.
    for (int n = 0; n < 256; ++n) {
        std::vector<uint8_t> data = bytes(255, static_cast<uint8_t>(n));
        ASSERT_EQ(qLink_PacketDebug_Write(kLink, qPACKETLOG_TEXT, 255, data.data()), qErrNone);
    }
    qErr e;
    Record first = readOne(kLink, &e);
    ASSERT_EQ(e, qErrNone);
    EXPECT_EQ(first.data[0], 1); // record 0 was dropped
    int count = 1;
    while (readOne(kLink, &e), e == qErrNone && count < 1000) {
        ++count;
    }
    EXPECT_EQ(count, 255);
}

TEST_F(LinkLogTest, PacketsAreRecordedAsOnTheWireOnlyWhileEnabled) {
    ASSERT_EQ(qLink_PacketDebug_Enable(kLink), qErrNone);
    qErr e;
    readOne(kLink, &e);
    EXPECT_EQ(e, qErrNotFound); // enabled, still empty
    EXPECT_EQ(record(kLink, qPACKETLOG_SENT, 0x04, {0x30, 0x01}), qErrNone);
    EXPECT_EQ(record(kLink, qPACKETLOG_RECEIVED, 0x04, {0x31}), qErrNone);
    EXPECT_EQ(record(kLink, 3, 0x04, {0x31}), qErrParam);
    ASSERT_EQ(qLink_PacketDebug_Disable(kLink), qErrNone);
    EXPECT_EQ(record(kLink, qPACKETLOG_SENT, 0x06, {0x99}), qErrNone); // not recorded
    const uint8_t start[] = "START";
    EXPECT_EQ(qLink_PacketDebug_Write(kLink, qPACKETLOG_TEXT, sizeof start, start), qErrNone);

    Record r = readOne(kLink, &e);
    ASSERT_EQ(e, qErrNone);
    EXPECT_EQ(r.type, qPACKETLOG_SENT);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0x04, 0x02, 0x30, 0x01}));
    r = readOne(kLink, &e);
    ASSERT_EQ(e, qErrNone);
    EXPECT_EQ(r.type, qPACKETLOG_RECEIVED);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0x04, 0x01, 0x31}));
    r = readOne(kLink, &e);
    ASSERT_EQ(e, qErrNone);
    EXPECT_EQ(r.type, qPACKETLOG_TEXT);
    EXPECT_EQ(r.data, std::vector<uint8_t>(start, start + sizeof start));
    readOne(kLink, &e);
    EXPECT_EQ(e, qErrNotFound);
    // Enabled again: the same log, recording again.
    ASSERT_EQ(qLink_PacketDebug_Enable(kLink), qErrNone);
    EXPECT_EQ(record(kLink, qPACKETLOG_SENT, 0x08, {}), qErrNone);
    r = readOne(kLink, &e);
    EXPECT_EQ(r.data, (std::vector<uint8_t>{0x08, 0x00}));
}

TEST_F(LinkLogTest, DetachDropsTheLog) {
    ASSERT_EQ(qLink_PacketDebug_Enable(kLink), qErrNone);
    EXPECT_EQ(record(kLink, qPACKETLOG_SENT, 0x04, {1}), qErrNone);
    ASSERT_EQ(qPacketDebug_DetachLink(kLink), qErrNone);
    qErr e;
    readOne(kLink, &e);
    EXPECT_EQ(e, qErrParam);
    // Attached again (a reset): a fresh link without a log.
    ASSERT_EQ(qPacketDebug_AttachLink(kLink, this), qErrNone);
    readOne(kLink, &e);
    EXPECT_EQ(e, qErrNotReady);
}

TEST_F(LinkLogTest, InputOutputAndReaderThreadsShareTheLog) {
    ASSERT_EQ(qLink_PacketDebug_Enable(kLink), qErrNone);
    constexpr int kPerThread = 3000;
    std::atomic<int> writersDone{0};
    auto traffic = [&](uint8_t type) {
        for (int i = 0; i < kPerThread; ++i) {
            uint8_t v = static_cast<uint8_t>(i);
            EXPECT_EQ(qErrNone, record(kLink, type, 0x04, {v, v, v}));
        }
        writersDone++;
    };
    std::thread input(traffic, qPACKETLOG_RECEIVED);
    std::thread output(traffic, qPACKETLOG_SENT);
    int good = 0, bad = 0;
    for (int spins = 0; spins < 10000000; ++spins) {
        qErr e;
        Record r = readOne(kLink, &e);
        if (e == qErrNotFound) {
            if (writersDone == 2) {
                break;
            }
            std::this_thread::yield();
            continue;
        }
        // Every record comes out whole: address, length 3, three equal bytes.
        bool whole = e == qErrNone &&
                     (r.type == qPACKETLOG_SENT || r.type == qPACKETLOG_RECEIVED) &&
                     r.data.size() == 5 && r.data[0] == 0x04 && r.data[1] == 3 &&
                     r.data[2] == r.data[3] && r.data[3] == r.data[4];
        whole ? ++good : ++bad;
    }
    input.join();
    output.join();
    EXPECT_EQ(bad, 0);
    // 6000 records of 7 bytes fit the default ring: none may be lost.
    EXPECT_EQ(good, 2 * kPerThread);
}

} // namespace
