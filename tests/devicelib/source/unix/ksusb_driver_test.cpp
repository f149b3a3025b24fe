// The USB driver through real libusb on the emulated bus, and through a
// kernel driver node stood in for by a raw pseudo-terminal.
#include "ksusb.h"

#include <fcntl.h>
#include <libusb.h>
#include <poll.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

#include "../stream_wait_check.h"
#include "bytes.h"
#include "ksusb_internal.h"
#include "qDiscovery.h"
#include "qStream.h"
#include "tempdir.h"
#include "usbsim_fixture.h"
#include "wait.h"

namespace {

std::vector<uint8_t> pattern(size_t n, uint8_t seed) {
    std::vector<uint8_t> v(n);
    for (size_t i = 0; i < n; ++i)
        v[i] = static_cast<uint8_t>(seed + i * 3);
    return v;
}

class Ksusb : public UsbSimTest {
  protected:
    void TearDown() override {
        if (usb) {
            (void)ksusb_close_keystrand_device(usb); // qErrMode when not open: harmless
            (void)ksusb_destroy(&usb);
        }
        UsbSimTest::TearDown();
    }
    // A libusb record opened on serial; returns the open result.
    qErr open(const char* serial) {
        usb = ksusb_create_usb(ksusbDriverLibusb);
        EXPECT_NE(usb, nullptr);
        qErr e = ksusb_open_keystrand_device(usb, serial);
        return e;
    }
    // Reads until n bytes arrived or timeoutMs passed.
    std::vector<uint8_t> readBytes(size_t n, int timeoutMs = 2000) {
        std::vector<uint8_t> got;
        auto t0 = Clock::now();
        while (got.size() < n && MsSince(t0) < timeoutMs) {
            uint8_t b;
            qErr e = ksusb_get_from_device(usb, &b);
            if (e == qErrNone)
                got.push_back(b);
            else if (e != qErrNotReady)
                break;
        }
        return got;
    }
    ksusb* usb = nullptr;
};

// ---- identification and open ------------------------------------------------

struct OpenCase {
    const char* name;
    kssim::UsbDeviceConfig device;
    qErr expect;
    int claimed; // interface expected claimed on success, -1 none
};

kssim::UsbDeviceConfig module(uint16_t vendor, uint16_t product) {
    kssim::UsbDeviceConfig c;
    c.vendorId = vendor;
    c.productId = product;
    c.serial = "40F5849A";
    return c;
}

kssim::UsbDeviceConfig withInterfaces(std::vector<kssim::UsbInterfaceDesc> itfs) {
    kssim::UsbDeviceConfig c = module(0x24FF, 0x0010);
    c.interfaces = std::move(itfs);
    return c;
}

kssim::UsbInterfaceDesc itf(uint8_t number, uint8_t alt, uint8_t cls, uint8_t sub, uint8_t proto,
                            std::vector<kssim::UsbEndpointDesc> eps) {
    kssim::UsbInterfaceDesc d;
    d.number = number;
    d.alternate = alt;
    d.cls = cls;
    d.subClass = sub;
    d.protocol = proto;
    d.endpoints = std::move(eps);
    return d;
}

const std::vector<kssim::UsbEndpointDesc> kBulkPair{{0x81, 2, 64}, {0x01, 2, 64}};

void PrintTo(const OpenCase& c, std::ostream* os) {
    *os << c.name;
}

class KsusbOpen : public Ksusb, public ::testing::WithParamInterface<OpenCase> {};

TEST_P(KsusbOpen, IdentifiesModulesByIdsAndVendorInterface) {
    const OpenCase& c = GetParam();
    kssim::UsbDevice* d = bus_->plug(c.device);
    EXPECT_EQ(open("40F5849A"), c.expect);
    if (c.expect == qErrNone) {
        EXPECT_EQ(ksusb_state(usb), ksusbStateReady);
        EXPECT_TRUE(d->interfaceClaimed(c.claimed));
        EXPECT_EQ(ksusb_close_keystrand_device(usb), qErrNone);
        EXPECT_FALSE(d->interfaceClaimed(c.claimed));
    } else if (c.expect == qErrNotFound) {
        EXPECT_EQ(ksusb_state(usb), ksusbStateCreated);
    } else {
        EXPECT_EQ(ksusb_state(usb), ksusbStateClosed);
    }
    EXPECT_TRUE(d->waitOpenClients(0, 2000)) << "every handle the open made must be closed again";
}

INSTANTIATE_TEST_SUITE_P(
    Cases, KsusbOpen,
    ::testing::Values(
        OpenCase{"module", module(0x24FF, 0x0010), qErrNone, 0},
        OpenCase{"highest_module_product", module(0x24FF, 0x7FFF), qErrNone, 0},
        OpenCase{"product_bit_15_set", module(0x24FF, 0x8010), qErrNotFound, -1},
        OpenCase{"other_vendor", module(0x24FE, 0x0010), qErrNotFound, -1},
        OpenCase{"wrong_protocol", withInterfaces({itf(0, 0, 0xFF, 0x88, 0x11, kBulkPair)}),
                 qErrConfiguration, -1},
        OpenCase{"no_out_endpoint", withInterfaces({itf(0, 0, 0xFF, 0x88, 0x10, {{0x81, 2, 64}})}),
                 qErrConfiguration, -1},
        OpenCase{"isochronous_endpoints_do_not_count",
                 withInterfaces({itf(0, 0, 0xFF, 0x88, 0x10, {{0x81, 1, 64}, {0x01, 1, 64}})}),
                 qErrConfiguration, -1},
        OpenCase{"interrupt_endpoints",
                 withInterfaces({itf(0, 0, 0xFF, 0x88, 0x10, {{0x82, 3, 64}, {0x02, 3, 64}})}),
                 qErrNone, 0},
        OpenCase{"vendor_interface_second",
                 withInterfaces({itf(0, 0, 0x02, 0x02, 0x01, {{0x83, 3, 8}}),
                                 itf(1, 0, 0xFF, 0x88, 0x10, kBulkPair)}),
                 qErrNone, 1},
        OpenCase{"vendor_interface_in_alternate_setting",
                 withInterfaces({itf(0, 0, 0x0A, 0x00, 0x00, {}),
                                 itf(0, 1, 0xFF, 0x88, 0x10, kBulkPair)}),
                 qErrNone, 0}),
    [](const ::testing::TestParamInfo<OpenCase>& i) { return std::string(i.param.name); });

TEST_F(Ksusb, OpensTheModuleWhoseSerialMatchesExactly) {
    kssim::UsbDevice* a = plugModule("0000BEEF");
    kssim::UsbDevice* b = plugModule("40F5849A");
    plugModule("40F5849");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    EXPECT_FALSE(a->interfaceClaimed(0));
    EXPECT_TRUE(b->interfaceClaimed(0));
    (void)ksusb_close_keystrand_device(usb);
    (void)ksusb_destroy(&usb);
    EXPECT_EQ(open("40f5849a"), qErrNotFound) << "serial strings compare exactly";
    (void)ksusb_destroy(&usb);
    EXPECT_EQ(open("12345678"), qErrNotFound);
}

TEST_F(Ksusb, InterfaceClaimedElsewhereIsBusy) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ksusb* first = ksusb_create_usb(ksusbDriverLibusb);
    ASSERT_EQ(ksusb_open_keystrand_device(first, "40F5849A"), qErrNone);
    EXPECT_EQ(open("40F5849A"), qErrBusy);
    EXPECT_EQ(ksusb_state(usb), ksusbStateClosed);
    EXPECT_TRUE(d->waitOpenClients(1, 2000)) << "the failed open closed its handle";
    (void)ksusb_close_keystrand_device(first);
    (void)ksusb_destroy(&first);
}

