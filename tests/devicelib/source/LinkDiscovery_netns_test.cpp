// Finding modules by discovery and connecting to them, against the module
// simulator answering UDP discovery inside a private network namespace of
// this test (a veth pair v0/v1 made here; nothing touches the host's
// interfaces). Needs root and iproute2; skips without them.
#include <gtest/gtest.h>

#include <sched.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "Link.h"
#include "Module.h"
#include "SystemClass.h"
#include "objlayer_peer.h"

using namespace Quillmar::Keystrand;

namespace {

bool run(const std::string& command) {
    std::string quiet = command + " >/dev/null 2>&1";
    return system(quiet.c_str()) == 0;
}

// Moves this process's main thread (and every thread it starts from now on)
// into a fresh network namespace with a veth pair, and starts two simulated
// modules there that answer discovery on v1.
class DiscoveryNet : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        if (geteuid() != 0) {
            skipReason = "needs root for a private network namespace";
            return;
        }
        if (!run("command -v ip")) {
            skipReason = "needs iproute2 (ip) for the veth pair";
            return;
        }
        if (unshare(CLONE_NEWNET) != 0) {
            failure = "cannot create a private network namespace as root";
            return;
        }
        if (!run("ip link set lo up") || !run("ip link add v0 type veth peer name v1") ||
            !run("ip addr add 10.77.0.1/24 dev v0") || !run("ip addr add 10.77.0.2/24 dev v1") ||
            !run("ip addr add 10.77.0.3/24 dev v1") || !run("ip link set v0 up") ||
            !run("ip link set v1 up") || !run("ip route add 224.0.0.0/4 dev v0")) {
            failure = "cannot configure the veth pair in the private namespace";
            return;
        }
        sim = new objtest::SimBench;
        std::string error;
        if (!sim->start("discovery v1\n"
                        "module a serial=40F5849A address=6 model=17 tcp=10.77.0.2:0\n"
                        "module b serial=51A0B0C0 address=8 model=19 tcp=10.77.0.3:0\n",
                        error)) {
            failure = "simulator did not start: " + error;
            delete sim;
            sim = nullptr;
        }
    }
    static void TearDownTestSuite() {
        delete sim;
        sim = nullptr;
    }
    // A missing precondition of the machine skips; anything else that keeps
    // the bench from standing fails.
    void SetUp() override {
        if (!skipReason.empty())
            GTEST_SKIP() << skipReason;
        ASSERT_TRUE(failure.empty()) << failure;
        ASSERT_NE(sim, nullptr);
    }
    static objtest::SimBench* sim;
    static std::string skipReason;
    static std::string failure;
};

objtest::SimBench* DiscoveryNet::sim = nullptr;
std::string DiscoveryNet::skipReason;
std::string DiscoveryNet::failure;

} // namespace

TEST_F(DiscoveryNet, ModuleConnectsBySerialNumberAndLearnsItsAddress) {
    Module module(2);
    ASSERT_EQ(module.connect(linkTypeTCPIP, 0x51A0B0C0), qErrNone);
    EXPECT_EQ(module.getModuleAddress(), 8);
    SystemClass sys;
    sys.init(&module, 0);
    uint8_t model = 0;
    ASSERT_EQ(sys.getModel(&model), qErrNone);
    EXPECT_EQ(model, 19);
    linkSpec spec;
    ASSERT_EQ(module.getLinkSpecifier(&spec), qErrNone);
    EXPECT_EQ(spec.link.tcpip.tcpPort, sim->bench.tcpPort("b"));
}

TEST_F(DiscoveryNet, LinkFindsTheFirstModuleOfAModel) {
    struct Case {
        uint8_t model;
        qErr result;
        uint32_t serial;
    } cases[] = {{19, qErrNone, 0x51A0B0C0}, {17, qErrNone, 0x40F5849A}, {99, qErrNotFound, 0}};
    for (const Case& c : cases) {
        Link link("find");
        ASSERT_EQ(link.discoverAndConnect(linkTypeTCPIP, 0, c.model), c.result) << int(c.model);
        linkSpec spec{};
        if (c.result == qErrNone) {
            ASSERT_EQ(link.getLinkSpecifier(&spec), qErrNone);
            EXPECT_EQ(spec.serialNumber, c.serial) << int(c.model);
            EXPECT_TRUE(link.isConnected());
        } else {
            EXPECT_EQ(link.getLinkSpecifier(&spec), qErrNotFound)
                << "nothing stored for a failed search";
        }
    }
    Link any("any");
    ASSERT_EQ(any.discoverAndConnect(linkTypeTCPIP, 0, 0), qErrNone)
        << "model 0 takes the first module";
}

TEST_F(DiscoveryNet, AnAbsentSerialNumberIsNotFound) {
    Module module(2, uint8_t(0));
    EXPECT_EQ(module.connect(linkTypeTCPIP, 0x12345678), qErrNotFound);
    EXPECT_FALSE(module.isConnected());
    EXPECT_EQ(module.getModuleAddress(), 2);
}
