// Discovery in the updater library against the module simulator in this
// process: its USB modules on the emulated bus, its TCP/IP modules and UDP
// discovery inside a private pair of network namespaces. Needs root and
// umockdev; skipped (77) otherwise.
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "NetworkWalk.h"
#include "Updater.h"
#include "device_info_text.h"
#include "display_recorder.h"
#include "modsim/Bench.h"
#include "modsim/PrivateNet.h"
#include "modsim/UsbServe.h"
#include "usbsim/usbbus.h"

namespace {

double SecondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// The modules of a bench on the emulated USB bus and on the module side of a
// private network; this thread (and every link thread it starts) on the host
// side.
class DiscoveryBed : public ::testing::Test {
  protected:
    static void SetUpTestSuite() {
        std::string why;
        if (!net.setup(why) || !net.enterHostSide()) {
            failure = "private network: " + why;
            return;
        }
        bus = std::make_unique<kssim::UsbBus>();
    }
    static void TearDownTestSuite() { bus.reset(); }

    void SetUp() override { ASSERT_TRUE(failure.empty()) << failure; }
    void TearDown() override {
        if (serve)
            serve->stop();
        bench.stop();
    }

    void start(const std::string& text) {
        modsim::BenchConfig cfg;
        std::string error;
        ASSERT_TRUE(modsim::parseBench(text, cfg, error)) << error;
        cfg.bind = modsim::PrivateNet::kModuleAddress;
        cfg.discovery = modsim::PrivateNet::kModuleInterface;
        ASSERT_TRUE(net.enterModuleSide());
        bool started = bench.start(cfg, error);
        ASSERT_TRUE(net.enterHostSide());
        ASSERT_TRUE(started) << error;
        serve = std::make_unique<modsim::UsbServe>(bench, *bus);
        ASSERT_TRUE(serve->start(error)) << error;
    }

    // Every link the host opened to the module was closed again, with the
    // link stop packet.
    void expectClosed(const std::string& name) {
        EXPECT_TRUE(bench.waitFor(
            name,
            [](const modsim::ModuleState& s) {
                return !s.linkStarted && s.linkStops == s.linkStarts;
            },
            3000))
            << name << " still open: starts " << bench.state(name).linkStarts << ", stops "
            << bench.state(name).linkStops;
    }

    static modsim::PrivateNet net;
    static std::unique_ptr<kssim::UsbBus> bus;
    static std::string failure;
    modsim::Bench bench;
    std::unique_ptr<modsim::UsbServe> serve;
    DisplayRecorder display;
};

modsim::PrivateNet DiscoveryBed::net;
std::unique_ptr<kssim::UsbBus> DiscoveryBed::bus;
std::string DiscoveryBed::failure;

} // namespace

TEST_F(DiscoveryBed, DirectDiscoveryListsUsbModulesFirstThenTcpIpEachAskedAndClosed) {
    start("module u1 serial=0000A001 model=17 address=4 usb version=1.2.3 build=101\n"
          "module u2 serial=0000A002 model=22 address=6 usb build=102 silent=7\n"
          "module t1 serial=0000B001 model=21 address=8 tcp=0 version=2.0.5 build=201\n");
    Updater updater("", "", display);
    std::vector<DeviceInfo> devices = updater.Discover_Devices(linkTypeNone);

    ASSERT_EQ(devices.size(), 3u);
    EXPECT_EQ(devices[0].transport, linkTypeUSB);
    EXPECT_EQ(devices[1].transport, linkTypeUSB);
    EXPECT_EQ(devices[2].transport, linkTypeTCPIP);
    std::vector<std::string> got = kstest::DeviceInfoText(devices);
    if (devices[0].serialNumber != 0x0000A001) // the two USB modules as the bus lists them
        std::swap(got[0], got[1]);
    // u2 never answers its version: the question ends the record (timeout 18)
    // with the build read before it and nothing after it.
    const std::vector<std::string> want = {
        "0000A001 transport=1 module=4 router=0 routerSerial=00000000 model=17 'Tessera' build=101 "
        "version=1.2.3 error=0 usb=40961",
        "0000A002 transport=1 module=0 router=0 routerSerial=00000000 model=22 'Gauge' build=102 "
        "version=0.0.0 error=18 usb=40962",
        "0000B001 transport=2 module=8 router=0 routerSerial=0000B001 model=21 'Crossway' "
        "build=201 version=2.0.5 error=0 at 10.77.0.2:" +
            std::to_string(bench.tcpPort("t1")),
    };
    EXPECT_EQ(got, want);
    for (const char* name : {"u1", "u2", "t1"})
        expectClosed(name);
    EXPECT_TRUE(serve->device("u1")->waitOpenClients(0, 3000));
    EXPECT_TRUE(display.calls.empty()) << "discovery printed something itself";
}

