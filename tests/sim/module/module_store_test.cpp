// Store slots and factory data of the simulated module, as raw packets.
#include <gtest/gtest.h>

#include "bytes.h"
#include "modsim_harness.h"

using namespace modsim_test;

namespace {

Bytes seq(size_t n, uint8_t first) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(first + i);
    return b;
}

uint8_t sum8(const Bytes& b) {
    uint8_t s = 0;
    for (uint8_t x : b)
        s = uint8_t(s + x);
    return s;
}

} // namespace

TEST(ModuleStore, SlotWriteThenReadRoundTrips) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.req(hx("04 01 01 02"))),
              "04 06 04 01 01 02 04 00"); // capacity 1024
    EXPECT_EQ(kstest::HexDump(h.req(hx("04 02 01 02"))), "04 06 04 02 01 02 00 00");
    Bytes open = h.req(hx("04 04 01 02"));
    ASSERT_EQ(open.size(), 7u) << kstest::HexDump(open);
    EXPECT_EQ(kstest::HexDump(Bytes(open.begin(), open.begin() + 6)), "04 05 04 04 01 02");
    uint8_t handle = open[6];
    EXPECT_NE(handle, 255);
    const Bytes data = seq(26, 0xF0);
    const Bytes a(data.begin(), data.begin() + 25), b(data.begin() + 25, data.end());
    EXPECT_BYTES(Bytes({4, 4, 4, 7, handle, sum8(a)}), h.req(cat(Bytes{4, 7, handle}, a)));
    EXPECT_BYTES(Bytes({4, 4, 4, 7, handle, sum8(b)}), h.req(cat(Bytes{4, 7, handle}, b)));
    EXPECT_BYTES(Bytes({4, 4, 4, 8, handle, 0}), h.req(Bytes{4, 8, handle}));
    EXPECT_EQ(kstest::HexDump(h.req(hx("04 02 01 02"))), "04 06 04 02 01 02 00 1A");
    EXPECT_BYTES(data, h.st().slots.at({1, 2}));

    open = h.req(hx("04 03 01 02"));
    ASSERT_EQ(open.size(), 7u);
    uint8_t rh = open[6];
    EXPECT_BYTES(cat(Bytes{4, 28, 4, 6, rh}, a), h.req(Bytes{4, 6, rh}));
    EXPECT_BYTES(cat(Bytes{4, 4, 4, 6, rh}, b), h.req(Bytes{4, 6, rh}));
    EXPECT_BYTES(Bytes({4, 4, 4, 8, rh, 0}), h.req(Bytes{4, 8, rh}));
}

TEST(ModuleStore, SlotErrorsCarryTheirCodeAfterTheAddressingBytes) {
    auto cfg = baseConfig();
    cfg.slotCapacity = 30;
    Harness h(cfg);
    Bytes open = h.req(hx("04 04 00 00"));
    ASSERT_EQ(open.size(), 7u);
    uint8_t w = open[6];
    struct Case {
        const char* what;
        Bytes request;
        Bytes reply;
    };
    const Case cases[] = {
        {"unknown store", hx("04 01 09 00"), hx("04 05 04 81 09 00 03")},
        {"unknown slot", hx("04 03 00 09"), hx("04 05 04 83 00 09 03")},
        {"slot open for writing is busy", hx("04 03 00 00"), hx("04 05 04 83 00 00 05")},
        {"unknown handle", hx("04 06 C8"), hx("04 04 04 86 C8 02")},
        {"read on a write handle", Bytes{4, 6, w}, Bytes{4, 4, 4, 0x86, w, 7}},
        {"write past the capacity", cat(Bytes{4, 7, w}, seq(25, 0)),
         Bytes{4, 4, 4, 7, w, sum8(seq(25, 0))}},
        {"write past the capacity (2)", cat(Bytes{4, 7, w}, seq(6, 0)),
         Bytes{4, 4, 4, 0x87, w, 0x0F}},
        {"write without data", Bytes{4, 7, w}, Bytes{4, 4, 4, 0x87, w, 0x0E}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_BYTES(c.reply, h.req(c.request));
    }
    EXPECT_EQ(h.st().slots.at({0, 0}).size(), 25u);
}

TEST(ModuleStore, FactoryDataIsSetAndGotByKindWithClosingCounts) {
    Harness h;
    const Bytes data = seq(26, 1);
    // set: one full packet (28 data bytes), then the closing count
    EXPECT_EQ(kstest::HexDump(h.req(cat(hx("5E 53"), data))), "04 02 5E 03");
    EXPECT_EQ(kstest::HexDump(h.req(hx("5E 20 00 1A"))), "04 02 5E 00");
    EXPECT_BYTES(data, h.st().factory.at(3));
    // get: a full packet, then an empty one ends the transfer
    EXPECT_BYTES(cat(hx("04 1C 5E 03"), data), h.req(hx("5E 43")));
    EXPECT_EQ(kstest::HexDump(h.req(hx("5E 03"))), "04 02 5E 03");
    EXPECT_EQ(kstest::HexDump(h.req(hx("5E 20 00 1A"))), "04 02 5E 00");
    // a set of 30 bytes in two packets
    Bytes more = seq(30, 0x40);
    EXPECT_EQ(kstest::HexDump(h.req(cat(hx("5E 57"), Bytes(more.begin(), more.begin() + 26)))),
              "04 02 5E 07");
    EXPECT_EQ(kstest::HexDump(h.req(cat(hx("5E 17"), Bytes(more.begin() + 26, more.end())))),
              "04 02 5E 07");
    EXPECT_EQ(kstest::HexDump(h.req(hx("5E 20 00 1E"))), "04 02 5E 00");
    EXPECT_BYTES(more, h.st().factory.at(7));
    EXPECT_EQ(h.st().factoryCloseCounts, (std::vector<uint16_t>{26, 26, 30}));
}

TEST(ModuleStore, FactoryTransfersOutOfStepAreRefused) {
    Harness h;
    struct Case {
        const char* what;
        const char* request;
        const char* reply;
    };
    const Case cases[] = {
        {"close without a transfer", "5E 20 00 00", "04 03 5E 80 07"},
        {"continuation without a first request", "5E 13 01", "04 03 5E 83 07"},
        {"set", "5E 52 AA BB", "04 02 5E 02"},
        {"close with the wrong count", "5E 20 00 03", "04 03 5E 80 0E"},
        {"nothing was stored", "5E 42", "04 02 5E 02"},
        {"close of the empty get", "5E 20 00 00", "04 02 5E 00"},
        {"short close", "5E 20 00", "04 03 5E 80 0E"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        EXPECT_EQ(kstest::HexDump(h.req(hx(c.request))), c.reply);
    }
    EXPECT_EQ(h.st().factory.count(2) ? h.st().factory.at(2).size() : 0u, 0u);
}
