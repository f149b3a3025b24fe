// The emulated USB bus, exercised through plain libusb calls: what the bus
// offers must look to libusb exactly like hardware does.
#include <libusb.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "bytes.h"
#include "tempdir.h"
#include "usbsim_fixture.h"
#include "wait.h"

namespace {

// One libusb context and, once opened, one handle on a device.
struct Host {
    libusb_context* ctx = nullptr;
    libusb_device_handle* h = nullptr;
    Host() { EXPECT_EQ(libusb_init(&ctx), 0); }
    ~Host() {
        if (h)
            libusb_close(h);
        if (ctx)
            libusb_exit(ctx);
    }
    // Serial strings of every device with this vendor id, as libusb sees them.
    std::vector<std::string> serials(uint16_t vendor) {
        std::vector<std::string> out;
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n; ++i) {
            libusb_device_descriptor dd{};
            libusb_get_device_descriptor(list[i], &dd);
            if (dd.idVendor != vendor)
                continue;
            libusb_device_handle* hh = nullptr;
            if (libusb_open(list[i], &hh) != 0) {
                out.push_back("<cannot open>");
                continue;
            }
            unsigned char s[64] = {0};
            int r = libusb_get_string_descriptor_ascii(hh, dd.iSerialNumber, s, sizeof s - 1);
            out.push_back(r >= 0 ? std::string(reinterpret_cast<char*>(s)) : "<no serial>");
            libusb_close(hh);
        }
        libusb_free_device_list(list, 1);
        return out;
    }
    bool open(const kssim::UsbDevice* d) {
        libusb_device** list = nullptr;
        ssize_t n = libusb_get_device_list(ctx, &list);
        for (ssize_t i = 0; i < n && !h; ++i) {
            if (libusb_get_device_address(list[i]) == d->deviceAddress() &&
                libusb_get_bus_number(list[i]) == d->busNumber()) {
                EXPECT_EQ(libusb_open(list[i], &h), 0);
            }
        }
        libusb_free_device_list(list, 1);
        return h != nullptr;
    }
    int bulk(uint8_t ep, std::vector<uint8_t>& data, int* done, unsigned timeout) {
        return libusb_bulk_transfer(h, ep, data.data(), static_cast<int>(data.size()), done,
                                    timeout);
    }
};

using UsbBusEnumeration = UsbSimTest;
using UsbBusTransfers = UsbSimTest;
using UsbBusFaults = UsbSimTest;
using UsbBusUnplug = UsbSimTest;
using UsbBusChild = UsbSimTest;
using UsbBusWatchers = UsbSimTest;

TEST_F(UsbBusEnumeration, ListsPluggedDevicesWithTheirIdsAndSerialStrings) {
    plugModule("40F5849A", 0x0010);
    plugModule("0000BEEF", 0x8010);
    kssim::UsbDeviceConfig other;
    other.vendorId = 0x1234;
    other.serial = "X";
    bus_->plug(other);

    Host host;
    libusb_device** list = nullptr;
    ssize_t n = libusb_get_device_list(host.ctx, &list);
    std::vector<std::pair<uint16_t, uint16_t>> ids;
    for (ssize_t i = 0; i < n; ++i) {
        libusb_device_descriptor dd{};
        ASSERT_EQ(libusb_get_device_descriptor(list[i], &dd), 0);
        ids.emplace_back(dd.idVendor, dd.idProduct);
    }
    libusb_free_device_list(list, 1);
    ASSERT_EQ(ids.size(), 4u);
    EXPECT_NE(std::find(ids.begin(), ids.end(), std::make_pair<uint16_t, uint16_t>(0x1d6b, 2)),
              ids.end())
        << "no root hub";
    std::vector<std::string> serials = host.serials(0x24FF);
    std::sort(serials.begin(), serials.end());
    EXPECT_EQ(serials, (std::vector<std::string>{"0000BEEF", "40F5849A"}));
}

