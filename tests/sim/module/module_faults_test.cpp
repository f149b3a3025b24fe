// Every fault switch of the simulated module, each shown to do what it says.
#include <gtest/gtest.h>

#include "bytes.h"
#include "modsim/BenchConfig.h"
#include "modsim_harness.h"

using namespace modsim_test;

namespace {

const Bytes kSync = hx("AD 00 AD 00 AD 00 AD 00 AD 00 AD 00");

Harness withFaults(void (*set)(modsim::Faults&)) {
    auto cfg = baseConfig();
    set(cfg.faults);
    return Harness(cfg);
}

// INIT, PREPARE and LOAD of a 3-byte loader; back in the loader when done.
void intoLoader(Harness& h) {
    h.req(hx("5F 00"));
    h.req(hx("5F 03 00 00 00 00 00"));
    h.req(hx("5F 01 01 02 03"));
    h.req(hx("5F 02"));
    h.step(100);
}

} // namespace

TEST(ModuleFaults, OutputByteFaultsAtAPositionOrRate) {
    struct Case {
        const char* name;
        void (*set)(modsim::Faults&);
        const char* out;
        const char* fired;
        bool once; // a position fault fires once: the next answer is whole
    };
    const Case cases[] = {
        {"drop byte 0", [](modsim::Faults& f) { f.dropOutAt = 0; }, "00 04 00", "drop-out", true},
        {"drop byte 3", [](modsim::Faults& f) { f.dropOutAt = 3; }, "04 00 04", "drop-out", true},
        {"corrupt byte 1", [](modsim::Faults& f) { f.corruptOutAt = 1; }, "04 FF 04 00",
         "corrupt-out", true},
        {"drop all", [](modsim::Faults& f) { f.dropOutPerMille = 1000; }, "", "drop-out", false},
        {"corrupt all", [](modsim::Faults& f) { f.corruptOutPerMille = 1000; }, "FB FF FB FF",
         "corrupt-out", false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h = withFaults(c.set);
        EXPECT_EQ(kstest::HexDump(h.xfer(kSync)), c.out);
        EXPECT_GE(h.st().faultsFired[c.fired], 1u);
        if (c.once) {
            EXPECT_EQ(kstest::HexDump(h.xfer(kSync)), "04 00 04 00");
        }
    }
}

TEST(ModuleFaults, DropRateLosesSomeButNotAllBytes) {
    Harness h = withFaults([](modsim::Faults& f) {
        f.dropOutPerMille = 500;
        f.seed = 7;
    });
    Bytes out;
    for (int i = 0; i < 50; ++i)
        out = cat(out, h.xfer(kSync));
    unsigned dropped = h.st().faultsFired["drop-out"];
    EXPECT_EQ(out.size() + dropped, 200u);
    EXPECT_GT(dropped, 40u);
    EXPECT_LT(dropped, 160u);
}

TEST(ModuleFaults, DroppedInputByteForcesResynchronisation) {
    Harness h = withFaults([](modsim::Faults& f) { f.dropInAt = 0; });
    // without its first byte, 04 03 17 05 01 starts with the odd byte 03
    EXPECT_EQ(kstest::HexDump(h.xfer(hx("04 03 17 05 01"))), "FF");
    EXPECT_EQ(h.st().framingErrors, 1u);
    EXPECT_EQ(kstest::HexDump(h.xfer(kSync)), "04 00 04 00");
    EXPECT_EQ(kstest::HexDump(h.req(hx("17 01"))), "04 02 17 01");
}

TEST(ModuleFaults, IgnoresTheNthRequestOnly) {
    Harness h = withFaults([](modsim::Faults& f) { f.ignoreNth = 2; });
    EXPECT_EQ(kstest::HexDump(h.req(hx("17 01"))), "04 02 17 01");
    EXPECT_EQ(kstest::HexDump(h.req(hx("17 02"))), "");
    EXPECT_EQ(kstest::HexDump(h.req(hx("17 03"))), "04 02 17 03");
    EXPECT_EQ(h.st().faultsFired["ignore"], 1u);
}

TEST(ModuleFaults, DataAnsweredWithAWrongCountNTimes) {
    Harness h = withFaults([](modsim::Faults& f) { f.dataWrongCount = 2; });
    h.req(hx("5F 00"));
    h.req(hx("5F 03 00 00 00 00 00"));
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 01 0A 0B 0C"))), "04 03 5F 01 02");
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 01 0A 0B 0C"))), "04 03 5F 01 02");
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 01 0A 0B 0C"))), "04 03 5F 01 03");
    EXPECT_EQ(kstest::HexDump(h.st().loaderImages.at(0).data),
              "0A 0B 0C"); // the refused copies are not kept
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 04"))), "04 07 5F 07 00 00 00 00 21");
    EXPECT_EQ(h.st().faultsFired["data-wrong"], 2u);
}

TEST(ModuleFaults, DataAnsweredWithAWrongCountEveryTimeWhenAlways) {
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench("module m address=4 data-wrong=always\n", cfg, err)) << err;
    Harness h(cfg.modules.at(0));
    h.req(hx("5F 00"));
    h.req(hx("5F 03 00 00 00 00 00"));
    for (int i = 0; i < 20; ++i)
        EXPECT_EQ(kstest::HexDump(h.req(hx("5F 01 0A 0B"))), "04 03 5F 01 01");
    EXPECT_EQ(h.st().faultsFired["data-wrong"], 20u);
    EXPECT_TRUE(h.st().loaderImages.at(0).data.empty());
}