TEST_F(Ksusb, SecondOpenOfAnOpenRecordIsRefusedAndKeepsItWorking) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    EXPECT_EQ(ksusb_open_keystrand_device(usb, "40F5849A"), qErrBusy);
    EXPECT_EQ(ksusb_state(usb), ksusbStateReady);
    const uint8_t x[] = {7};
    EXPECT_EQ(ksusb_write_to_device(usb, x, 1), qErrNone);
    EXPECT_EQ(d->takeHostBytes(), std::vector<uint8_t>{7});
}

TEST_F(Ksusb, CallsOutOfStateGiveTheirErrors) {
    plugModule("40F5849A");
    usb = ksusb_create_usb(ksusbDriverLibusb);
    ASSERT_NE(usb, nullptr);
    const uint8_t x[] = {1, 2};
    uint8_t b;
    EXPECT_EQ(ksusb_write_to_device(usb, x, 2), qErrNotReady);
    EXPECT_EQ(ksusb_get_from_device(usb, &b), qErrNotReady);
    EXPECT_EQ(ksusb_close_keystrand_device(usb), qErrMode);
    ASSERT_EQ(ksusb_open_keystrand_device(usb, "40F5849A"), qErrNone);
    ASSERT_EQ(ksusb_close_keystrand_device(usb), qErrNone);
    EXPECT_EQ(ksusb_state(usb), ksusbStateClosed);
    EXPECT_EQ(ksusb_write_to_device(usb, x, 2), qErrConnection);
    EXPECT_EQ(ksusb_get_from_device(usb, &b), qErrConnection);
    EXPECT_EQ(ksusb_open_keystrand_device(usb, nullptr), qErrParam);
    EXPECT_EQ(ksusb_get_from_device(usb, nullptr), qErrParam);
    EXPECT_EQ(ksusb_destroy(&usb), qErrNone);
    EXPECT_EQ(usb, nullptr);
    EXPECT_EQ(ksusb_destroy(&usb), qErrParam);
    EXPECT_EQ(ksusb_create_usb(7), nullptr);
}