TEST_F(UsbBusEnumeration, ConfigurationDescriptorCarriesTheVendorInterface) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    libusb_config_descriptor* cfg = nullptr;
    ASSERT_EQ(libusb_get_config_descriptor(libusb_get_device(host.h), 0, &cfg), 0);
    ASSERT_EQ(cfg->bNumInterfaces, 1);
    const libusb_interface_descriptor& alt = cfg->interface[0].altsetting[0];
    EXPECT_EQ(alt.bInterfaceClass, 0xFF);
    EXPECT_EQ(alt.bInterfaceSubClass, 0x88);
    EXPECT_EQ(alt.bInterfaceProtocol, 0x10);
    ASSERT_EQ(alt.bNumEndpoints, 2);
    EXPECT_EQ(alt.endpoint[0].bEndpointAddress, 0x81);
    EXPECT_EQ(alt.endpoint[1].bEndpointAddress, 0x01);
    libusb_free_config_descriptor(cfg);
}

TEST_F(UsbBusEnumeration, SecondHandleCannotClaimAnInterfaceTheFirstHolds) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host a, b;
    ASSERT_TRUE(a.open(d));
    ASSERT_TRUE(b.open(d));
    EXPECT_EQ(d->openClients(), 2);
    EXPECT_EQ(libusb_claim_interface(a.h, 0), 0);
    EXPECT_TRUE(d->interfaceClaimed(0));
    EXPECT_EQ(libusb_claim_interface(b.h, 0), LIBUSB_ERROR_BUSY);
    EXPECT_EQ(libusb_claim_interface(a.h, 1), LIBUSB_ERROR_NOT_FOUND);
    EXPECT_EQ(libusb_release_interface(a.h, 0), 0);
    EXPECT_EQ(libusb_claim_interface(b.h, 0), 0);
}

TEST_F(UsbBusEnumeration, ClosingAHandleReleasesItsClaims) {
    kssim::UsbDevice* d = plugModule("11223344");
    {
        Host a;
        ASSERT_TRUE(a.open(d));
        ASSERT_EQ(libusb_claim_interface(a.h, 0), 0);
    }
    for (int i = 0; i < 100 && d->interfaceClaimed(0); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    EXPECT_FALSE(d->interfaceClaimed(0));
    Host b;
    ASSERT_TRUE(b.open(d));
    EXPECT_EQ(libusb_claim_interface(b.h, 0), 0);
}

TEST_F(UsbBusEnumeration, DeviceHeldElsewhereOpensButCannotBeClaimedOrUsed) {
    kssim::UsbDevice* d = plugModule("11223344");
    d->setHeldElsewhere(true);
    Host host;
    ASSERT_TRUE(host.open(d)); // opening and reading descriptors still work
    libusb_device_descriptor dd{};
    EXPECT_EQ(libusb_get_device_descriptor(libusb_get_device(host.h), &dd), 0);
    EXPECT_EQ(libusb_claim_interface(host.h, 0), LIBUSB_ERROR_BUSY);
    std::vector<uint8_t> out{1, 2, 3};
    int done = 0;
    EXPECT_LT(host.bulk(0x01, out, &done, 200), 0); // libusb reports the EBUSY as an I/O error
    EXPECT_FALSE(d->interfaceClaimed(0));
    EXPECT_TRUE(d->takeHostBytes().empty());
    d->setHeldElsewhere(false); // the other program lets go
    EXPECT_EQ(libusb_claim_interface(host.h, 0), 0);
    EXPECT_EQ(host.bulk(0x01, out, &done, 200), 0);
}

TEST_F(UsbBusTransfers, BulkOutReachesTheFarEndAndBulkInBringsItsBytes) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    ASSERT_EQ(libusb_claim_interface(host.h, 0), 0);

    std::vector<uint8_t> out(120);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i * 7);
    int done = 0;
    ASSERT_EQ(host.bulk(0x01, out, &done, 500), 0);
    EXPECT_EQ(done, 120);
    std::vector<uint8_t> got = d->takeHostBytes();
    EXPECT_EQ(got, out) << "got " << kstest::HexDump(got);
    ASSERT_EQ(d->outTransfers().size(), 1u);
    EXPECT_EQ(d->outTransfers()[0].requested, 120u);

    const std::vector<uint8_t> reply = {0xDE, 0xAD, 0xBE, 0xEF, 0x01};
    d->sendToHost(reply);
    std::vector<uint8_t> in(800);
    ASSERT_EQ(host.bulk(0x81, in, &done, 500), 0);
    in.resize(static_cast<size_t>(done));
    EXPECT_EQ(in, reply) << "got " << kstest::HexDump(in);
}

