// Store slots and factory data against the module simulator, and against an
// in-process peer for the replies a sound module never sends.
#include <gtest/gtest.h>

#include <unistd.h>

#include <cstring>
#include <string>
#include <vector>

#include "Link.h"
#include "Module.h"
#include "bytes.h"
#include "objlayer_peer.h"
#include "qFile.h"
#include "tempdir.h"
#include "wait.h"

using namespace Quillmar::Keystrand;
using objtest::Bytes;
using objtest::FakeModule;
using objtest::RxPacket;
using objtest::SimBench;
using objtest::wire;

namespace {

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

struct SimStore : ::testing::Test {
    SimBench sim;
    Link link{"store"};
    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim.start(objtest::moduleLine("m", 0x40F5849A, 4, "slot-capacity=100"), error))
            << error;
        ASSERT_EQ(link.setLinkSpecifier(sim.tcpSpec("m")), qErrNone);
        ASSERT_EQ(link.connect(), qErrNone);
    }
    modsim::ModuleState state() { return sim.bench.state("m"); }
};

// A peer that answers slot and factory requests the way a test wants.
struct StorePeer : ::testing::Test {
    FakeModule peer{nullptr};
    Link link{"peer"};
    void SetUp() override {
        ASSERT_TRUE(peer.valid());
        ASSERT_EQ(link.setLinkSpecifier(peer.spec()), qErrNone);
        ASSERT_EQ(link.connect(), qErrNone);
    }
    size_t countSent(uint8_t command, uint8_t sub) {
        size_t n = 0;
        for (const RxPacket& p : peer.received())
            n += p.data.size() >= 2 && p.data[0] == command && p.data[1] == sub;
        return n;
    }
};

uint8_t sum(const Bytes& data, size_t from, size_t to) {
    uint8_t s = 0;
    for (size_t i = from; i < to; ++i)
        s = uint8_t(s + data[i]);
    return s;
}

} // namespace

TEST_F(SimStore, WritesAndReadsSlotsInChunks) {
    struct Case {
        size_t length;
        size_t writes;
    } cases[] = {{0, 0}, {1, 1}, {25, 1}, {26, 2}, {100, 4}};
    for (const Case& c : cases) {
        Bytes data = pattern(c.length, uint8_t(c.length));
        unsigned requestsBefore = state().requests;
        ASSERT_EQ(link.loadStoreSlot(4, 1, 2, data.data(), data.size()), qErrNone) << c.length;
        EXPECT_EQ(state().requests - requestsBefore, c.writes + 2)
            << "open, the writes and one close";
        EXPECT_BYTES(data, (state().slots[{1, 2}])) << c.length;
        size_t size = 0;
        ASSERT_EQ(link.storeSlotSize(4, 1, 2, &size), qErrNone);
        EXPECT_EQ(size, c.length);
        uint8_t back[128] = {};
        size_t unloaded = 99;
        ASSERT_EQ(link.unloadStoreSlot(4, 1, 2, back, sizeof back, &unloaded), qErrNone)
            << c.length;
        EXPECT_EQ(unloaded, c.length);
        EXPECT_BYTES(data, Bytes(back, back + unloaded));
    }
    size_t capacity = 0;
    ASSERT_EQ(link.storeSlotCapacity(4, 1, 2, &capacity), qErrNone);
    EXPECT_EQ(capacity, 100u);
}

TEST_F(SimStore, ASmallBufferIsFilledAndReportedAsOverrun) {
    Bytes data = pattern(60, 3);
    ASSERT_EQ(link.loadStoreSlot(4, 0, 1, data.data(), data.size()), qErrNone);
    uint8_t back[30] = {};
    size_t unloaded = 0;
    EXPECT_EQ(link.unloadStoreSlot(4, 0, 1, back, sizeof back, &unloaded), qErrOverrun);
    EXPECT_EQ(unloaded, sizeof back);
    EXPECT_BYTES(Bytes(data.begin(), data.begin() + 30), Bytes(back, back + 30));
}

TEST_F(SimStore, RefusedSlotsAndOversizedDataGiveTheirErrors) {
    Bytes big = pattern(101, 1);
    EXPECT_NE(link.loadStoreSlot(4, 0, 0, big.data(), big.size()), qErrNone)
        << "beyond the slot capacity";
    EXPECT_EQ(link.loadStoreSlot(4, 9, 0, big.data(), 5), qErrMedia)
        << "no such store: the open fails";
    size_t size = 0, unloaded = 0;
    uint8_t back[8];
    EXPECT_NE(link.storeSlotSize(4, 9, 0, &size), qErrNone);
    EXPECT_NE(link.unloadStoreSlot(4, 9, 0, back, sizeof back, &unloaded), qErrNone);
    EXPECT_EQ(link.storeSlotSize(4, 0, 0, nullptr), qErrParam);
}