// ---- transfers ----------------------------------------------------------------

using KsusbTransfer = Ksusb;

TEST_F(KsusbTransfer, WritesGoOutInChunksOfFifty) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    const std::vector<uint8_t> data = pattern(120, 1);
    ASSERT_EQ(ksusb_write_to_device(usb, data.data(), data.size()), qErrNone);
    std::vector<size_t> sizes;
    for (const auto& t : d->outTransfers())
        sizes.push_back(t.requested);
    EXPECT_EQ(sizes, (std::vector<size_t>{50, 50, 20}));
    std::vector<uint8_t> got = d->takeHostBytes();
    EXPECT_BYTES(data, got);
}

TEST_F(KsusbTransfer, ReadsServeABurstByteByByteInOrder) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    const std::vector<uint8_t> data = pattern(1500, 9); // two transfers' worth
    d->sendToHost(data);
    std::vector<uint8_t> got = readBytes(data.size());
    EXPECT_EQ(got, data);
}

TEST_F(KsusbTransfer, ReadWithNothingPendingIsNotReadyAfterAbout100ms) {
    plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    uint8_t b;
    auto t0 = Clock::now();
    EXPECT_EQ(ksusb_get_from_device(usb, &b), qErrNotReady);
    const long ms = MsSince(t0);
    EXPECT_GE(ms, 90);
    EXPECT_LT(ms, 10000) << "returns after its short wait (generous: TSan, a loaded machine)";
    EXPECT_EQ(ksusb_state(usb), ksusbStateReady);
}

TEST_F(KsusbTransfer, StalledOutEndpointIsClearedAndTheChunkSentOnce) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    d->stallOut(1);
    const std::vector<uint8_t> data = pattern(30, 2);
    EXPECT_EQ(ksusb_write_to_device(usb, data.data(), data.size()), qErrNone);
    EXPECT_EQ(d->clearHaltCount(), 1);
    EXPECT_EQ(d->takeHostBytes(), data);
    EXPECT_EQ(ksusb_state(usb), ksusbStateReady);
}

TEST_F(KsusbTransfer, HaltThatCannotBeClearedFailsTheRecord) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    d->stallOut(1);
    d->setClearHaltFails(true);
    const std::vector<uint8_t> data = pattern(10, 3);
    EXPECT_EQ(ksusb_write_to_device(usb, data.data(), data.size()), qErrWrite)
        << "the endpoint stays halted through every attempt";
    EXPECT_EQ(ksusb_state(usb), ksusbStateFailed);
    EXPECT_EQ(d->outTransfers().size(), 100u) << "one transfer per attempt";
    EXPECT_EQ(ksusb_write_to_device(usb, data.data(), data.size()), qErrIO);
    uint8_t b;
    EXPECT_EQ(ksusb_get_from_device(usb, &b), qErrIO);
}

