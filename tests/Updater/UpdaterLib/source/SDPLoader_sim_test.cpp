// The i.MX SDP client against the ROM simulator on real transports: HID on
// the emulated USB bus and a pty paced at 115200 baud. Loader images are
// compared byte for byte with what the ROM received; after the jump the
// loader is found on USB with the device library, and the new firmware it
// receives runs under the module's own serial number.
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <libusb.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "Entity.h"
#include "HID_SDPLoader.h"
#include "Module.h"
#include "SDPLoader.h"
#include "Serial_SDPLoader.h"
#include "SystemClass.h"
#include "bytes.h"
#include "modsim/Bench.h"
#include "modsim/UsbServe.h"
#include "process.h"
#include "tempdir.h"
#include "usbsim/hidbus.h"
#include "usbsim_fixture.h"

using kstest::Bytes;
namespace ks = Quillmar::Keystrand;

namespace {

constexpr uint32_t kLoadAddress = 0x20000400;
const uint32_t kUid[4] = {0xA1A1A1A1, 0xB2B2B2B2, 0xC3C3C3C3, 0xD4D4D4D4};
const char* kModule = "module d serial=40F5849A model=17 address=4 restart-ms=100 "
                      "loader-serial=default uid=A1A1A1A1,B2B2B2B2,C3C3C3C3,D4D4D4D4 "
                      "rom-fingerprint=89ABCDEF,01234567 ";

Bytes pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 31 + seed + (i >> 8));
    return b;
}

// The bench with one dead i.MX module, served on the emulated bus.
class ImxRomTest : public UsbSimTest {
  protected:
    void startBench(const std::string& extra) {
        modsim::BenchConfig cfg;
        std::string err;
        ASSERT_TRUE(modsim::parseBench(std::string(kModule) + extra + "\n", cfg, err)) << err;
        ASSERT_TRUE(bench_.start(cfg, err)) << err;
        serve_ = std::make_unique<modsim::UsbServe>(bench_, *bus_);
        ASSERT_TRUE(serve_->start(err)) << err;
    }
    void TearDown() override {
        if (serve_)
            serve_->stop();
        bench_.stop();
        UsbSimTest::TearDown();
    }
    std::unique_ptr<SDPLoader> hidClient() {
        auto c = std::make_unique<SDPLoader>();
        c->setLoader(new HID_SDPLoader(0x1FC9, 0x0130));
        EXPECT_EQ(c->init(), SDP_OK);
        return c;
    }
    std::unique_ptr<SDPLoader> serialClient() {
        path_ = bench_.romPtyPath("d");
        auto c = std::make_unique<SDPLoader>();
        c->setLoader(new Serial_SDPLoader(path_.c_str()));
        EXPECT_EQ(c->init(), SDP_OK);
        return c;
    }
    // The loader on USB under `serial`, tried for up to `ms`.
    bool connect(ks::Module& m, uint32_t serial, int ms) {
        auto end = Clock::now() + std::chrono::milliseconds(ms);
        do {
            if (m.discoverAndConnect(linkTypeUSB, serial) == qErrNone && m.isConnected())
                return true;
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        } while (Clock::now() < end);
        return false;
    }

    modsim::Bench bench_;
    std::unique_ptr<modsim::UsbServe> serve_;
    std::string path_;
};

// One upgrade request and its reply (command byte and sub-command first).
Bytes ask(ks::EntityClass& upgrade, const Bytes& request, const Bytes& match) {
    EXPECT_EQ(upgrade.sendPacket(request[0], uint8_t(request.size() - 1), request.data() + 1),
              qErrNone);
    uint8_t length = uint8_t(match.size());
    uint8_t data[28] = {0};
    if (upgrade.receivePacket(match.data(), &length, data) != qErrNone)
        return {};
    return Bytes(data, data + length);
}

// Writes one firmware block through a running loader, as the upgrade
// protocol does it: PREPARE, then per portion DATA packets, SUM and WRITE.
void writeFirmwareBlock(ks::EntityClass& upgrade, uint32_t address, const Bytes& image) {
    Bytes prepare = {0x5F,
                     0x03,
                     0x02,
                     uint8_t(address >> 24),
                     uint8_t(address >> 16),
                     uint8_t(address >> 8),
                     uint8_t(address)};
    Bytes status = ask(upgrade, prepare, {0x5F, 0x07});
    ASSERT_GE(status.size(), 5u);
    ASSERT_EQ(status[2], 0);
    const size_t portion = size_t(status[3]) << 8 | status[4];
    for (size_t pos = 0; pos < image.size(); pos += portion) {
        size_t end = std::min(image.size(), pos + portion);
        for (size_t at = pos; at < end; at += 26) {
            Bytes data = {0x5F, 0x01};
            data.insert(data.end(), image.begin() + long(at),
                        image.begin() + long(std::min(end, at + 26)));
            ASSERT_EQ(ask(upgrade, data, {0x5F, 0x01}).at(2), data.size() - 2);
        }
        ASSERT_EQ(ask(upgrade, {0x5F, 0x04}, {0x5F, 0x07}).at(2), 0);
        Bytes write = {0x5F, 0x05, uint8_t((end - pos) >> 8), uint8_t(end - pos)};
        ASSERT_EQ(ask(upgrade, write, {0x5F, 0x07}).at(2), 0);
    }
}

} // namespace

