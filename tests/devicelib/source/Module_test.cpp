// Modules, entities and the system class against the module simulator over
// TCP/IP on loopback and over a pseudo-terminal serial line.
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>

#include "Entity.h"
#include "Module.h"
#include "SystemClass.h"
#include "objlayer_peer.h"

using namespace Quillmar::Keystrand;
using objtest::SimBench;

namespace {

constexpr uint32_t SERIAL = 0x40F5849A;

struct SimModule : ::testing::Test {
    SimBench sim;
    std::unique_ptr<Module> module;
    SystemClass sys;

    void SetUp() override {
        std::string error;
        ASSERT_TRUE(sim.start(
            objtest::moduleLine(
                "m", SERIAL, 6,
                "model=17 version=1.2.3 build=77 label=bench heartbeat-ms=200 stream-ms=300 pty"),
            error))
            << error;
        module.reset(new Module(2));
        ASSERT_EQ(module->connectFromSpec(sim.tcpSpec("m")), qErrNone);
        sys.init(module.get(), 0);
    }
    modsim::ModuleState state() { return sim.bench.state("m"); }
};

} // namespace

TEST_F(SimModule, LearnsTheModuleAddressWhenNetworking) {
    EXPECT_TRUE(module->isConnected());
    EXPECT_EQ(module->getStatus(), 2);
    EXPECT_EQ(module->getModuleAddress(), 6) << "the guessed address 2 is replaced by the module's";
    EXPECT_EQ(module->connectFromSpec(sim.tcpSpec("m")), qErrBusy);

    ASSERT_EQ(module->disconnect(), qErrNone);
    EXPECT_FALSE(module->isConnected());
    Module quiet(4, false, 0);
    ASSERT_EQ(quiet.connectFromSpec(sim.tcpSpec("m")), qErrNone);
    EXPECT_EQ(quiet.getModuleAddress(), 4) << "networking off: the address stays";
    (void)quiet.disconnect();

    module->setModuleAddress(2);
    ASSERT_EQ(module->reconnect(), qErrNone);
    EXPECT_EQ(module->getModuleAddress(), 6);
    EXPECT_EQ(module->connect(linkTypeTCPIP, 0), qErrParam);
    linkSpec spec;
    ASSERT_EQ(module->getLinkSpecifier(&spec), qErrNone);
    EXPECT_EQ(spec.link.tcpip.tcpPort, sim.bench.tcpPort("m"));
}

TEST_F(SimModule, ReadsTheSystemIdentity) {
    uint8_t model = 0, address = 0;
    uint32_t serial = 0, version = 0;
    ASSERT_EQ(sys.getModel(&model), qErrNone);
    EXPECT_EQ(model, 17);
    ASSERT_EQ(sys.getSerialNumber(&serial), qErrNone);
    EXPECT_EQ(serial, SERIAL);
    ASSERT_EQ(sys.getVersion(&version), qErrNone);
    EXPECT_EQ(version, 0x12000003u);
    ASSERT_EQ(sys.getModule(&address), qErrNone);
    EXPECT_EQ(address, 6);
    modsim::ModuleConfig cfg = sim.bench.config("m");
    for (uint8_t sub = 0; sub < 4; ++sub) {
        uint32_t word = 0;
        ASSERT_EQ(sys.getUEI32(systemUniqueIdentifier, sub, &word), qErrNone) << int(sub);
        EXPECT_EQ(word, cfg.uid[sub]) << int(sub);
    }
    uint8_t none = 0;
    EXPECT_EQ(sys.getUEI8(systemModel, nullptr), qErrParam);
    EXPECT_EQ(sys.getUEI8(systemModel, 0, nullptr), qErrParam);
    (void)none;
}

