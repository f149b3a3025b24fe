// USB links through real libusb on the emulated bus: sharing by serial
// number, the packet exchange over bulk transfers, unplug and reset.
#include <gtest/gtest.h>
#include <unistd.h>

#include <vector>

#include "link_peer.h"
#include "qLink.h"
#include "usbsim_fixture.h"
#include "wait.h"

using linktest::Bytes;

namespace {

const Bytes kLinkStart = {0xAF, 0x01, 0x01};
const Bytes kLinkStop = {0xAF, 0x01, 0x00};

// Host bytes once at least n have arrived (all of them, or what came in time).
Bytes hostBytes(kssim::UsbDevice* dev, size_t n, int timeoutMs = 2000) {
    dev->waitHostBytes(n, timeoutMs);
    return dev->takeHostBytes();
}

bool awaitStatus(uint32_t id, int32_t status, int timeoutMs) {
    double end = kstest::NowMs() + timeoutMs;
    while (qLink_GetStatus(id) != status && kstest::NowMs() < end)
        usleep(2000);
    return qLink_GetStatus(id) == status;
}

using UsbLink = UsbSimTest;

TEST_F(UsbLink, SameSerialSharesOneLinkAndCarriesPackets) {
    kssim::UsbDevice* dev = plugModule("40F5849A", 0x0011);
    uint32_t id = qLink_CreateUSB(0x40F5849A);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(hostBytes(dev, 3), kLinkStart);
    uint32_t again = qLink_CreateUSB(0x40F5849A);
    EXPECT_EQ(again, id);
    EXPECT_EQ(dev->openClients(), 1) << "a shared link opens the device once";

    dev->sendToHost({0x06, 0x02, 0x00, 0x01, 0x04, 0x02, 0x10, 0x20});
    EXPECT_EQ(hostBytes(dev, 4), Bytes({0x06, 0x02, 0x00, 0x03}));
    qPacket* p = qLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 4);
    EXPECT_EQ(p->length, 2);
    (void)qPacket_Destroy(&p);

    ASSERT_EQ(qLink_Destroy(&id), qErrNone);
    EXPECT_EQ(qLink_GetStatus(again), qLinkStatusRunning) << "one user is left";
    ASSERT_EQ(qLink_Destroy(&again), qErrNone);
    EXPECT_EQ(hostBytes(dev, 3), kLinkStop);
    EXPECT_TRUE(dev->waitOpenClients(0, 2000)) << "the last user closes the device";
}

TEST_F(UsbLink, CreationFailsForAModuleThatIsNotThere) {
    plugModule("40F5849A");
    EXPECT_EQ(qLink_CreateUSB(0x40F5849B), 0u);
    EXPECT_EQ(qLink_CreateUSB(0), 0u);
}

TEST_F(UsbLink, UnplugGivesStatusSixAndResetReopensTheReturningModule) {
    kssim::UsbDevice* dev = plugModule("0000BEEF");
    uint32_t id = qLink_CreateUSB(0x0000BEEF);
    ASSERT_NE(id, 0u);
    EXPECT_EQ(hostBytes(dev, 3), kLinkStart);

    bus_->unplug(dev);
    EXPECT_TRUE(awaitStatus(id, qLinkStatusIOError, 2000));

    kssim::UsbDevice* back = plugModule("0000BEEF");
    ASSERT_EQ(qLink_Reset(id), qErrNone);
    EXPECT_EQ(hostBytes(back, 3), kLinkStart);
    EXPECT_EQ(qLink_GetStatus(id), qLinkStatusRunning);
    back->sendToHost({0x08, 0x01, 0x77});
    qPacket* p = qLink_AwaitPacket(id, 2000);
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(p->address, 8);
    (void)qPacket_Destroy(&p);
    EXPECT_EQ(qLink_Destroy(&id), qErrNone);
}

} // namespace