TEST_F(UsbBusTransfers, BulkInLongerThanTheBufferArrivesInOrderOverSeveralTransfers) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    std::vector<uint8_t> sent(1000);
    for (size_t i = 0; i < sent.size(); ++i)
        sent[i] = static_cast<uint8_t>(i);
    d->sendToHost(sent);
    std::vector<uint8_t> all;
    for (int k = 0; k < 3 && all.size() < sent.size(); ++k) {
        std::vector<uint8_t> in(800);
        int done = 0;
        ASSERT_EQ(host.bulk(0x81, in, &done, 500), 0);
        EXPECT_LE(done, 800);
        all.insert(all.end(), in.begin(), in.begin() + done);
    }
    EXPECT_EQ(all, sent);
}

TEST_F(UsbBusTransfers, BulkInWithNothingToSayTimesOutAfterItsTimeOut) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    std::vector<uint8_t> in(800);
    int done = -1;
    auto t0 = Clock::now();
    EXPECT_EQ(host.bulk(0x81, in, &done, 100), LIBUSB_ERROR_TIMEOUT);
    long ms = MsSince(t0);
    EXPECT_EQ(done, 0);
    EXPECT_GE(ms, 95);
    EXPECT_LT(ms, 1000);
    // The discarded URB is gone: the next transfer gets fresh data.
    d->sendToHost({0x42});
    EXPECT_EQ(host.bulk(0x81, in, &done, 500), 0);
    EXPECT_EQ(done, 1);
    EXPECT_EQ(in[0], 0x42);
}

TEST_F(UsbBusTransfers, EachOpenHandleReapsOnlyItsOwnUrbs) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host a, b;
    ASSERT_TRUE(a.open(d));
    ASSERT_TRUE(b.open(d));
    std::atomic<int> result{1};
    std::vector<uint8_t> got(64);
    int done = 0;
    std::thread reader([&] { result = a.bulk(0x81, got, &done, 2000); });
    // Meanwhile the other handle does control and OUT traffic of its own.
    for (int i = 0; i < 20; ++i) {
        unsigned char s[32] = {0};
        libusb_device_descriptor dd{};
        libusb_get_device_descriptor(libusb_get_device(b.h), &dd);
        ASSERT_GT(libusb_get_string_descriptor_ascii(b.h, dd.iSerialNumber, s, sizeof s), 0);
        EXPECT_STREQ(reinterpret_cast<char*>(s), "11223344");
    }
    d->sendToHost({1, 2, 3});
    reader.join();
    EXPECT_EQ(result.load(), 0);
    EXPECT_EQ(done, 3);
}

