// The simulated module's link layer, driven with raw bytes: sync, address
// query, link start/stop, heartbeats, framing errors and addressing.
#include <gtest/gtest.h>

#include "bytes.h"
#include "modsim_harness.h"

using namespace modsim_test;

TEST(ModuleLink, AnswersTheSyncRequestOnceWithItsAddressTwice) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.xfer(hx("AD 00 AD 00 AD 00 AD 00 AD 00 AD 00"))), "04 00 04 00");
    EXPECT_EQ(h.st().syncs, 1u);
    EXPECT_EQ(h.st().addressQueries, 0u);
}

TEST(ModuleLink, SyncRequestSplitAcrossReadsGivesOneAnswer) {
    Harness h;
    Bytes out = h.xfer(hx("AD 00 AD"));
    out = cat(out, h.xfer(hx("00 AD 00 AD 00")));
    out = cat(out, h.xfer(hx("AD 00 AD 00")));
    EXPECT_EQ(kstest::HexDump(out), "04 00 04 00");
}

TEST(ModuleLink, ShortSyncRunEndsAtSilenceOrAtTheNextPacket) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.xfer(hx("AD 00 AD 00 AD 00"), 5)), "04 00 04 00");
    // a sync run cut short by a packet: answered, then the packet is handled
    Bytes out = h.xfer(cat(hx("AD 00 AD 00"), pkt(4, hx("17 55"))));
    EXPECT_EQ(kstest::HexDump(out), "04 00 04 00 04 02 17 55");
}

TEST(ModuleLink, AddressQueryGetsAnEmptyPacketFromItsOwnAddress) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.xfer(hx("AD 00"), 5)), "04 00");
    EXPECT_EQ(h.st().addressQueries, 1u);
    // an address query directly followed by a request
    EXPECT_EQ(kstest::HexDump(h.xfer(cat(hx("AD 00"), pkt(4, hx("17 01"))))), "04 00 04 02 17 01");
}

TEST(ModuleLink, BytesThatBreakTheGrammarCostAlignmentUntilTheNextSync) {
    struct Case {
        const char* name;
        const char* bad;
    };
    const Case cases[] = {
        {"odd address", "05"},
        {"zero address", "00"},
        {"length above 28", "04 1D"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h;
        // an odd byte tells the host that alignment is lost
        EXPECT_EQ(kstest::HexDump(h.xfer(hx(c.bad))), "FF");
        EXPECT_EQ(h.st().framingErrors, 1u);
        // requests are not answered until the host syncs again
        EXPECT_EQ(kstest::HexDump(h.req(hx("17 01"))), "");
        EXPECT_EQ(kstest::HexDump(h.xfer(hx("AD 00 AD 00 AD 00 AD 00 AD 00 AD 00"))),
                  "04 00 04 00");
        EXPECT_EQ(kstest::HexDump(h.req(hx("17 01"))), "04 02 17 01");
    }
}

TEST(ModuleLink, LinkStartStartsHeartbeatsAndTheRepliesAreChecked) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 150)), ""); // no heartbeat before the link starts
    h.xfer(hx("AF 01 01"));
    EXPECT_EQ(h.st().linkStarts, 1u);
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 100)), "04 02 00 00");
    h.xfer(pkt(4, hx("00 02")));
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 100)), "04 02 00 01");
    h.xfer(pkt(4, hx("00 02"))); // wrong: 1 + 2 is 3
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 100)), "04 02 00 00");
    // not answered before the next one: missed
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 100)), "04 02 00 01");
    auto st = h.st();
    EXPECT_EQ(st.heartbeatsSent, 4u);
    EXPECT_EQ(st.heartbeatsAnswered, 1u);
    EXPECT_EQ(st.heartbeatsBad, 1u);
    EXPECT_EQ(st.heartbeatsMissed, 1u);
    h.xfer(hx("AF 01 00"));
    EXPECT_EQ(h.st().linkStops, 1u);
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 250)), "");
}

TEST(ModuleLink, HeartbeatIntervalFollowsOption3) {
    Harness h;
    h.xfer(hx("AF 01 01"));
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 83 20 03"))), "04 03 03 C3 00"); // 300 ms
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 290)), "");
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 15)), "04 02 00 00");
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 43 20"))), "04 04 03 03 00 03");
}

TEST(ModuleLink, PacketsForOtherAddressesAreNotAnswered) {
    Harness h;
    EXPECT_EQ(kstest::HexDump(h.xfer(pkt(6, hx("17 01")))), "");
    EXPECT_EQ(kstest::HexDump(h.xfer(pkt(0xAF, hx("17")))), "");
    EXPECT_EQ(h.st().ignoredPackets, 1u);
    EXPECT_EQ(kstest::HexDump(h.req(hx("17 01 02"))), "04 03 17 01 02");
}