TEST_F(ImxRomTest, HidLoaderRunsAndItsFirmwareTransferEndsUnderTheModulesSerial) {
    startBench("imx=usb");
    auto client = hidClient();
    uint64_t fingerprint = 0;
    EXPECT_EQ(client->getFingerprint(fingerprint), SDP_OK);
    EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);

    const Bytes loader = pattern(40000, 3);
    ASSERT_EQ(client->writeLoader(loader, kLoadAddress), SDP_OK);
    imxsim::RomState rom = bench_.romState("d");
    ASSERT_EQ(rom.images.size(), 1u);
    EXPECT_EQ(rom.images[0].address, kLoadAddress);
    EXPECT_BYTES(loader, rom.images[0].data);
    client->startLoader(kLoadAddress);
    client.reset();

    // The ROM leaves the bus; the loader comes up as DEADDEAD.
    ks::Module module(0);
    ASSERT_TRUE(connect(module, 0xDEADDEAD, 5000));
    EXPECT_EQ(serve_->romDevice("d"), nullptr);
    EXPECT_EQ(bench_.romState("d").jumpAddress, kLoadAddress);
    ks::SystemClass sys;
    sys.init(&module, 0);
    for (uint8_t i = 0; i < 4; ++i) {
        uint32_t word = 0;
        EXPECT_EQ(sys.getUEI32(39, i, &word), qErrNone);
        EXPECT_EQ(word, kUid[i]) << "subindex " << int(i);
    }

    const Bytes firmware = pattern(3000, 9);
    ks::EntityClass upgrade;
    upgrade.init(&module, 0x5F, 0);
    writeFirmwareBlock(upgrade, 0x60002000, firmware);
    EXPECT_EQ(upgrade.sendPacket(0x5F, 1, Bytes{0x06}.data()), qErrNone); // REBOOT
    (void)module.disconnect();

    ASSERT_TRUE(bench_.waitFor(
        "d",
        [](const modsim::ModuleState& s) {
            return s.present && s.mode == modsim::Mode::Firmware && s.serial == 0x40F5849A;
        },
        5000));
    modsim::ModuleState st = bench_.state("d");
    ASSERT_EQ(st.runningFirmware.size(), 1u);
    EXPECT_EQ(st.runningFirmware[0].address, 0x60002000u);
    EXPECT_BYTES(firmware, st.runningFirmware[0].data);
    ks::Module running(0);
    EXPECT_TRUE(connect(running, 0x40F5849A, 5000));
    EXPECT_FALSE(bench_.romActive("d"));
}

TEST_F(ImxRomTest, ResetOfTheLoaderWithoutNewFirmwareBringsTheRomBack) {
    startBench("imx=usb");
    auto client = hidClient();
    ASSERT_EQ(client->writeLoader(pattern(5000, 1), kLoadAddress), SDP_OK);
    client->startLoader(kLoadAddress);
    client.reset();
    {
        ks::Module module(0);
        ASSERT_TRUE(connect(module, 0xDEADDEAD, 5000));
        ks::SystemClass sys;
        sys.init(&module, 0);
        (void)sys.reset(); // the module restarts: its answer may be lost
    }
    ASSERT_TRUE(bench_.waitFor(
        "d", [](const modsim::ModuleState& s) { return s.mode == modsim::Mode::Rom; }, 5000));
    auto end = Clock::now() + std::chrono::seconds(5);
    while (!serve_->romDevice("d") && Clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    ASSERT_NE(serve_->romDevice("d"), nullptr);
    auto again = hidClient();
    uint64_t fingerprint = 0;
    EXPECT_EQ(again->getFingerprint(fingerprint), SDP_OK);
    EXPECT_EQ(bench_.romState("d").boots, 2u);
}

TEST_F(ImxRomTest, SerialLoaderOfTensOfKilobytesAtTheLineRateAfterAStrayProbeByte) {
    startBench("imx=pty rom-baud=115200");
    // Another bootloader's probe reaches the ROM first and waits for an answer.
    int fd = open(bench_.romPtyPath("d").c_str(), O_RDWR | O_NOCTTY);
    ASSERT_GE(fd, 0);
    ASSERT_EQ(write(fd, "?", 1), 1);
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    close(fd);

    auto client = serialClient();
    uint64_t fingerprint = 0;
    EXPECT_EQ(client->getFingerprint(fingerprint), SDP_OK);
    EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);
    EXPECT_EQ(bench_.romState("d").droppedPartials, 1u);

    const Bytes loader = pattern(48000, 7);
    auto t0 = Clock::now();
    ASSERT_EQ(client->writeLoader(loader, kLoadAddress), SDP_OK);
    const double seconds = double(MsSince(t0)) / 1000.0;
    const double lineSeconds = double(loader.size() + 16 * 6 + 8 * 6) * 10.0 / 115200.0;
    std::printf("serial loader: %zu bytes in %.2f s; line time at 115200 baud: %.2f s\n",
                loader.size(), seconds, lineSeconds);
    EXPECT_BYTES(loader, bench_.romState("d").images.at(0).data);
    client->startLoader(kLoadAddress);
    client.reset();
    ks::Module module(0);
    EXPECT_TRUE(connect(module, 0xDEADDEAD, 5000)) << "the loader of a serial ROM is on USB";
}