TEST_F(UsbBusFaults, StalledOutEndpointFailsUntilTheHaltIsCleared) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    std::vector<uint8_t> out(10, 0x55);
    int done = 0;
    d->stallOut(1);
    EXPECT_EQ(host.bulk(0x01, out, &done, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(host.bulk(0x01, out, &done, 100), LIBUSB_ERROR_PIPE) << "halt must persist";
    d->setClearHaltFails(true);
    EXPECT_NE(libusb_clear_halt(host.h, 0x01), 0);
    d->setClearHaltFails(false);
    EXPECT_EQ(libusb_clear_halt(host.h, 0x01), 0);
    EXPECT_EQ(d->clearHaltCount(), 1);
    EXPECT_EQ(host.bulk(0x01, out, &done, 100), 0);
    EXPECT_EQ(d->takeHostBytes(), out);
}

TEST_F(UsbBusFaults, StalledInEndpointReportsPipe) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    d->sendToHost({9});
    d->stallIn(1);
    std::vector<uint8_t> in(8);
    int done = 0;
    EXPECT_EQ(host.bulk(0x81, in, &done, 100), LIBUSB_ERROR_PIPE);
    EXPECT_EQ(libusb_clear_halt(host.h, 0x81), 0);
    EXPECT_EQ(host.bulk(0x81, in, &done, 100), 0);
    EXPECT_EQ(done, 1);
}

TEST_F(UsbBusFaults, NakAndPartialOutEndInTimeOutsWithWhatWasTaken) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    std::vector<uint8_t> out(50);
    for (size_t i = 0; i < out.size(); ++i)
        out[i] = static_cast<uint8_t>(i);
    int done = -1;
    d->setOutNak(true);
    EXPECT_EQ(host.bulk(0x01, out, &done, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(done, 0);
    d->setOutNak(false);
    d->setOutPartial(20, 1);
    EXPECT_EQ(host.bulk(0x01, out, &done, 50), LIBUSB_ERROR_TIMEOUT);
    EXPECT_EQ(done, 20);
    EXPECT_EQ(host.bulk(0x01, out, &done, 50), 0);
    EXPECT_EQ(done, 50);
    std::vector<uint8_t> expect(out.begin(), out.begin() + 20);
    expect.insert(expect.end(), out.begin(), out.end());
    EXPECT_EQ(d->takeHostBytes(), expect);
    auto log = d->outTransfers();
    ASSERT_EQ(log.size(), 3u);
    EXPECT_EQ(log[0].accepted, 0u);
    EXPECT_EQ(log[1].accepted, 20u);
    EXPECT_EQ(log[2].accepted, 50u);
}

TEST_F(UsbBusFaults, HostWriteHandlerSeesEveryTransferAndCanAnswer) {
    kssim::UsbDevice* d = plugModule("11223344");
    d->setHostWriteHandler([d](const uint8_t* p, size_t n) {
        std::vector<uint8_t> echo(p, p + n);
        for (auto& x : echo)
            x = static_cast<uint8_t>(~x);
        d->sendToHost(echo);
    });
    Host host;
    ASSERT_TRUE(host.open(d));
    std::vector<uint8_t> out = {1, 2, 3, 4};
    int done = 0;
    ASSERT_EQ(host.bulk(0x01, out, &done, 100), 0);
    std::vector<uint8_t> in(64);
    ASSERT_EQ(host.bulk(0x81, in, &done, 500), 0);
    in.resize(static_cast<size_t>(done));
    EXPECT_EQ(in, (std::vector<uint8_t>{0xFE, 0xFD, 0xFC, 0xFB}));
    EXPECT_TRUE(d->takeHostBytes().empty()) << "handler bytes must not be queued as well";
}

// A host may write the moment the device appears, before its far end set a
// handler: those bytes reach the handler first, in order, and are not lost.
TEST_F(UsbBusFaults, BytesSentBeforeTheHandlerReachItFirst) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    std::vector<uint8_t> early = {1, 2, 3}, late = {4, 5};
    int done = 0;
    ASSERT_EQ(host.bulk(0x01, early, &done, 100), 0);
    std::vector<uint8_t> seen;
    d->setHostWriteHandler(
        [&seen](const uint8_t* p, size_t n) { seen.insert(seen.end(), p, p + n); });
    ASSERT_EQ(host.bulk(0x01, late, &done, 100), 0);
    d->setHostWriteHandler({}); // no call runs once this returns
    EXPECT_EQ(seen, (std::vector<uint8_t>{1, 2, 3, 4, 5}));
    EXPECT_TRUE(d->takeHostBytes().empty());
}