TEST_F(SimModule, SetsOptionsAndTurnsErrorRepliesIntoTheModulesCode) {
    ASSERT_EQ(sys.setLED(5), qErrNone);
    uint8_t led = 0;
    ASSERT_EQ(sys.getLED(&led), qErrNone);
    EXPECT_EQ(led, 1) << "any non-zero LED state is sent as 1";
    ASSERT_EQ(sys.setHBInterval(9), qErrNone);
    uint8_t hb = 0;
    ASSERT_EQ(sys.getHBInterval(&hb), qErrNone);
    EXPECT_EQ(hb, 9);
    ASSERT_EQ(sys.setPowerLimitMax(54321), qErrNone);
    uint32_t limit = 0;
    ASSERT_EQ(sys.getPowerLimitMax(&limit), qErrNone);
    EXPECT_EQ(limit, 54321u);
    EXPECT_EQ(sys.save(), qErrNone);

    struct Case {
        const char* what;
        qErr result;
        qErr expected;
    } cases[] = {
        {"get of an unknown option", sys.getUEI8(50, &led), qErrInvalidOption},
        {"set of a read-only option", sys.setUEI8(systemModel, 3), qErrPermission},
        {"set out of range", sys.setPowerLimitMax(123456), qErrRange},
        {"get of a call",
         [&] {
             uint32_t v;
             return sys.getUEI32(systemSave, &v);
         }(),
         qErrMode},
        {"subindex out of range",
         [&] {
             uint32_t v;
             return sys.getUEI32(systemUniqueIdentifier, 4, &v);
         }(),
         qErrIndexRange},
    };
    for (const Case& c : cases)
        EXPECT_EQ(c.result, c.expected) << c.what;
    EntityClass other;
    other.init(module.get(), cmdSYSTEM, 3);
    EXPECT_EQ(other.callUEI(systemSave), qErrInvalidEntity);
    EntityClass unbound;
    EXPECT_EQ(unbound.getUEI8(1, &led), qErrResource);
    EXPECT_EQ(unbound.sendPacket(1, 0, nullptr), qErrResource);
}

TEST_F(SimModule, TransfersByteValuesInSeveralPackets) {
    const std::string name = "a label long enough for three packets!!!!!!!!!!";
    ASSERT_EQ(sys.setName(reinterpret_cast<const uint8_t*>(name.data()), name.size()), qErrNone);
    EXPECT_EQ(state().label, name);
    uint8_t buffer[64];
    size_t got = 0;
    ASSERT_EQ(sys.getName(buffer, sizeof buffer, &got), qErrNone);
    EXPECT_EQ(std::string(reinterpret_cast<char*>(buffer), got), name);

    got = 0;
    ASSERT_EQ(sys.getUEIBytes(systemName, buffer, name.size(), &got), qErrNone)
        << "a buffer filled exactly";
    EXPECT_EQ(got, name.size());
    got = 0;
    EXPECT_EQ(sys.getUEIBytes(systemName, buffer, name.size() - 1, &got), qErrMemory);
    EXPECT_EQ(sys.getUEIBytes(systemName, nullptr, 4, &got), qErrParam);
    EXPECT_EQ(sys.getUEIBytes(systemName, buffer, 0, &got), qErrParam);
    (void)sys.drainUEI(systemName); // what was left of the refused transfer

    const uint32_t config[] = {0x01020304, 0xA0B0C0D0, 7};
    ASSERT_EQ(sys.setInputPowerBehaviorConfig(config, 3), qErrNone);
    uint32_t back[8] = {};
    size_t count = 8;
    ASSERT_EQ(sys.getInputPowerBehaviorConfig(back, &count), qErrNone);
    ASSERT_EQ(count, 3u);
    EXPECT_EQ(memcmp(back, config, sizeof config), 0) << "values travel as they lie in memory";
}

TEST(EntityBytes, CheckTurnsByteCountsIntoUnits) {
    struct Case {
        size_t count, unit;
        qErr result;
        size_t after;
    } cases[] = {
        {12, 4, qErrNone, 3}, {10, 4, qErrMemory, 10}, {0, 4, qErrNone, 0}, {5, 0, qErrMemory, 5}};
    for (const Case& c : cases) {
        size_t n = c.count;
        EXPECT_EQ(EntityClass::getUEIBytesCheck(&n, c.unit), c.result) << c.count << "/" << c.unit;
        EXPECT_EQ(n, c.after) << c.count << "/" << c.unit;
    }
    EXPECT_EQ(EntityClass::getUEIBytesCheck(nullptr, 4), qErrParam);
    EXPECT_EQ(EntityClass::getUEIBytesSequence(0x85), 5);
    EXPECT_EQ(EntityClass::getUEIBytesContinue(0x85), 1);
    EXPECT_EQ(EntityClass::getUEIBytesContinue(0x05), 0);
}

