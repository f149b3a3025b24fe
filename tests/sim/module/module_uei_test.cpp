// UEI get, set and call of the system options, error replies, multi-packet
// byte values, DESCRIBE queries and stream control, all as raw packets.
#include <gtest/gtest.h>

#include "bytes.h"
#include "modsim_harness.h"

using namespace modsim_test;

namespace {

struct Exchange {
    const char* what;
    const char* request; // data bytes to module 4
    const char* reply;   // whole answer, address and length included
};

void runExchanges(Harness& h, const std::vector<Exchange>& table) {
    for (const Exchange& e : table) {
        SCOPED_TRACE(e.what);
        EXPECT_EQ(kstest::HexDump(h.req(hx(e.request))), e.reply);
    }
}

} // namespace

TEST(ModuleUei, GetsOfTheSystemOptionsAnswerTheirValueBigEndian) {
    Harness h;
    runExchanges(h,
                 {
                     {"module address", "03 41 20", "04 04 03 01 00 04"},
                     {"router", "03 42 20", "04 04 03 02 00 00"},
                     {"version", "03 47 20", "04 07 03 07 00 12 00 00 03"},
                     {"model", "03 48 20", "04 04 03 08 00 11"},
                     {"serial", "03 49 20", "04 07 03 09 00 40 F5 84 9A"},
                     {"input voltage", "03 4C 20", "04 07 03 0C 00 00 00 2E E0"},
                     {"min temperature, signed", "03 5C 20", "04 07 03 1C 00 FF FF FF FB"},
                     {"uid word 0", "03 67 20 00", "04 07 03 27 00 A0 A1 A2 A3"},
                     {"uid word 3", "03 67 20 03", "04 07 03 27 00 D0 D1 D2 D3"},
                     {"uid without subindex is word 0", "03 67 20", "04 07 03 27 00 A0 A1 A2 A3"},
                     {"power source", "03 5D 20", "04 04 03 1D 00 01"},
                 });
}

TEST(ModuleUei, BadRequestsGetErrorRepliesWithTheCodeInByte3) {
    Harness h;
    runExchanges(h, {
                        {"unknown option get", "03 45 20", "04 04 03 05 80 1D"},
                        {"unknown option set", "03 85 20 01", "04 04 03 C5 80 1D"},
                        {"unknown option 63", "03 7F 20", "04 04 03 3F 80 1D"},
                        {"read-only serial", "03 89 20 00 00 00 01", "04 04 03 C9 80 0C"},
                        {"read-only module address", "03 81 20 06", "04 04 03 C1 80 0C"},
                        {"LED value 2", "03 84 20 02", "04 04 03 C4 80 0D"},
                        {"routeToMe value 7", "03 94 20 07", "04 04 03 D4 80 0D"},
                        {"odd router address", "03 82 20 03", "04 04 03 C2 80 0D"},
                        {"LED set with 32 bits", "03 84 20 00 00 00 01", "04 04 03 C4 80 0E"},
                        {"LED set without value", "03 84 20", "04 04 03 C4 80 0E"},
                        {"uid subindex 4", "03 67 20 04", "04 04 03 27 80 1A"},
                        {"subindex on a plain option", "03 49 20 01", "04 04 03 09 80 1A"},
                        {"entity index 1", "03 49 21", "04 04 03 09 81 1C"},
                        {"get of a call", "03 4A 20", "04 04 03 0A 80 07"},
                        {"short command", "03 49", "04 04 03 49 80 1B"},
                    });
    EXPECT_TRUE(h.st().optionSets.empty());
}