TEST_F(SimStore, FactoryDataRoundTripsWithTheClosingCount) {
    struct Case {
        size_t length;
    } cases[] = {{1}, {26}, {27}, {60}};
    for (const Case& c : cases) {
        Bytes data = pattern(c.length, 9);
        ASSERT_EQ(link.setFactoryData(4, 2, data.data(), data.size()), qErrNone) << c.length;
        ASSERT_FALSE(state().factoryCloseCounts.empty());
        EXPECT_EQ(state().factoryCloseCounts.back(), c.length);
        EXPECT_BYTES(data, state().factory[2]);
        uint8_t back[64] = {};
        size_t received = 0;
        ASSERT_EQ(link.getFactoryData(4, 2, back, c.length + 1, &received), qErrNone) << c.length;
        EXPECT_EQ(received, c.length);
        EXPECT_BYTES(data, Bytes(back, back + received));
        EXPECT_EQ(link.getFactoryData(4, 2, back, c.length, &received), qErrOverrun)
            << "a buffer exactly as large as the data is refused";
    }
}

TEST_F(StorePeer, WrongChecksumEndsTheTransferAndStillClosesTheSlot) {
    peer.setResponder([](const RxPacket& p) -> Bytes {
        if (p.data.size() < 3 || p.data[0] != 4)
            return {};
        switch (p.data[1]) {
        case 4:
            return wire(p.address, {4, 4, p.data[2], p.data[3], 7});
        case 7: // the sum plus one
            return wire(p.address, {4, 7, p.data[2], uint8_t(sum(p.data, 3, p.data.size()) + 1)});
        case 8:
            return wire(p.address, {4, 8, p.data[2], 0});
        default:
            return {};
        }
    });
    Bytes data = pattern(60, 1);
    EXPECT_EQ(link.loadStoreSlot(4, 0, 0, data.data(), data.size()), qErrIO);
    EXPECT_EQ(countSent(4, 7), 1u) << "no chunk after the failed one";
    EXPECT_EQ(countSent(4, 8), 1u) << "the slot is closed once";
}

TEST_F(StorePeer, RepliesOfTheWrongShapeAreErrorsNotSuccess) {
    struct Case {
        const char* what;
        objtest::Responder responder;
        qErr load;
    } cases[] = {
        {"write reply without checksum",
         [](const RxPacket& p) -> Bytes {
             if (p.data[1] == 4)
                 return wire(p.address, {4, 4, p.data[2], p.data[3], 7});
             if (p.data[1] == 7)
                 return wire(p.address, {4, 7, p.data[2], sum(p.data, 3, p.data.size()), 0});
             return p.data[1] == 8 ? wire(p.address, {4, 8, p.data[2], 0}) : Bytes();
         },
         qErrIO},
        {"error reply to a write",
         [](const RxPacket& p) -> Bytes {
             if (p.data[1] == 4)
                 return wire(p.address, {4, 4, p.data[2], p.data[3], 7});
             if (p.data[1] == 7)
                 return wire(p.address, {4, 0x87, p.data[2], 14});
             return p.data[1] == 8 ? wire(p.address, {4, 8, p.data[2], 0}) : Bytes();
         },
         qErrSize},
        {"close of the wrong length",
         [](const RxPacket& p) -> Bytes {
             if (p.data[1] == 4)
                 return wire(p.address, {4, 4, p.data[2], p.data[3], 7});
             if (p.data[1] == 7)
                 return wire(p.address, {4, 7, p.data[2], sum(p.data, 3, p.data.size())});
             return p.data[1] == 8 ? wire(p.address, {4, 8, p.data[2], 0, 0}) : Bytes();
         },
         qErrIO},
        {"close never answered",
         [](const RxPacket& p) -> Bytes {
             if (p.data[1] == 4)
                 return wire(p.address, {4, 4, p.data[2], p.data[3], 7});
             if (p.data[1] == 7)
                 return wire(p.address, {4, 7, p.data[2], sum(p.data, 3, p.data.size())});
             return Bytes();
         },
         qErrTimeout},
        {"open refused",
         [](const RxPacket& p) -> Bytes {
             return p.data[1] == 4 ? wire(p.address, {4, 0x84, p.data[2], p.data[3], 3}) : Bytes();
         },
         qErrMedia},
    };
    const Bytes data = pattern(10, 5);
    for (const Case& c : cases) {
        peer.setResponder(c.responder);
        EXPECT_EQ(link.loadStoreSlot(4, 0, 0, data.data(), data.size()), c.load) << c.what;
    }
    // The size query: no reply is no size.
    peer.setResponder(nullptr);
    size_t size = 12345;
    EXPECT_EQ(link.storeSlotSize(4, 0, 0, &size), qErrTimeout);
    EXPECT_EQ(size, 12345u);
    peer.setResponder([](const RxPacket& p) {
        return wire(p.address, {4, 2, p.data[2], p.data[3], 0, 1, 2});
    });
    EXPECT_EQ(link.storeSlotSize(4, 0, 0, &size), qErrUnknown) << "a 7-byte size reply";
}

