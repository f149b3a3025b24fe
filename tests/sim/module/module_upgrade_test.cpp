// The upgrade protocol of the simulated module, step by step as raw packets,
// including LOAD and REBOOT with the link dropping and coming back.
#include <gtest/gtest.h>

#include <string>

#include "bytes.h"
#include "modsim_harness.h"

using namespace modsim_test;

namespace {

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(seed + i * 7);
    return b;
}

uint32_t sum(const Bytes& b) {
    uint32_t s = 0;
    for (uint8_t x : b)
        s += x;
    return s;
}

// Sends `image` as DATA packets of at most 26 bytes; each must be accepted whole.
void sendData(Harness& h, const Bytes& image) {
    for (size_t off = 0; off < image.size(); off += 26) {
        size_t n = std::min<size_t>(26, image.size() - off);
        Bytes d{0x5F, 0x01};
        d.insert(d.end(), image.begin() + long(off), image.begin() + long(off + n));
        ASSERT_BYTES(Bytes({4, 3, 0x5F, 0x01, uint8_t(n)}), h.req(d));
    }
}

void expectSum(Harness& h, uint32_t s) {
    EXPECT_BYTES(cat(hx("04 07 5F 07 00"), be32(s)), h.req(hx("5F 04")));
}

// INIT, one loader block and LOAD; leaves the module running its loader.
void loadLoader(Harness& h, const Bytes& loader) {
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 00"))), "04 06 5F 00 10 00 00 00");
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 03 05 00 00 40 00"))), "04 05 5F 07 00 01 00");
    sendData(h, loader);
    expectSum(h, sum(loader));
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 02"))), "04 02 5F 02");
}

// One firmware portion: DATA, SUM and WRITE.
void writePortion(Harness& h, const Bytes& part) {
    sendData(h, part);
    expectSum(h, sum(part));
    Bytes w{0x5F, 0x05, uint8_t(part.size() >> 8), uint8_t(part.size())};
    EXPECT_EQ(kstest::HexDump(h.req(w)), "04 03 5F 07 00");
}

Bytes descriptor(const char* build, const char* version, const char* serial, const char* model) {
    Bytes d;
    for (const char* f : {build, version, serial, model}) {
        std::string s(f);
        s.resize(16, ' ');
        d.insert(d.end(), s.begin(), s.end());
    }
    return d;
}

} // namespace

TEST(ModuleUpgrade, LoaderAndFirmwareAreKeptExactlyAsReceived) {
    Harness h;
    const Bytes loader = pattern(60, 1), fw = pattern(300, 9);
    loadLoader(h, loader);
    uint32_t epoch = h.m.linkEpoch();
    h.step(25);
    EXPECT_EQ(h.m.linkEpoch(), epoch + 1); // the loader starts: the link drops
    EXPECT_FALSE(h.m.present());
    h.step(60);
    ASSERT_TRUE(h.m.present());
    EXPECT_EQ(h.st().mode, modsim::Mode::Loader);
    EXPECT_EQ(h.m.presentedSerial(), 0x40F5849Au);
    ASSERT_TRUE(h.m.attach(h.t));

    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 03 02 00 00 01 00"))), "04 05 5F 07 00 01 00");
    writePortion(h, Bytes(fw.begin(), fw.begin() + 256));
    writePortion(h, Bytes(fw.begin() + 256, fw.end()));
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 06"))), ""); // REBOOT has no answer
    h.step(25);
    EXPECT_FALSE(h.m.present());
    h.step(60);
    ASSERT_TRUE(h.m.present());

    auto st = h.st();
    EXPECT_EQ(st.mode, modsim::Mode::Firmware);
    ASSERT_EQ(st.loaderImages.size(), 1u);
    EXPECT_EQ(st.loaderImages[0].flags, 5);
    EXPECT_EQ(st.loaderImages[0].address, 0x4000u);
    EXPECT_BYTES(loader, st.loaderImages[0].data);
    ASSERT_EQ(st.runningFirmware.size(), 1u);
    EXPECT_EQ(st.runningFirmware[0].flags, 2);
    EXPECT_EQ(st.runningFirmware[0].address, 0x100u);
    EXPECT_BYTES(fw, st.runningFirmware[0].data);
    EXPECT_EQ(st.restarts, 2u);
}