// The overlapped walk and the one-by-one walk over the same addresses find
// the same records, on a router reached over USB and one over TCP/IP: the
// router's own address in range, a module that answers its serial number but
// never its model, a slow module, empty addresses. The router passes requests
// on with a delay and is never handed more than the walk's bound at once.
TEST_F(DiscoveryBed, BothWalksFindTheSameRecordsBehindARouterOnEitherTransport) {
    start("module ru serial=0000C000 model=21 address=4 usb forward-ms=5\n"
          "module u6 serial=0000C006 model=17 address=6 router=ru build=6 version=1.6.0\n"
          "module u10 serial=0000C010 model=22 address=10 router=ru silent=8\n"
          "module u16 serial=0000C016 model=17 address=16 router=ru slow-ms=500\n"
          "module u30 serial=0000C030 model=17 address=30 router=ru\n" // outside the range
          "module rt serial=0000D000 model=21 address=2 tcp=0 forward-ms=5\n"
          "module t8 serial=0000D008 model=22 address=8 router=rt build=8\n");
    const std::string port = std::to_string(bench.tcpPort("rt"));
    struct Case {
        uint32_t router;
        linkType type;
        std::vector<std::string> want;
    };
    const Case cases[] = {
        {0x0000C000,
         linkTypeUSB,
         {"0000C000 transport=1 module=4 router=0 routerSerial=0000C000 model=21 'Crossway' "
          "build=1 version=1.0.1 error=0 usb=49152",
          "0000C006 transport=1 module=6 router=4 routerSerial=0000C000 model=17 'Tessera' "
          "build=6 version=1.6.0 error=0 usb=49152",
          "0000C010 transport=1 module=10 router=4 routerSerial=0000C000 model=0 '' build=1 "
          "version=1.0.1 error=18 usb=49152",
          "0000C016 transport=1 module=16 router=4 routerSerial=0000C000 model=17 'Tessera' "
          "build=1 version=1.0.1 error=0 usb=49152"}},
        {0x0000D000,
         linkTypeNone, // found by its transport
         {"0000D000 transport=2 module=2 router=0 routerSerial=0000D000 model=21 'Crossway' "
          "build=1 version=1.0.1 error=0 at 10.77.0.2:" +
              port,
          "0000D008 transport=2 module=8 router=2 routerSerial=0000D000 model=22 'Gauge' "
          "build=8 version=1.0.1 error=0 at 10.77.0.2:" +
              port}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.want[0]);
        NetworkWalk overlapped;
        overlapped.lastAddress = 20;
        NetworkWalk oneByOne = overlapped;
        oneByOne.overlapped = false;
        auto start = std::chrono::steady_clock::now();
        std::vector<DeviceInfo> fast = DiscoverNetworkDevices(c.router, c.type, overlapped);
        double fastSeconds = SecondsSince(start);
        start = std::chrono::steady_clock::now();
        std::vector<DeviceInfo> slow = DiscoverNetworkDevices(c.router, c.type, oneByOne);
        double slowSeconds = SecondsSince(start);
        EXPECT_EQ(kstest::DeviceInfoText(fast), c.want);
        EXPECT_EQ(kstest::DeviceInfoText(slow), c.want);
        printf("walk of 10 addresses: overlapped %.1f s, one by one %.1f s\n", fastSeconds,
               slowSeconds);
    }
    for (const char* router : {"ru", "rt"}) {
        modsim::ModuleState s = bench.state(router);
        EXPECT_FALSE(s.routing) << router;
        EXPECT_EQ(s.optionSets[20], 4u) << router << ": routing on and off for each walk";
        EXPECT_LE(s.forwardPeak, 16u) << router;
        EXPECT_GE(s.forwardPeak, 2u) << router << ": the walk overlaps its questions";
        expectClosed(router);
    }
    EXPECT_EQ(bench.state("u30").requests, 0u);
    EXPECT_TRUE(display.calls.empty());
}

int main(int argc, char** argv) {
    std::string why;
    if (geteuid() != 0) {
        fprintf(stderr, "SKIPPED: needs root for private network namespaces\n");
        return 77;
    }
    if (!kssim::UsbBus::available(&why)) {
        fprintf(stderr, "SKIPPED: emulated USB bus unavailable: %s\n", why.c_str());
        return 77;
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
