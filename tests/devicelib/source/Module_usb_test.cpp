// A module reached over USB: the emulated USB bus (sim/usb) carries the
// bytes between the device library and the module simulator's core.
#include <gtest/gtest.h>

#include <unistd.h>

#include <atomic>
#include <string>
#include <thread>

#include "Module.h"
#include "SystemClass.h"
#include "objlayer_peer.h"
#include "usbsim_fixture.h"

using namespace Quillmar::Keystrand;

namespace {

// Plugs one emulated device and pumps bytes between it and a simulated
// module of the bench.
struct UsbModule : UsbSimTest {
    objtest::SimBench sim;
    kssim::UsbDevice* device = nullptr;
    std::atomic<bool> pumping{true};
    std::thread pump;

    void SetUp() override {
        UsbSimTest::SetUp();
        if (IsSkipped())
            return;
        std::string error;
        ASSERT_TRUE(sim.start("module u serial=40F5849A address=6 model=17 usb\n", error)) << error;
        ASSERT_TRUE(sim.bench.externalAttach("u"));
        device = plugModule("40F5849A", 0x0011);
        ASSERT_NE(device, nullptr);
        device->setHostWriteHandler(
            [this](const uint8_t* p, size_t n) { sim.bench.externalWrite("u", p, n); });
        pump = std::thread([this] {
            uint8_t buffer[512];
            while (pumping) {
                size_t n = sim.bench.externalRead("u", buffer, sizeof buffer);
                if (n)
                    device->sendToHost(buffer, n);
                else
                    usleep(1000);
            }
        });
    }
    void TearDown() override {
        pumping = false;
        if (pump.joinable())
            pump.join();
        UsbSimTest::TearDown();
    }
};

} // namespace

TEST_F(UsbModule, ConnectsBySerialNumberAndReadsTheSystemEntity) {
    Module module(2);
    ASSERT_EQ(module.connect(linkTypeUSB, 0x40F5849A), qErrNone);
    EXPECT_EQ(module.getModuleAddress(), 6);
    SystemClass sys;
    sys.init(&module, 0);
    uint32_t serial = 0;
    uint8_t model = 0;
    ASSERT_EQ(sys.getSerialNumber(&serial), qErrNone);
    EXPECT_EQ(serial, 0x40F5849Au);
    ASSERT_EQ(sys.getModel(&model), qErrNone);
    EXPECT_EQ(model, 17);
    linkSpec spec;
    ASSERT_EQ(module.getLinkSpecifier(&spec), qErrNone);
    EXPECT_EQ(spec.transport, linkTypeUSB);
    EXPECT_EQ(spec.modelCode, 17u);
    ASSERT_EQ(module.disconnect(), qErrNone);
    ASSERT_EQ(module.reconnect(), qErrNone);
    ASSERT_EQ(sys.getSerialNumber(&serial), qErrNone);
}

TEST_F(UsbModule, FindsTheFirstModuleOfAModel) {
    Module any(2, uint8_t(17));
    ASSERT_EQ(any.discoverAndConnect(linkTypeUSB, 0), qErrNone);
    EXPECT_TRUE(any.isConnected());
    Module other(2, uint8_t(18));
    EXPECT_EQ(other.discoverAndConnect(linkTypeUSB, 0), qErrNotFound);
}