TEST(ModuleUei, SetsAreAcknowledgedAndReadBack) {
    Harness h;
    runExchanges(h, {
                        {"LED on", "03 84 20 01", "04 03 03 C4 00"},
                        {"LED reads 1", "03 44 20", "04 04 03 04 00 01"},
                        {"LED with subindex 0", "03 84 20 00 00", "04 03 03 C4 00"},
                        {"LED reads 0", "03 44 20", "04 04 03 04 00 00"},
                        {"power limit max", "03 A2 20 00 00 12 34", "04 03 03 E2 00"},
                        {"power limit max reads", "03 62 20", "04 07 03 22 00 00 00 12 34"},
                        {"power limit max too high", "03 A2 20 00 01 86 A1", "04 04 03 E2 80 0D"},
                        {"link interface", "03 A6 20 02", "04 03 03 E6 00"},
                        {"save", "03 8A 20", "04 03 03 CA 00"},
                        {"log events", "03 98 20", "04 03 03 D8 00"},
                    });
    auto st = h.st();
    EXPECT_EQ(st.options[34], 0x1234u);
    EXPECT_EQ(st.optionSets[4], 2u);
    EXPECT_EQ(st.optionSets[10], 1u);
}

TEST(ModuleUei, NameTravelsInChunksInBothDirections) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 60 20"))),
              "04 04 03 20 00 00");                     // empty name: one packet
    std::string name = "bench module with a long name"; // 29 bytes
    Bytes first = hx("03 A0 20"), second = hx("03 A0 20");
    first.insert(first.end(), name.begin(), name.begin() + 24);
    first.push_back(0x80);
    second.insert(second.end(), name.begin() + 24, name.end());
    second.push_back(0x01);
    EXPECT_EQ(kstest::HexDump(h.req(first)), ""); // one acknowledgement for the whole value
    EXPECT_EQ(kstest::HexDump(h.req(second)), "04 03 03 E0 00");
    EXPECT_EQ(h.st().label, name);
    auto ps = packets(h.req(hx("03 60 20")));
    ASSERT_EQ(ps.size(), 2u);
    EXPECT_BYTES(cat(cat(hx("04 1C 03 20 00"), Bytes(name.begin(), name.begin() + 24)), hx("80")),
                 ps[0]);
    EXPECT_BYTES(cat(cat(hx("04 09 03 20 00"), Bytes(name.begin() + 24, name.end())), hx("01")),
                 ps[1]);
}

TEST(ModuleUei, BrokenChunkSequencesAndOversizedValuesAreRefused) {
    Harness h;
    Bytes chunk =
        hx("03 A0 20 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41 41");
    EXPECT_EQ(kstest::HexDump(h.req(cat(chunk, hx("80")))), "");
    EXPECT_EQ(kstest::HexDump(h.req(cat(chunk, hx("82")))),
              "04 04 03 E0 80 18"); // chunk 1 is missing
    h.req(cat(chunk, hx("80")));
    h.req(cat(chunk, hx("81")));
    EXPECT_EQ(kstest::HexDump(h.req(cat(chunk, hx("02")))),
              "04 04 03 E0 80 0E"); // 72 bytes: too long
    EXPECT_EQ(h.st().label, "");
}

TEST(ModuleUei, Option31CarriesAByteAndAConfigurationArray) {
    Harness h;
    runExchanges(
        h, {
               {"behaviour byte set", "03 9F 20 02", "04 03 03 DF 00"},
               {"behaviour byte get (subindex form)", "03 5F 20 00", "04 04 03 1F 00 02"},
               {"configuration set: two values", "03 9F 20 00 00 00 01 00 00 00 02 00",
                "04 03 03 DF 00"},
               {"configuration get", "03 5F 20", "04 0C 03 1F 00 00 00 00 01 00 00 00 02 00"},
               {"configuration of 6 bytes", "03 9F 20 01 02 03 04 05 06 00", "04 04 03 DF 80 0E"},
           });
    EXPECT_EQ(kstest::HexDump(h.st().powerConfig), "00 00 00 01 00 00 00 02");
}