TEST_F(SimModule, AnswersTheModuleQueries) {
    const uint8_t echo[] = {1, 2, 3, 0xFE};
    EXPECT_EQ(module->debug(echo, sizeof echo), qErrNone);
    uint8_t big[28] = {};
    EXPECT_EQ(module->debug(big, 28), qErrParam);
    EXPECT_EQ(module->hasUEI(cmdSYSTEM, systemModel, 0, 0x40), qErrNone);
    EXPECT_EQ(module->hasUEI(cmdSYSTEM, 50, 0, 0x40), qErrInvalidOption);
    EXPECT_EQ(module->hasUEI(cmdSYSTEM, systemModel, 0, 0xC0), qErrParam);
    EXPECT_EQ(module->hasUEI(cmdSYSTEM, systemModel, 0, 0x41), qErrParam);
    uint8_t q = 99;
    ASSERT_EQ(module->classQuantity(cmdSYSTEM, &q), qErrNone);
    EXPECT_EQ(q, 1);
    ASSERT_EQ(module->subClassQuantity(cmdSYSTEM, 0, &q), qErrNone);
    EXPECT_GT(q, 30);
    ASSERT_EQ(module->entityGroup(cmdSYSTEM, 0, &q), qErrNone);
    EXPECT_EQ(q, 0);
    EXPECT_EQ(module->classQuantity(cmdSYSTEM, nullptr), qErrParam);

    // The firmware build number, as the updater reads it: a plain packet.
    EntityClass describe;
    describe.init(module.get(), cmdDESCRIBE, 0);
    const uint8_t sub = val_DESCRIBE_BUILD;
    ASSERT_EQ(describe.sendPacket(cmdDESCRIBE, 1, &sub), qErrNone);
    const uint8_t match[] = {cmdDESCRIBE, val_DESCRIBE_BUILD};
    uint8_t length = 2, data[28];
    ASSERT_EQ(describe.receivePacket(match, &length, data), qErrNone);
    ASSERT_EQ(length, 6);
    EXPECT_EQ((uint32_t(data[2]) << 24) | (data[3] << 16) | (data[4] << 8) | data[5], 77u);
}

TEST_F(SimModule, ReadsStreamedValuesWithoutTraffic) {
    ASSERT_EQ(sys.registerOptionCallback(systemUptime, true, Link::StreamCallback(), nullptr),
              qErrNone);
    uint32_t uptime = 0;
    qErr r = qErrNotFound;
    for (int i = 0; i < 100 && r != qErrNone; ++i) {
        r = module->getLink()->getStreamValue(6, cmdSYSTEM, systemUptime, 0, 0, &uptime);
        if (r != qErrNone)
            usleep(10000);
    }
    ASSERT_EQ(r, qErrNone);
    unsigned before = state().requests;
    EXPECT_EQ(sys.getUptime(&uptime), qErrStreamStale) << "the value already read once";
    EXPECT_GT(uptime, 0u);
    EXPECT_EQ(state().requests, before) << "a cached value costs no request";
    std::map<uint64_t, uint32_t> status;
    ASSERT_EQ(sys.getStreamStatus(&status), qErrNone);
    EXPECT_EQ(status.count(Link::createStreamKey(6, cmdSYSTEM, systemUptime, 0, 0)), 1u);
    ASSERT_EQ(sys.registerOptionCallback(systemUptime, false, Link::StreamCallback(), nullptr),
              qErrNone);
    EXPECT_TRUE(state().subscriptions.empty());
    before = state().requests;
    EXPECT_EQ(sys.getUptime(&uptime), qErrNone);
    EXPECT_GT(state().requests, before) << "without subscription the module is asked";
}

TEST_F(SimModule, WorksOverASerialLine) {
    (void)module->disconnect();
    Module serial(2);
    ASSERT_EQ(serial.connectFromSpec(sim.serialSpec("m")), qErrNone);
    EXPECT_EQ(serial.getModuleAddress(), 6);
    SystemClass s;
    s.init(&serial, 0);
    uint32_t number = 0;
    ASSERT_EQ(s.getSerialNumber(&number), qErrNone);
    EXPECT_EQ(number, SERIAL);
}

TEST(SimRouter, ReachesAModuleBehindARouter) {
    SimBench sim;
    std::string error;
    ASSERT_TRUE(sim.start(objtest::moduleLine("r", 0x11110001, 2) +
                              "module c serial=22220002 address=8 router=r\n",
                          error))
        << error;
    Module router(2);
    ASSERT_EQ(router.connectFromSpec(sim.tcpSpec("r")), qErrNone);
    SystemClass rsys;
    rsys.init(&router, 0);
    ASSERT_EQ(rsys.routeToMe(1), qErrNone);
    Module child(8);
    ASSERT_EQ(child.connectThroughLinkModule(&router), qErrNone);
    EXPECT_EQ(child.getModuleAddress(), 8) << "a routed module keeps its own address";
    SystemClass csys;
    csys.init(&child, 0);
    uint32_t serial = 0;
    ASSERT_EQ(csys.getSerialNumber(&serial), qErrNone);
    EXPECT_EQ(serial, 0x22220002u);
    EXPECT_GT(sim.bench.state("r").forwarded, 0u);
    ASSERT_EQ(rsys.routeToMe(0), qErrNone);
    EXPECT_EQ(child.connectThroughLinkModule(nullptr), qErrParam);
}