TEST(ModuleLink, DebugEchoesUpToTheLargestPacket) {
    Harness h;
    Bytes data{23};
    for (uint8_t i = 0; i < 27; ++i)
        data.push_back(uint8_t(0xA0 + i));
    EXPECT_BYTES(pkt(4, data), h.req(data));
    EXPECT_EQ(kstest::HexDump(h.req(hx("17"))), "04 01 17");
}

namespace {

// A router (the harness's module, address 4) with one child at address 8.
struct RouterWithChild {
    Harness h;
    modsim::Module child;
    explicit RouterWithChild(unsigned forwardMs = 0) : h(router(forwardMs)), child(childConfig()) {
        h.m.addChild(&child);
    }
    static modsim::ModuleConfig router(unsigned forwardMs) {
        modsim::ModuleConfig c = baseConfig();
        c.forwardMs = forwardMs;
        return c;
    }
    static modsim::ModuleConfig childConfig() {
        modsim::ModuleConfig c = baseConfig();
        c.name = "child";
        c.address = 8;
        c.serial = 0x0000C0DE;
        return c;
    }
};

} // namespace

TEST(ModuleLink, RouterForwardsForItsChildrenOnlyWhileRouting) {
    RouterWithChild net;
    Harness& h = net.h;
    modsim::Module& child = net.child;
    const Bytes getSerial = hx("03 49 20");
    EXPECT_EQ(kstest::HexDump(h.xfer(pkt(8, getSerial))), "");
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 94 20 01"))), "04 03 03 D4 00"); // routeToMe(1)
    EXPECT_EQ(kstest::HexDump(h.xfer(pkt(8, getSerial))), "08 07 03 09 00 00 00 C0 DE");
    EXPECT_EQ(kstest::HexDump(h.xfer(pkt(8, hx("03 42 20")))),
              "08 04 03 02 00 04"); // child's router is 4
    EXPECT_EQ(kstest::HexDump(h.xfer(pkt(8, hx("49 FF")))), "08 06 49 FF 00 00 04 D2");
    EXPECT_EQ(kstest::HexDump(h.xfer(pkt(6, getSerial))), ""); // no module at 6
    EXPECT_EQ(h.st().forwarded, 3u);
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 94 20 00"))), "04 03 03 D4 00"); // routeToMe(0)
    EXPECT_EQ(kstest::HexDump(h.xfer(pkt(8, getSerial))), "");
    EXPECT_EQ(child.state().requests, 3u);
}

TEST(ModuleLink, RouterWithAForwardingDelayPassesPacketsOnOneAfterAnother) {
    RouterWithChild net(10);
    Harness& h = net.h;
    modsim::Module& child = net.child;
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 94 20 01"))),
              "04 03 03 D4 00"); // its own packets: at once
    // serial of 8, a packet for nobody (6), model of 8: 10 ms each, in turn
    Bytes three = cat(cat(pkt(8, hx("03 49 20")), pkt(6, hx("03 49 20"))), pkt(8, hx("03 48 20")));
    EXPECT_EQ(kstest::HexDump(h.xfer(three, 9)), "");
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 1)), "08 07 03 09 00 00 00 C0 DE");
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 10)), "");
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 10)), "08 04 03 08 00 11");
    EXPECT_EQ(h.st().forwardPeak, 3u);
    EXPECT_EQ(h.st().forwarded, 2u);
    // Routing switched off while packets wait: they are not passed on.
    h.xfer(cat(pkt(8, hx("03 49 20")), pkt(8, hx("03 49 20"))));
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 94 20 00"))), "04 03 03 D4 00");
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 40)), "");
    EXPECT_EQ(child.state().requests, 2u);
}

TEST(ModuleLink, ResetDropsTheLinkAndComesBackWithSavedOptions) {
    Harness h;
    h.req(hx("03 84 20 01")); // LED on
    h.req(hx("03 86 20 05")); // boot slot 5
    h.req(hx("03 8A 20"));    // save
    h.req(hx("03 84 20 00")); // LED off, not saved
    uint32_t epoch = h.m.linkEpoch();
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 8B 20"))), "04 03 03 CB 00");
    h.step(25);
    EXPECT_EQ(h.m.linkEpoch(), epoch + 1);
    EXPECT_FALSE(h.m.present());
    EXPECT_FALSE(h.m.attach(h.t));
    EXPECT_EQ(kstest::HexDump(h.req(hx("17 01"))), ""); // away: nothing answers
    h.step(60);
    EXPECT_TRUE(h.m.present());
    EXPECT_TRUE(h.m.attach(h.t));
    EXPECT_EQ(h.st().restarts, 1u);
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 44 20"))), "04 04 03 04 00 01");
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 46 20"))), "04 04 03 06 00 05");
}

TEST(ModuleLink, ConfiguredHeartbeatIntervalSurvivesAReset) {
    auto cfg = baseConfig();
    cfg.heartbeatMs = 250;
    Harness h(cfg);
    h.req(hx("03 8B 20")); // reset
    h.step(100);
    ASSERT_TRUE(h.m.present());
    h.xfer(hx("AF 01 01"));
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 240)), "");
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 15)), "04 02 00 00");
}