TEST_F(KsusbTransfer, TimeOutWithPartOfAChunkSentSendsOnlyTheRest) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    d->setOutPartial(20, 1);
    const std::vector<uint8_t> data = pattern(80, 4);
    EXPECT_EQ(ksusb_write_to_device(usb, data.data(), data.size()), qErrNone);
    std::vector<uint8_t> got = d->takeHostBytes();
    EXPECT_EQ(got, data) << "no byte twice, none lost: " << kstest::HexDump(got);
    auto log = d->outTransfers();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].accepted, 20u);
    EXPECT_EQ(log[1].requested, 30u);
    EXPECT_EQ(log[2].requested, 30u);
    EXPECT_EQ(ksusb_state(usb), ksusbStateReady);
}

TEST_F(KsusbTransfer, ChunkThatFailsTwiceFailsTheRecordButIsStillDelivered) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    d->setOutPartial(0, 2); // the first try and its retry both time out
    const std::vector<uint8_t> data = pattern(40, 5);
    EXPECT_EQ(ksusb_write_to_device(usb, data.data(), data.size()), qErrIO);
    EXPECT_EQ(ksusb_state(usb), ksusbStateFailed);
    EXPECT_EQ(d->takeHostBytes(), data);
}

TEST_F(KsusbTransfer, StalledInEndpointIsClearedAndReadingGoesOn) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    d->sendToHost({0x5A});
    d->stallIn(1);
    uint8_t b = 0;
    EXPECT_EQ(ksusb_get_from_device(usb, &b), qErrNotReady);
    EXPECT_EQ(d->clearHaltCount(), 1);
    EXPECT_EQ(readBytes(1), std::vector<uint8_t>{0x5A});
}

TEST_F(KsusbTransfer, UnplugDuringAReadGivesIOAndFailsTheRecord) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    ASSERT_EQ(open("40F5849A"), qErrNone);
    std::atomic<int> result{-1};
    std::atomic<pid_t> readerTid{0};
    std::thread reader([&] {
        readerTid = kstest::ThreadId();
        auto t0 = Clock::now();
        qErr e = qErrNotReady;
        uint8_t b;
        while (e == qErrNotReady && MsSince(t0) < 20000)
            e = ksusb_get_from_device(usb, &b);
        result = e;
    });
    // Unplugged while the reader waits in a read.
    EXPECT_TRUE(kstest::WaitUntil([&] { return readerTid.load() != 0; }, 10000));
    EXPECT_TRUE(kstest::WaitUntilAsleep(readerTid, 10000));
    bus_->unplug(d);
    reader.join();
    EXPECT_EQ(result.load(), qErrIO);
    EXPECT_EQ(ksusb_state(usb), ksusbStateFailed);
    const uint8_t x[] = {1};
    EXPECT_EQ(ksusb_write_to_device(usb, x, 1), qErrIO);
    EXPECT_EQ(ksusb_close_keystrand_device(usb), qErrNone);
}

TEST_F(KsusbTransfer, ReaderAndWriterThreadsShareARecord) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    d->setHostWriteHandler([d](const uint8_t* p, size_t n) { d->sendToHost(p, n); });
    ASSERT_EQ(open("40F5849A"), qErrNone);
    const std::vector<uint8_t> data = pattern(400, 6);
    std::vector<uint8_t> got;
    std::thread reader([&] { got = readBytes(data.size(), 5000); });
    for (size_t off = 0; off < data.size(); off += 40)
        ASSERT_EQ(ksusb_write_to_device(usb, data.data() + off, 40), qErrNone);
    reader.join();
    EXPECT_EQ(got, data);
}

// ---- kernel driver node ---------------------------------------------------------

