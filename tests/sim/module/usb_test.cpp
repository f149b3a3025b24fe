// The bench's modules on the emulated USB bus, driven with plain libusb and raw
// link bytes: identification, the link on the bulk endpoints, and the device
// leaving and coming back on LOAD and REBOOT under the serial it presents.
#include <libusb.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "bytes.h"
#include "modsim/Bench.h"
#include "modsim/UsbServe.h"
#include "modsim_harness.h"
#include "usbsim/usbbus.h"

using namespace modsim_test;

namespace {

const Bytes kSync = hx("AD 00 AD 00 AD 00 AD 00 AD 00 AD 00");

// One open, claimed module found by its serial string.
struct Host {
    libusb_context* ctx = nullptr;
    libusb_device_handle* h = nullptr;
    Host() { libusb_init(&ctx); }
    ~Host() {
        close();
        libusb_exit(ctx);
    }
    void close() {
        if (h) {
            libusb_release_interface(h, 0);
            libusb_close(h);
        }
        h = nullptr;
    }
    // Looks for the module for up to `ms`; checks its identification on the way.
    bool open(const std::string& serial, uint16_t product, int ms) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        do {
            libusb_device** list = nullptr;
            ssize_t n = libusb_get_device_list(ctx, &list);
            for (ssize_t i = 0; i < n && !h; ++i) {
                libusb_device_descriptor dd{};
                libusb_get_device_descriptor(list[i], &dd);
                if (dd.idVendor != 0x24FF || dd.idProduct != product)
                    continue;
                libusb_device_handle* hd = nullptr;
                if (libusb_open(list[i], &hd))
                    continue;
                unsigned char s[64] = {0};
                libusb_get_string_descriptor_ascii(hd, dd.iSerialNumber, s, sizeof s - 1);
                libusb_config_descriptor* cd = nullptr;
                bool vendorIf = false;
                if (libusb_get_config_descriptor(list[i], 0, &cd) == 0) {
                    const libusb_interface_descriptor& id = cd->interface[0].altsetting[0];
                    vendorIf = id.bInterfaceClass == 0xFF && id.bInterfaceSubClass == 0x88 &&
                               id.bInterfaceProtocol == 0x10 && id.bNumEndpoints == 2;
                    libusb_free_config_descriptor(cd);
                }
                if (serial == reinterpret_cast<char*>(s) && vendorIf &&
                    libusb_claim_interface(hd, 0) == 0)
                    h = hd;
                else
                    libusb_close(hd);
            }
            libusb_free_device_list(list, 1);
            if (h)
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        } while (std::chrono::steady_clock::now() < end);
        return false;
    }
    int send(const Bytes& b) {
        int done = 0;
        return libusb_bulk_transfer(h, 0x01, const_cast<uint8_t*>(b.data()), int(b.size()), &done,
                                    1000);
    }
    // Collects IN bytes until `want` came, or an error; returns the last error.
    int recv(size_t want, Bytes& got, int ms = 1000) {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
        int rc = 0;
        while (got.size() < want && std::chrono::steady_clock::now() < end) {
            uint8_t buf[800];
            int n = 0;
            rc = libusb_bulk_transfer(h, 0x81, buf, sizeof buf, &n, 100);
            got.insert(got.end(), buf, buf + n);
            if (rc && rc != LIBUSB_ERROR_TIMEOUT)
                return rc;
        }
        return got.size() >= want ? 0 : rc;
    }
    Bytes ask(const Bytes& b, size_t want) {
        Bytes got;
        EXPECT_EQ(send(b), 0);
        EXPECT_EQ(recv(want, got), 0);
        return got;
    }
};

} // namespace