TEST_F(UsbBusFaults, ReplacingTheHandlerWaitsForARunningCall) {
    kssim::UsbDevice* d = plugModule("11223344");
    std::atomic<bool> entered{false}, finished{false};
    d->setHostWriteHandler([&](const uint8_t*, size_t) {
        entered = true;
        std::this_thread::sleep_for(std::chrono::milliseconds(150));
        finished = true;
    });
    Host host;
    ASSERT_TRUE(host.open(d));
    std::thread writer([&] {
        std::vector<uint8_t> out = {1};
        int done = 0;
        host.bulk(0x01, out, &done, 1000);
    });
    for (int i = 0; i < 400 && !entered; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    ASSERT_TRUE(entered.load());
    d->setHostWriteHandler({});
    EXPECT_TRUE(finished.load()) << "the old handler was still running";
    writer.join();
}

TEST_F(UsbBusUnplug, PendingTransferEndsWithNoDeviceAndLaterCallsFail) {
    kssim::UsbDevice* d = plugModule("11223344");
    Host host;
    ASSERT_TRUE(host.open(d));
    ASSERT_EQ(libusb_claim_interface(host.h, 0), 0);
    std::atomic<int> result{1};
    std::atomic<long> took{0};
    std::atomic<pid_t> readerTid{0};
    std::thread reader([&] {
        readerTid = kstest::ThreadId();
        std::vector<uint8_t> in(800);
        int done = 0;
        auto t0 = Clock::now();
        result = host.bulk(0x81, in, &done, 60000);
        took = MsSince(t0);
    });
    // Unplugged while the transfer is pending.
    EXPECT_TRUE(kstest::WaitUntil([&] { return readerTid.load() != 0; }, 10000));
    EXPECT_TRUE(kstest::WaitUntilAsleep(readerTid, 10000));
    bus_->unplug(d);
    reader.join();
    EXPECT_EQ(result.load(), LIBUSB_ERROR_NO_DEVICE);
    EXPECT_LT(took.load(), 30000) << "ends with the unplug, not the 60 s time-out";
    std::vector<uint8_t> out(4);
    int done = 0;
    EXPECT_EQ(host.bulk(0x01, out, &done, 100), LIBUSB_ERROR_NO_DEVICE);
    Host fresh;
    EXPECT_TRUE(fresh.serials(0x24FF).empty());
}

TEST_F(UsbBusUnplug, ReplugGetsANewAddressAndIsFoundAgain) {
    kssim::UsbDevice* d = plugModule("11223344");
    const int first = d->deviceAddress();
    bus_->unplug(d);
    kssim::UsbDevice* again = plugModule("11223344");
    EXPECT_NE(again->deviceAddress(), first);
    Host host;
    EXPECT_EQ(host.serials(0x24FF), std::vector<std::string>{"11223344"});
}

TEST_F(UsbBusChild, ChildProgramSeesTheBus) {
    plugModule("CAFEF00D");
    plugModule("0BADC0DE", 0x0022);
    kstest::TempDir dir("usbsim-child");
    std::string path = dir / "list";
    pid_t pid = bus_->spawn({USBSIM_LIST_TOOL, path});
    ASSERT_GT(pid, 0);
    int status = kssim::UsbBus::waitChild(pid, 10000);
    ASSERT_TRUE(WIFEXITED(status)) << "status " << status;
    EXPECT_EQ(WEXITSTATUS(status), 0);
    std::istringstream f(kstest::ReadFile(path));
    std::vector<std::string> lines;
    for (std::string line; std::getline(f, line);)
        lines.push_back(line);
    std::sort(lines.begin(), lines.end());
    EXPECT_EQ(lines, (std::vector<std::string>{"1d6b:0002 0000:00:14.0", "24ff:0010 CAFEF00D",
                                               "24ff:0022 0BADC0DE"}));
}

// As a kernel does at exit: a program killed with a transfer under way lets
// go of its interface, and the next program claims it at once.
TEST_F(UsbBusChild, KilledProgramReleasesItsClaimForTheNextOne) {
    kssim::UsbDevice* d = plugModule("11223344");
    d->setHostWriteHandler([d](const uint8_t* p, size_t n) { d->sendToHost(p, n / 2); });
    kstest::TempDir dir("usbsim-kill");
    for (int run = 0; run < 10; ++run) {
        SCOPED_TRACE("run " + std::to_string(run));
        const std::string ready = dir / ("ready" + std::to_string(run));
        pid_t pid = bus_->spawn({USBSIM_BUSY_TOOL, ready});
        ASSERT_GT(pid, 0);
        ASSERT_TRUE(kstest::WaitUntil(
            [&] { return access(ready.c_str(), F_OK) == 0 || waitpid(pid, nullptr, WNOHANG) != 0; },
            10000));
        ASSERT_EQ(access(ready.c_str(), F_OK), 0) << "the program could not claim the device";
        std::this_thread::sleep_for(std::chrono::milliseconds(run * 3));
        kill(pid, SIGKILL);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        ASSERT_TRUE(WIFSIGNALED(status)) << "the program ended by itself: status " << status;
        Host next;
        ASSERT_TRUE(next.open(d));
        EXPECT_EQ(libusb_claim_interface(next.h, 0), 0);
    }
}

// A program watching the bus for plugs and unplugs (libusb's hotplug
// monitor, lsusb) may close its watch at any moment, also while the bus
// tells the watchers of a plug: the bus skips it and goes on, as the kernel
// does, instead of dying. A watch is an event socket in the test bed; one
// that is gone answers as refused, and other sockets keep their own errors.
TEST_F(UsbBusWatchers, AWatcherLeavingDuringAPlugIsSkipped) {
    const char* root = std::getenv("UMOCKDEV_DIR");
    ASSERT_NE(root, nullptr);
    auto connectTo = [](const std::string& path) {
        sockaddr_un a{};
        a.sun_family = AF_UNIX;
        std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
        int fd = socket(AF_UNIX, SOCK_SEQPACKET, 0);
        errno = 0;
        const int rc = connect(fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        const int err = rc < 0 ? errno : 0;
        close(fd);
        return err;
    };
    EXPECT_EQ(connectTo(std::string(root) + "/event98765"), ECONNREFUSED);
    EXPECT_EQ(connectTo(std::string(root) + "/eventual"), ENOENT);
    EXPECT_EQ(connectTo(std::string(root) + "/sub/event98765"), ENOENT);

    // Watchers come and go while the device is plugged and unplugged.
    std::atomic<bool> done{false};
    std::thread watchers([&] {
        for (int i = 0; !done && i < 100000; ++i) {
            const std::string path = std::string(root) + "/event" + std::to_string(900000 + i % 4);
            sockaddr_un a{};
            a.sun_family = AF_UNIX;
            std::snprintf(a.sun_path, sizeof a.sun_path, "%s", path.c_str());
            int fd = socket(AF_UNIX, SOCK_DGRAM, 0);
            if (bind(fd, reinterpret_cast<sockaddr*>(&a), sizeof a) == 0)
                std::this_thread::sleep_for(std::chrono::microseconds(50));
            unlink(path.c_str());
            close(fd);
        }
    });
    for (int i = 0; i < 40; ++i)
        bus_->unplug(plugModule("11223344"));
    done = true;
    watchers.join();
    plugModule("55667788");
    Host host;
    EXPECT_EQ(host.serials(0x24FF), std::vector<std::string>{"55667788"});
}

} // namespace