// A directory with a raw pseudo-terminal named like a module's node.
class NodeDir {
  public:
    explicit NodeDir(const char* serial) {
        dir_ = scratch_.path();
        master_ = posix_openpt(O_RDWR | O_NOCTTY);
        grantpt(master_);
        unlockpt(master_);
        std::string slave = ptsname(master_);
        int fd = open(slave.c_str(), O_RDWR | O_NOCTTY);
        termios t{};
        tcgetattr(fd, &t);
        cfmakeraw(&t);
        t.c_cc[VMIN] = 0;
        t.c_cc[VTIME] = 0;
        tcsetattr(fd, TCSANOW, &t);
        close(fd);
        link_ = dir_ + "/keystrand." + serial;
        EXPECT_EQ(symlink(slave.c_str(), link_.c_str()), 0);
        ksusb_set_node_directory(dir_.c_str());
    }
    ~NodeDir() {
        ksusb_set_node_directory(nullptr);
        close(master_);
    }
    std::string receive(size_t n) {
        std::string got;
        for (int i = 0; i < 100 && got.size() < n; ++i) {
            pollfd p{master_, POLLIN, 0};
            if (poll(&p, 1, 20) != 1)
                continue;
            char buf[256];
            ssize_t r = read(master_, buf, sizeof buf);
            if (r > 0)
                got.append(buf, static_cast<size_t>(r));
        }
        return got;
    }
    void send(const std::string& s) {
        EXPECT_EQ(write(master_, s.data(), s.size()), (ssize_t)s.size());
    }

  private:
    kstest::TempDir scratch_{"ksusb-nodes"};
    std::string dir_, link_;
    int master_ = -1;
};

using KsusbNode = Ksusb;

TEST_F(KsusbNode, NodeIsPreferredOverLibusbWhenItExists) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    NodeDir nodes("40F5849A");
    EXPECT_TRUE(ksusb_is_kernel_driver_installed(0x40F5849A));
    EXPECT_FALSE(ksusb_is_kernel_driver_installed(0x40F5849B));
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateUSB(0x40F5849A, &s), qErrNone);
    const std::string msg = "through the node";
    ASSERT_EQ(qStream_Write(s, reinterpret_cast<const uint8_t*>(msg.data()), msg.size()), qErrNone);
    EXPECT_EQ(nodes.receive(msg.size()), msg);
    nodes.send("ok");
    std::string got;
    uint8_t b;
    for (int i = 0; i < 200 && got.size() < 2; ++i) {
        if (qStream_Read(s, &b, 1) == qErrNone)
            got.push_back(static_cast<char>(b));
        else
            std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    EXPECT_EQ(got, "ok");
    EXPECT_EQ(qStream_Read(s, &b, 1), qErrNotReady);
    EXPECT_TRUE(d->outTransfers().empty()) << "libusb must not have been used";
    EXPECT_TRUE(d->waitOpenClients(0, 2000));
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
}

TEST_F(KsusbNode, NodeRecordKeepsItsOwnRules) {
    NodeDir nodes("0000BEEF");
    usb = ksusb_create_usb(ksusbDriverKernel);
    ASSERT_NE(usb, nullptr);
    const uint8_t x[] = {1, 2, 3};
    uint8_t b;
    EXPECT_EQ(ksusb_write_to_device(usb, x, 3), qErrMode) << "not open yet";
    EXPECT_EQ(ksusb_get_from_device(usb, &b), qErrMode);
    EXPECT_EQ(ksusb_close_keystrand_device(usb), qErrNone) << "closing nothing is fine";
    EXPECT_EQ(ksusb_open_keystrand_device(usb, "12345678"), qErrIO) << "no such node";
    ASSERT_EQ(ksusb_open_keystrand_device(usb, "0000BEEF"), qErrNone);
    EXPECT_EQ(ksusb_state(usb), ksusbStateCreated);
    EXPECT_EQ(ksusb_write_to_device(usb, x, 3), qErrNone);
    EXPECT_EQ(nodes.receive(3), std::string("\x01\x02\x03", 3));
    EXPECT_EQ(ksusb_get_from_device(usb, &b), qErrNotReady);
    EXPECT_EQ(ksusb_close_keystrand_device(usb), qErrNone);
    EXPECT_EQ(ksusb_state(usb), ksusbStateClosed);
    EXPECT_EQ(ksusb_write_to_device(usb, x, 3), qErrMode);
}

// ---- the USB stream ----------------------------------------------------------------

using StreamUSB = UsbSimTest;