TEST_F(ImxRomTest, EachRomFaultEndsInTheClientsResult) {
    for (const char* port : {"usb", "pty"}) {
        SCOPED_TRACE(port);
        startBench(std::string("imx=") + port);
        auto client = std::string(port) == "usb" ? hidClient() : serialClient();
        struct Case {
            const char* name;
            imxsim::RomFaults faults;
            uint8_t result;
        } cases[] = {
            {"silent", {true, -1, false, false}, SDP_NO_ANSWER},
            {"no completion word", {false, -1, true, false}, SDP_NOT_COMPLETED},
            {"error report in the data phase", {false, 3000, false, false}, SDP_ROM_ABORTED},
            {"none", {}, SDP_OK},
        };
        for (const Case& c : cases) {
            bench_.setRomFaults("d", c.faults);
            EXPECT_EQ(client->writeLoader(pattern(12000, 5), kLoadAddress), c.result) << c.name;
            if (c.faults.silent) {
                uint64_t fingerprint = 0;
                EXPECT_EQ(client->getFingerprint(fingerprint), SDP_NO_ANSWER);
            }
        }
        imxsim::RomState rom = bench_.romState("d");
        ASSERT_EQ(rom.images.size(), 3u) << "nothing is written to a silent ROM";
        EXPECT_TRUE(rom.images[0].complete);
        EXPECT_EQ(rom.images[1].data.size(), 3000u);
        EXPECT_FALSE(rom.images[1].complete);
        EXPECT_TRUE(rom.images[2].complete);
        client.reset();
        serve_->stop();
        serve_.reset();
        bench_.stop();
    }
}

TEST_F(ImxRomTest, ALoaderThatNeverRunsLeavesNothingOnTheBus) {
    startBench("imx=usb no-loader");
    auto client = hidClient();
    ASSERT_EQ(client->writeLoader(pattern(2000, 2), kLoadAddress), SDP_OK);
    client->startLoader(kLoadAddress);
    client.reset();
    ASSERT_TRUE(bench_.waitFor(
        "d", [](const modsim::ModuleState& s) { return s.faultsFired.count("no-loader") > 0; },
        3000));
    ks::Module module(0);
    EXPECT_FALSE(connect(module, 0xDEADDEAD, 1500));
    EXPECT_EQ(serve_->romDevice("d"), nullptr);
    EXPECT_EQ(hid_enumerate(0x1FC9, 0x0130), nullptr);
}