TEST_F(StorePeer, FactoryPacketsCarryKindFlagsAndAtMost26Bytes) {
    peer.setResponder([](const RxPacket& p) -> Bytes {
        if (p.data.size() < 2 || p.data[0] != 94)
            return {};
        return wire(p.address, {94, uint8_t(p.data[1] & 0x0F)});
    });
    Bytes data = pattern(26, 2);
    ASSERT_EQ(link.setFactoryData(4, 3, data.data(), data.size()), qErrNone);
    ASSERT_TRUE(peer.waitReceived(2, 1000));
    std::vector<RxPacket> got = peer.received();
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].data.size(), 28u);
    EXPECT_EQ(got[0].data[1], 0x53) << "kind + set + first";
    EXPECT_EQ(kstest::HexDump(got[1].data), "5E 20 00 1A")
        << "the closing request with the count 26";

    peer.clear();
    Bytes more = pattern(27, 2);
    ASSERT_EQ(link.setFactoryData(4, 3, more.data(), more.size()), qErrNone);
    ASSERT_TRUE(peer.waitReceived(3, 1000));
    got = peer.received();
    EXPECT_EQ(got[1].data.size(), 3u);
    EXPECT_EQ(got[1].data[1], 0x13) << "no first flag after the first packet";

    peer.setResponder([](const RxPacket& p) -> Bytes {
        return p.data[0] == 94 ? wire(p.address, {94, uint8_t((p.data[1] & 0x0F) + 0x80), 14})
                               : Bytes();
    });
    EXPECT_EQ(link.setFactoryData(4, 3, data.data(), data.size()), qErrSize)
        << "an error reply of 3 bytes ends as a size error";
    peer.setResponder(nullptr);
    uint8_t back[8];
    size_t received = 0;
    EXPECT_EQ(link.getFactoryData(4, 3, back, sizeof back, &received), qErrTimeout);
}

// The logger thread writes the file on its own time, and a request is
// recorded after the pause that follows its write, so its reply may be
// recorded first: wait (bounded) until the file holds every text looked for,
// then stop the log.
bool LogFileHolds(const std::string& path, const std::vector<std::string>& texts) {
    return kstest::WaitUntil(
        [&] {
            std::string file = kstest::ReadFile(path);
            for (const std::string& text : texts)
                if (file.find(text) == std::string::npos)
                    return false;
            return true;
        },
        5000);
}

TEST_F(SimStore, PacketLogWritesStartAndTheTraffic) {
    kstest::TempDir dir("objlayer-log");
    std::string path = dir / "packets.log";
    ASSERT_EQ(link.enablePacketLog(path.c_str()), qErrNone);
    size_t size = 0;
    ASSERT_EQ(link.storeSlotSize(4, 0, 0, &size), qErrNone);
    const std::string request = "6 > 0x4 0x4 0x4 0x2 0x0 0x0 \r\n";
    const std::string reply = "8 < 0x4 0x6 0x4 0x2 0x0 0x0 ";
    EXPECT_TRUE(LogFileHolds(path, {request, reply})) << kstest::ReadFile(path);
    ASSERT_EQ(link.disablePacketLog(), qErrNone);
    std::string text = kstest::ReadFile(path);
    EXPECT_NE(text.find(std::string("6 < START\0\r\n", 12)), std::string::npos) << text;
    EXPECT_NE(text.find(request), std::string::npos) << "the size request\n" << text;
    EXPECT_NE(text.find(reply), std::string::npos) << "its reply\n" << text;
    EXPECT_EQ(link.disablePacketLog(), qErrNone);

    // After a reconnect the log follows the new engine link.
    ASSERT_EQ(link.disconnect(), qErrNone);
    ASSERT_EQ(link.connect(), qErrNone);
    ASSERT_EQ(link.enablePacketLog(path.c_str()), qErrNone);
    ASSERT_EQ(link.storeSlotCapacity(4, 1, 3, &size), qErrNone);
    EXPECT_TRUE(LogFileHolds(path, {"6 > 0x4 0x4 0x4 0x1 0x1 0x3 \r\n"}))
        << "the capacity request\n"
        << kstest::ReadFile(path);
    ASSERT_EQ(link.disablePacketLog(), qErrNone);
}