TEST(ModuleFaults, StatusFaultsOfTheUpgradeSteps) {
    {
        Harness h = withFaults([](modsim::Faults& f) { f.sumOffByOne = true; });
        h.req(hx("5F 00"));
        h.req(hx("5F 03 00 00 00 00 00"));
        h.req(hx("5F 01 01 02 03"));
        EXPECT_EQ(kstest::HexDump(h.req(hx("5F 04"))), "04 07 5F 07 00 00 00 00 07");
    }
    {
        Harness h = withFaults([](modsim::Faults& f) { f.prepareStatus = 29; });
        h.req(hx("5F 00"));
        EXPECT_EQ(kstest::HexDump(h.req(hx("5F 03 00 00 00 00 00"))), "04 05 5F 07 1D 01 00");
        EXPECT_EQ(h.st().faultsFired["prepare-error"], 1u);
    }
    {
        auto cfg = baseConfig();
        cfg.portion = 0;
        Harness h(cfg);
        h.req(hx("5F 00"));
        EXPECT_EQ(kstest::HexDump(h.req(hx("5F 03 00 00 00 00 00"))), "04 05 5F 07 00 00 00");
        EXPECT_EQ(h.st().faultsFired["portion-zero"], 1u);
    }
    {
        Harness h = withFaults([](modsim::Faults& f) { f.writeStatus = 6; });
        intoLoader(h);
        h.req(hx("5F 03 00 00 00 00 00"));
        h.req(hx("5F 01 01 02 03"));
        EXPECT_EQ(kstest::HexDump(h.req(hx("5F 05 00 03"))), "04 03 5F 07 06");
        EXPECT_TRUE(h.st().firmwareImages.at(0).data.empty());
    }
}

TEST(ModuleFaults, KeepsTheLinkAfterReboot) {
    Harness h = withFaults([](modsim::Faults& f) { f.keepLinkAfterReboot = true; });
    intoLoader(h);
    uint32_t epoch = h.m.linkEpoch();
    h.req(hx("5F 06"));
    h.step(100);
    EXPECT_EQ(h.m.linkEpoch(), epoch);
    EXPECT_TRUE(h.m.present());
    EXPECT_EQ(h.st().mode, modsim::Mode::Firmware);
    EXPECT_EQ(h.st().faultsFired["keep-link"], 1u);
    EXPECT_EQ(kstest::HexDump(h.req(hx("17 01"))), "04 02 17 01");
}