TEST_F(ImxRomTest, HidReadsStayBoundedWithUnsolicitedShortAndOversizedReports) {
    kssim::HidDeviceConfig cfg;
    kssim::HidDevice* dev = bus_->plugHid(cfg);
    HID_SDPLoader t(0x1FC9, 0x0130);
    ASSERT_TRUE(t.init());

    // A device that never stops talking.
    std::atomic<bool> flood{true};
    std::thread talker([&] {
        while (flood) {
            dev->sendReport(Bytes(65, 0x04));
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    });
    std::vector<uint8_t> out;
    auto t0 = Clock::now();
    ssize_t n = t.readData(out, 100);
    long took = MsSince(t0);
    flood = false;
    talker.join();
    EXPECT_LE(n, ssize_t(HID_SDPLoader::HID_MAX_REPORTS_PER_READ * 65));
    EXPECT_LT(took, 2000);
    out.clear();
    while (t.readData(out, 20) > 0)
        out.clear();

    // A short HAB report counts as its 5 bytes; an oversized one is cut.
    dev->sendReport({3, 0x56, 0x78});
    dev->sendReport(Bytes(200, 0x04));
    out.clear();
    EXPECT_EQ(t.readData(out, 100), 70);
    EXPECT_BYTES((Bytes{3, 0x56, 0x78, 0, 0}), Bytes(out.begin(), out.begin() + 5));
    uint32_t value = 0;
    EXPECT_TRUE(t.getDataFromBuffer(out, 0, value));
    EXPECT_EQ(value, 0x04040404u);
}

TEST(ImxRomProgram, ServesADeadModuleOnAPtyAndDumpsWhatItReceived) {
    kstest::TempDir dir;
    kstest::ProcessResult bad =
        kstest::RunProcess({kstest::ModuleSimPath(), "--module", "d imx=serial"}, 10000);
    EXPECT_EQ(bad.exitStatus, 2);
    EXPECT_NE(bad.err.find("imx: expected usb or pty"), std::string::npos) << bad.err;

    kstest::Process sim;
    ASSERT_TRUE(
        sim.start({kstest::ModuleSimPath(), "--module", "d serial=40F5849A imx=pty rom-baud=230400",
                   "--dump", dir.sub("dump")}));
    std::string line = sim.waitForLine("module d ");
    size_t at = line.find(" rom-pty=");
    ASSERT_NE(at, std::string::npos) << line;
    std::string pty = line.substr(at + 9);
    pty = pty.substr(0, pty.find(' '));
    {
        SDPLoader client;
        client.setLoader(new Serial_SDPLoader(pty.c_str()));
        ASSERT_EQ(client.init(), SDP_OK);
        EXPECT_EQ(client.writeLoader(pattern(3000, 4), kLoadAddress), SDP_OK);
        client.startLoader(kLoadAddress);
    }
    EXPECT_EQ(sim.stop(), 0);
    std::string index = kstest::ReadFile(dir.sub("dump/images.txt"));
    EXPECT_NE(index.find("d.rom.0.bin address=20000400 bytes=3000 announced=3000 complete=yes\n"),
              std::string::npos)
        << index;
    EXPECT_BYTES(pattern(3000, 4), kstest::ReadFile(dir.sub("dump/d.rom.0.bin")));
}

// A host that uses libusb instead of hidraw: it claims the ROM's HID
// interface, sends a command as a class SET_REPORT on the control pipe and
// reads the answer from the interrupt IN endpoint, one report per transfer
// (the HAB word as report 3, the register as report 4); a hidraw client,
// afterwards, still talks to the same ROM.
TEST_F(ImxRomTest, ALibusbHostTalksToTheRomThroughSetReportAndInterruptIn) {
    startBench("imx=usb");
    libusb_context* ctx = nullptr;
    ASSERT_EQ(libusb_init(&ctx), 0);
    libusb_device_handle* h = libusb_open_device_with_vid_pid(ctx, 0x1FC9, 0x0130);
    ASSERT_NE(h, nullptr);
    ASSERT_EQ(libusb_claim_interface(h, 0), 0);
    // READ_REGISTER of the low fingerprint word, report 1.
    Bytes command = {1, 0x01, 0x01, 0x40, 0x1F, 0x44, 0x10, 0x20, 0, 0, 0, 4, 0, 0, 0, 0, 0};
    EXPECT_EQ(libusb_control_transfer(h, 0x21, 0x09, 0x0201, 0, command.data(),
                                      uint16_t(command.size()), 1000),
              int(command.size()));
    std::vector<Bytes> answers;
    for (int i = 0; i < 2; ++i) {
        uint8_t buffer[65] = {0};
        int got = 0;
        EXPECT_EQ(libusb_interrupt_transfer(h, 0x81, buffer, sizeof buffer, &got, 2000), 0);
        answers.push_back(Bytes(buffer, buffer + got));
    }
    libusb_release_interface(h, 0);
    libusb_close(h);
    libusb_exit(ctx);
    ASSERT_EQ(answers.size(), 2u);
    EXPECT_BYTES((Bytes{3, 0x56, 0x78, 0x78, 0x56}), answers[0]);
    ASSERT_EQ(answers[1].size(), 65u);
    EXPECT_BYTES((Bytes{4, 0xEF, 0xCD, 0xAB, 0x89}),
                 Bytes(answers[1].begin(), answers[1].begin() + 5));

    auto client = hidClient();
    uint64_t fingerprint = 0;
    EXPECT_EQ(client->getFingerprint(fingerprint), SDP_OK);
    EXPECT_EQ(fingerprint, 0x0123456789ABCDEFull);
}