TEST(ModuleUpgrade, NewFirmwareReportsTheBuildAndVersionOfItsDescriptor) {
    struct Case {
        const char* name;
        Bytes image;
        uint32_t newVersion, newBuild;
        const char* versionReply;
        const char* buildReply;
    };
    Bytes withDesc = cat(cat(pattern(40, 3), descriptor("5678", "2.3.4", "40F5849A", "Tessera")),
                         pattern(20, 5));
    const Case cases[] = {
        {"descriptor in the image", withDesc, 0, 0, "04 07 03 07 00 23 00 00 04",
         "04 06 49 FF 00 00 16 2E"},
        {"no descriptor: configuration", pattern(100, 1), 0x31000007, 99,
         "04 07 03 07 00 31 00 00 07", "04 06 49 FF 00 00 00 63"},
        {"no descriptor, nothing configured: unchanged", pattern(100, 1), 0, 0,
         "04 07 03 07 00 12 00 00 03", "04 06 49 FF 00 00 04 D2"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        auto cfg = baseConfig();
        cfg.newVersion = c.newVersion;
        cfg.newBuild = c.newBuild;
        Harness h(cfg);
        loadLoader(h, pattern(10, 0));
        h.step(100);
        ASSERT_TRUE(h.m.attach(h.t));
        EXPECT_EQ(kstest::HexDump(h.req(hx("5F 03 02 00 00 00 00"))), "04 05 5F 07 00 01 00");
        writePortion(h, c.image);
        h.req(hx("5F 06"));
        h.step(100);
        ASSERT_TRUE(h.m.attach(h.t));
        EXPECT_EQ(kstest::HexDump(h.req(hx("03 47 20"))), c.versionReply);
        EXPECT_EQ(kstest::HexDump(h.req(hx("49 FF"))), c.buildReply);
    }
}

TEST(ModuleUpgrade, LoaderCanComeBackUnderTheDefaultSerial) {
    auto cfg = baseConfig();
    cfg.loaderDefaultSerial = true;
    Harness h(cfg);
    loadLoader(h, pattern(30, 2));
    h.step(100);
    EXPECT_EQ(h.m.presentedSerial(), 0xDEADDEADu);
    ASSERT_TRUE(h.m.attach(h.t));
    EXPECT_EQ(kstest::HexDump(h.req(hx("03 49 20"))), "04 07 03 09 00 DE AD DE AD");
    h.req(hx("5F 06"));
    h.step(100);
    EXPECT_EQ(h.m.presentedSerial(), 0x40F5849Au);
}

TEST(ModuleUpgrade, LoadCanBeAnsweredOnlyAfterTheLinkIsBack) {
    auto cfg = baseConfig();
    cfg.loadReplyAfter = true;
    Harness h(cfg);
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 00"))), "04 06 5F 00 10 00 00 00");
    h.req(hx("5F 03 00 00 00 00 00"));
    sendData(h, pattern(5, 1));
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 02"))), "");
    h.step(100);
    ASSERT_TRUE(h.m.attach(h.t));
    EXPECT_EQ(kstest::HexDump(h.xfer(hx("AF 01 01"))), "04 02 5F 02");
}

TEST(ModuleUpgrade, ProtocolErrorsAreAnsweredNotSwallowed) {
    Harness h;
    struct Step {
        const char* what;
        const char* request;
        const char* reply;
    };
    const Step steps[] = {
        {"PREPARE before INIT", "5F 03 00 00 00 00 00", "04 05 5F 07 07 01 00"},
        {"DATA without a block", "5F 01 AA", "04 03 5F 01 00"},
        {"LOAD without a loader", "5F 02", ""},
        {"INIT", "5F 00", "04 06 5F 00 10 00 00 00"},
        {"PREPARE too short", "5F 03 00 00 00", "04 05 5F 07 0E 01 00"},
        {"PREPARE", "5F 03 00 00 00 00 00", "04 05 5F 07 00 01 00"},
        {"DATA without bytes", "5F 01", "04 03 5F 01 00"},
        {"DATA", "5F 01 01 02 03", "04 03 5F 01 03"},
        {"WRITE of a loader block", "5F 05 00 03", "04 03 5F 07 07"},
        {"SUM", "5F 04", "04 07 5F 07 00 00 00 00 06"},
        {"SUM again starts from 0", "5F 04", "04 07 5F 07 00 00 00 00 00"},
        {"unknown sub-command", "5F 09", ""},
    };
    for (const Step& s : steps) {
        SCOPED_TRACE(s.what);
        EXPECT_EQ(kstest::HexDump(h.req(hx(s.request))), s.reply);
    }
    EXPECT_EQ(kstest::HexDump(h.st().loaderImages.at(0).data), "01 02 03");
}

TEST(ModuleUpgrade, WriteMustMatchThePortionReceived) {
    Harness h;
    loadLoader(h, pattern(3, 0));
    h.step(100);
    ASSERT_TRUE(h.m.attach(h.t));
    h.req(hx("5F 03 00 00 00 00 00"));
    sendData(h, pattern(10, 0));
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 05 00 0B"))), "04 03 5F 07 0E");
    EXPECT_TRUE(h.st().firmwareImages.at(0).data.empty());
    sendData(h, pattern(10, 0));
    EXPECT_EQ(kstest::HexDump(h.req(hx("5F 05 00 0A"))), "04 03 5F 07 00");
    EXPECT_BYTES(pattern(10, 0), h.st().firmwareImages.at(0).data);
}