TEST(ModuleUei, DescribeQueries) {
    Harness h;
    runExchanges(h, {
                        {"build number", "49 FF", "04 06 49 FF 00 00 04 D2"},
                        {"hasUEI get serial", "49 01 03 09 00 40", "04 06 49 01 03 09 00 00"},
                        {"hasUEI set serial", "49 01 03 09 00 80", "04 06 49 01 03 09 00 0C"},
                        {"hasUEI set LED", "49 01 03 04 00 80", "04 06 49 01 03 04 00 00"},
                        {"hasUEI unknown option", "49 01 03 05 00 00", "04 06 49 01 03 05 00 1D"},
                        {"hasUEI get of a call", "49 01 03 0B 00 40", "04 06 49 01 03 0B 00 07"},
                        {"hasUEI unknown class", "49 01 4D 01 00 00", "04 06 49 01 4D 01 00 1C"},
                        {"hasUEI stream subscribe", "49 01 5D 01 00 80", "04 06 49 01 5D 01 00 00"},
                        {"class quantity system", "49 04 03", "04 04 49 04 03 01"},
                        {"class quantity unknown", "49 04 4D", "04 04 49 04 4D 00"},
                        {"entity group", "49 06 03 00", "04 05 49 06 03 00 00"},
                    });
    auto ps = packets(h.req(hx("49 05 03 00")));
    ASSERT_EQ(ps.size(), 1u);
    ASSERT_EQ(ps[0].size(), 7u);
    EXPECT_GT(ps[0][6], 30); // the system entity has all its options
}

TEST(ModuleUei, StreamSubscriptionsSendTimedSamples) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.req(hx("5D 41 20"))), "04 04 5D 01 00 00");
    EXPECT_EQ(kstest::HexDump(h.req(hx("5D 81 20 04 03 08 00"))), "04 03 5D C1 00");
    EXPECT_EQ(kstest::HexDump(h.req(hx("5D 41 20"))), "04 04 5D 01 00 01");
    auto ps = packets(h.xfer({}, 25));
    ASSERT_GE(ps.size(), 2u);
    uint64_t last = 0;
    for (const Bytes& p : ps) {
        // address, length 14, command 3, option 8, streamed flag, type 1, time, value, sequence 0
        ASSERT_EQ(p.size(), 16u) << kstest::HexDump(p);
        EXPECT_EQ(kstest::HexDump(Bytes(p.begin(), p.begin() + 6)), "04 0E 03 08 40 01");
        EXPECT_EQ(p[14], 0x11);
        EXPECT_EQ(p[15], 0x00);
        uint64_t ts = 0;
        for (int i = 6; i < 14; ++i)
            ts = (ts << 8) | p[size_t(i)];
        if (last) {
            EXPECT_EQ(ts - last, 10000u); // 10 ms apart, in microseconds
        }
        last = ts;
    }
    EXPECT_EQ(kstest::HexDump(h.req(hx("5D 82 20 04 03 08 00"))), "04 03 5D C2 00");
    h.drain();
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 30)), "");
}

TEST(ModuleUei, SubindexedAndWildcardStreams) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.req(hx("5D 81 20 04 03 27 00"))), "04 03 5D C1 00");
    auto ps = packets(h.xfer({}, 11));
    ASSERT_EQ(ps.size(), 4u);
    for (uint8_t sub = 0; sub < 4; ++sub) {
        const Bytes& p = ps[sub];
        ASSERT_EQ(p.size(), 20u) << kstest::HexDump(p); // 18 data bytes for type 7
        EXPECT_BYTES(Bytes({4, 18, 3, 0x27, 0x40, 7, sub}), Bytes(p.begin(), p.begin() + 7));
        EXPECT_EQ(p[15], uint8_t(0xA0 + 0x10 * sub));
    }
    EXPECT_EQ(kstest::HexDump(h.req(hx("5D 82 20 04 FF FF FF"))), "04 03 5D C2 00");
    EXPECT_TRUE(h.st().subscriptions.empty());
    runExchanges(h, {
                        {"another module's address", "5D 81 20 06 03 08 00", "04 04 5D C1 80 1C"},
                        {"no value", "5D 81 20", "04 04 5D C1 80 0E"},
                        {"unknown stream option", "5D 83 20 04 03 08 00", "04 04 5D C3 80 1D"},
                    });
    EXPECT_EQ(kstest::HexDump(h.req(hx("5D 81 20 04 03 FF 00"))), "04 03 5D C1 00");
    ps = packets(h.xfer({}, 11));
    EXPECT_GT(ps.size(), 20u); // every readable option
}