TEST_F(StreamUSB, MovesBytesThroughLibusbAndReleasesTheModuleOnDestroy) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateUSB(0x40F5849A, &s), qErrNone);
    EXPECT_TRUE(d->interfaceClaimed(0));
    const std::vector<uint8_t> out = pattern(70, 8);
    ASSERT_EQ(qStream_Write(s, out.data(), out.size()), qErrNone);
    ASSERT_EQ(qStream_Write(s, out.data(), 1), qErrNone);
    std::vector<uint8_t> expect = out;
    expect.push_back(out[0]);
    EXPECT_EQ(d->takeHostBytes(), expect);
    d->sendToHost({1, 2, 3, 4});
    uint8_t four[4] = {0};
    qErr e = qErrNotReady;
    for (int i = 0; i < 20 && e == qErrNotReady; ++i)
        e = qStream_Read(s, four, 4);
    ASSERT_EQ(e, qErrNone);
    EXPECT_EQ(std::vector<uint8_t>(four, four + 4), (std::vector<uint8_t>{1, 2, 3, 4}));
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
    EXPECT_TRUE(d->waitOpenClients(0, 2000));
    EXPECT_FALSE(d->interfaceClaimed(0));
}

TEST_F(StreamUSB, WaitsForBytesOverLibusbAndThroughTheNode) {
    kssim::UsbDevice* d = plugModule("40F5849A");
    qStream* s = nullptr;
    ASSERT_EQ(qStream_CreateUSB(0x40F5849A, &s), qErrNone);
    streamwait::checkWaitContract(s, [&](const streamwait::Bytes& b) { d->sendToHost(b); });
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
    EXPECT_TRUE(d->waitOpenClients(0, 2000)) << "the IN transfer was given back";

    NodeDir nodes("40F5849B");
    ASSERT_EQ(qStream_CreateUSB(0x40F5849B, &s), qErrNone);
    streamwait::checkWaitContract(
        s, [&](const streamwait::Bytes& b) { nodes.send(std::string(b.begin(), b.end())); });
    EXPECT_EQ(qStream_Destroy(&s), qErrNone);
}

TEST_F(StreamUSB, CreateReportsTheDriversOpenError) {
    plugModule("40F5849A");
    qStream* s = reinterpret_cast<qStream*>(0x1);
    EXPECT_EQ(qStream_CreateUSB(0x12345678, &s), qErrNotFound);
    EXPECT_EQ(s, nullptr);
    EXPECT_EQ(qStream_CreateUSB(0, &s), qErrParam);
    EXPECT_EQ(qStream_CreateUSB(0x40F5849A, nullptr), qErrParam);
    qStream* first = nullptr;
    ASSERT_EQ(qStream_CreateUSB(0x40F5849A, &first), qErrNone);
    EXPECT_EQ(qStream_CreateUSB(0x40F5849A, &s), qErrBusy);
    (void)qStream_Destroy(&first);
}

// ---- USB enumeration on the same bus ---------------------------------------------------

bool collect(const linkSpec* spec, bool* success, void* ref) {
    static_cast<std::vector<linkSpec>*>(ref)->push_back(*spec);
    *success = true;
    return true;
}

TEST_F(StreamUSB, EnumerationFindsModulesWithEightCharacterSerialsOnly) {
    plugModule("40F5849A", 0x0011);
    plugModule("0BADC0DE", 0x0004);
    plugModule("11111111", 0x8011); // bit 15: not a module
    plugModule("1234567", 0x0011);  // seven characters: skipped
    kssim::UsbDeviceConfig other;
    other.vendorId = 0x1234;
    other.serial = "22222222";
    bus_->plug(other);
    std::vector<linkSpec> found;
    EXPECT_EQ(qDiscovery_EnumerateModules(linkTypeUSB, collect, &found), 2);
    ASSERT_EQ(found.size(), 2u);
    std::sort(found.begin(), found.end(),
              [](const linkSpec& a, const linkSpec& b) { return a.serialNumber < b.serialNumber; });
    EXPECT_EQ(found[0].serialNumber, 0x0BADC0DEu);
    EXPECT_EQ(found[0].modelCode, 4u);
    EXPECT_EQ(found[1].serialNumber, 0x40F5849Au);
    EXPECT_EQ(found[1].modelCode, 17u);
    EXPECT_EQ(found[1].transport, linkTypeUSB);
    EXPECT_EQ(found[1].link.usb.usbSerial, 0x40F5849Au);
}

} // namespace