TEST(ModuleFaults, VanishesInTheMiddleOfTheFirmwareForGood) {
    Harness h = withFaults([](modsim::Faults& f) { f.vanishAtFirmwareByte = 30; });
    intoLoader(h);
    h.req(hx("5F 03 00 00 00 00 00"));
    Bytes d = cat(hx("5F 01"), Bytes(26, 0x55));
    EXPECT_EQ(kstest::HexDump(h.req(d)), "04 03 5F 01 1A");
    uint32_t epoch = h.m.linkEpoch();
    EXPECT_EQ(kstest::HexDump(h.req(d)), "");
    EXPECT_EQ(h.m.linkEpoch(), epoch + 1);
    h.step(1000);
    EXPECT_FALSE(h.m.present());
    EXPECT_FALSE(h.m.attach(h.t));
    EXPECT_EQ(h.st().faultsFired["vanish"], 1u);
}

TEST(ModuleFaults, AnswersSlowly) {
    Harness h = withFaults([](modsim::Faults& f) { f.slowMs = 50; });
    EXPECT_EQ(kstest::HexDump(h.req(hx("17 01"), 40)), "");
    EXPECT_EQ(kstest::HexDump(h.xfer({}, 15)), "04 02 17 01");
}

TEST(ModuleFaults, RefusesTheFirstConnections) {
    auto cfg = baseConfig();
    cfg.faults.refuseConnections = 2;
    modsim::Module m(cfg);
    EXPECT_FALSE(m.attach(1000));
    EXPECT_FALSE(m.attach(2000));
    EXPECT_TRUE(m.attach(3000));
    EXPECT_EQ(m.state().faultsFired["refuse"], 2u);
    EXPECT_EQ(m.state().connections, 1u);
}

TEST(ModuleFaults, RefusesToComeBackAfterLoad) {
    Harness h = withFaults([](modsim::Faults& f) { f.noReturnAfterLoad = true; });
    intoLoader(h);
    h.step(1000);
    EXPECT_FALSE(h.m.present());
    EXPECT_EQ(h.st().faultsFired["no-return"], 1u);
    EXPECT_EQ(kstest::HexDump(h.xfer(kSync)), "");
}

TEST(ModuleFaults, SilentOptionsOptionErrorsAndBuildRepliesOfAnotherLength) {
    struct Case {
        const char* name;
        void (*set)(modsim::Faults&);
        const char* request;
        const char* out;
        const char* fired; // null: no fault fires
    };
    const Case cases[] = {
        {"silent get", [](modsim::Faults& f) { f.silentOptions = {8}; }, "03 48 20", "", "silent"},
        {"silent set",
         [](modsim::Faults& f) {
             f.silentOptions = {8, 20};
         },
         "03 94 20 01", "", "silent"},
        {"other options answer", [](modsim::Faults& f) { f.silentOptions = {8}; }, "03 49 20",
         "04 07 03 09 00 40 F5 84 9A", nullptr},
        {"error on get",
         [](modsim::Faults& f) {
             f.optionErrorOption = 20;
             f.optionErrorCode = 12;
         },
         "03 54 20", "04 04 03 14 80 0C", "option-error"},
        {"error on set",
         [](modsim::Faults& f) {
             f.optionErrorOption = 20;
             f.optionErrorCode = 12;
         },
         "03 94 20 01", "04 04 03 D4 80 0C", "option-error"},
        {"short build reply", [](modsim::Faults& f) { f.buildReplyLength = 5; }, "49 FF",
         "04 05 49 FF 00 00 04", "build-reply"},
        {"long build reply", [](modsim::Faults& f) { f.buildReplyLength = 8; }, "49 FF",
         "04 08 49 FF 00 00 04 D2 00 00", "build-reply"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Harness h = withFaults(c.set);
        EXPECT_EQ(kstest::HexDump(h.req(hx(c.request))), c.out);
        if (c.fired)
            EXPECT_EQ(h.st().faultsFired[c.fired], 1u);
        else
            EXPECT_TRUE(h.st().faultsFired.empty());
        EXPECT_FALSE(h.st().routing); // a refused routeToMe(1) changes nothing
    }
}