TEST(BenchUsb, ModulesAppearWithTheirIdentityAndCarryTheLink) {
    kssim::UsbBus bus;
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench(
        "module u serial=40F5849A model=17 address=4 usb restart-ms=100 loader-serial=default\n"
        "module v serial=0000BEEF model=22 address=6 usb\n"
        "module w serial=00000C01 address=8 router=u\n",
        cfg, err))
        << err;
    modsim::Bench bench;
    ASSERT_TRUE(bench.start(cfg, err)) << err;
    modsim::UsbServe serve(bench, bus);
    ASSERT_TRUE(serve.start(err)) << err;

    Host host;
    ASSERT_TRUE(host.open("0000BEEF", 22, 2000));
    EXPECT_EQ(kstest::HexDump(host.ask(kSync, 4)), "06 00 06 00");
    host.close();

    ASSERT_TRUE(host.open("40F5849A", 17, 2000));
    EXPECT_EQ(kstest::HexDump(host.ask(kSync, 4)), "04 00 04 00");
    EXPECT_EQ(kstest::HexDump(host.ask(pkt(4, hx("03 49 20")), 9)), "04 07 03 09 00 40 F5 84 9A");
    EXPECT_EQ(kstest::HexDump(host.ask(pkt(4, hx("03 94 20 01")), 5)), "04 03 03 D4 00");
    EXPECT_EQ(kstest::HexDump(host.ask(pkt(8, hx("03 49 20")), 9)), "08 07 03 09 00 00 00 0C 01");

    // LOAD: the device leaves the bus (transfers fail) and the loader comes back
    // as DEADDEAD
    EXPECT_EQ(kstest::HexDump(host.ask(pkt(4, hx("5F 00")), 8)), "04 06 5F 00 10 00 00 00");
    host.ask(pkt(4, hx("5F 03 05 00 00 40 00")), 7);
    host.ask(pkt(4, hx("5F 01 01 02 03 04")), 5);
    EXPECT_EQ(kstest::HexDump(host.ask(pkt(4, hx("5F 02")), 4)), "04 02 5F 02");
    Bytes none;
    int rc = host.recv(1, none, 2000);
    EXPECT_TRUE(rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_IO) << libusb_error_name(rc);
    host.close();
    ASSERT_TRUE(host.open("DEADDEAD", 17, 3000));
    EXPECT_EQ(kstest::HexDump(host.ask(kSync, 4)), "04 00 04 00");
    host.ask(pkt(4, hx("5F 03 02 00 00 01 00")), 7);
    host.ask(pkt(4, hx("5F 01 AA BB")), 5);
    host.ask(pkt(4, hx("5F 04")), 9);
    EXPECT_EQ(kstest::HexDump(host.ask(pkt(4, hx("5F 05 00 02")), 5)), "04 03 5F 07 00");
    EXPECT_EQ(host.send(pkt(4, hx("5F 06"))), 0);
    rc = host.recv(1, none, 2000);
    EXPECT_TRUE(rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_IO) << libusb_error_name(rc);
    host.close();
    ASSERT_TRUE(host.open("40F5849A", 17, 3000));
    EXPECT_EQ(kstest::HexDump(host.ask(kSync, 4)), "04 00 04 00");
    host.close();

    auto st = bench.state("u");
    EXPECT_EQ(kstest::HexDump(st.loaderImages.at(0).data), "01 02 03 04");
    EXPECT_EQ(kstest::HexDump(st.runningFirmware.at(0).data), "AA BB");
    EXPECT_EQ(serve.plugCount("u"), 3u);
    EXPECT_EQ(st.mode, modsim::Mode::Firmware);
    serve.stop();
    bench.stop();
}

TEST(BenchUsb, VanishingModuleLeavesTheBusForGood) {
    kssim::UsbBus bus;
    modsim::BenchConfig cfg;
    std::string err;
    ASSERT_TRUE(modsim::parseBench(
        "module u serial=12345678 model=17 address=4 usb restart-ms=50 vanish-at=10\n", cfg, err))
        << err;
    modsim::Bench bench;
    ASSERT_TRUE(bench.start(cfg, err)) << err;
    modsim::UsbServe serve(bench, bus);
    ASSERT_TRUE(serve.start(err)) << err;
    Host host;
    ASSERT_TRUE(host.open("12345678", 17, 2000));
    host.ask(pkt(4, hx("5F 00")), 8);
    host.ask(pkt(4, hx("5F 03 00 00 00 00 00")), 7);
    host.ask(pkt(4, hx("5F 01 01")), 5);
    EXPECT_EQ(kstest::HexDump(host.ask(pkt(4, hx("5F 02")), 4)), "04 02 5F 02");
    host.close();
    for (int i = 0; i < 300 && serve.plugCount("u") < 2; ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_EQ(serve.plugCount("u"), 2u); // back as the loader
    ASSERT_TRUE(host.open("12345678", 17, 3000));
    host.ask(pkt(4, hx("5F 03 00 00 00 00 00")), 7);
    EXPECT_EQ(host.send(pkt(4, hx("5F 01 01 02 03 04 05 06 07 08 09 0A 0B 0C"))), 0);
    Bytes none;
    int rc = host.recv(1, none, 2000);
    EXPECT_TRUE(rc == LIBUSB_ERROR_NO_DEVICE || rc == LIBUSB_ERROR_IO) << libusb_error_name(rc);
    host.close();
    EXPECT_FALSE(host.open("12345678", 17, 500));
    EXPECT_EQ(serve.device("u"), nullptr);
    EXPECT_EQ(bench.state("u").faultsFired["vanish"], 1u);
}
