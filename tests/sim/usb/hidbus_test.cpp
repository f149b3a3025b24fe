// HID devices on the emulated USB bus and the bus's sysfs as real clients
// read it: hidapi's hidraw backend, lsusb and udevadm must see what they see
// on hardware (attributes end with a newline, the hidraw node keeps report
// boundaries and poll() readiness).
#include <fcntl.h>
#include <hidapi/hidapi.h>
#include <linux/hidraw.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <cwchar>
#include <string>
#include <vector>

#include "bytes.h"
#include "process.h"
#include "usbsim/hidbus.h"
#include "usbsim_fixture.h"

namespace {

using kstest::Bytes;

kssim::HidDeviceConfig romConfig() {
    kssim::HidDeviceConfig c;
    c.serial = "ABC123";
    c.reportDescriptor = kssim::buildReportDescriptor(
        {{1, 16, false}, {2, 1024, false}, {3, 4, true}, {4, 64, true}});
    return c;
}

// A client program run on the bus; its standard output.
std::string runOnBus(kssim::UsbBus& bus, const std::vector<std::string>& argv) {
    kstest::RunOptions o;
    o.timeoutMs = 20000;
    o.env = {"UMOCKDEV_DIR=" + bus.rootDir()};
    kstest::ProcessResult r = kstest::RunProcess(argv, o);
    EXPECT_EQ(r.exitStatus, 0) << argv[0] << ": " << r.err;
    return r.out;
}

bool haveTool(const std::string& path) {
    return access(path.c_str(), X_OK) == 0;
}

class HidBusTest : public UsbSimTest {
  protected:
    void TearDown() override {
        hid_exit();
        UsbSimTest::TearDown();
    }
};

} // namespace

TEST_F(HidBusTest, ClientsSeeTheDevicesAsTheKernelShowsThem) {
    kssim::HidDevice* rom = bus_->plugHid(romConfig());
    kssim::UsbDevice* module = plugModule("40F5849A");

    // Every attribute ends with the kernel's newline.
    std::string serial;
    ASSERT_TRUE(kstest::ReadFile(bus_->rootDir() + module->syspath() + "/serial", serial));
    EXPECT_EQ(serial, "40F5849A\n");

    // hidapi finds the ROM by vendor and product id, with its strings.
    ASSERT_EQ(hid_init(), 0);
    hid_device_info* list = hid_enumerate(0x1FC9, 0x0130);
    ASSERT_NE(list, nullptr);
    EXPECT_EQ(list->next, nullptr);
    EXPECT_EQ(std::string(list->path), rom->hidrawNode());
    EXPECT_EQ(list->interface_number, 0);
    EXPECT_EQ(std::wstring(list->serial_number ? list->serial_number : L"?"), L"ABC123");
    EXPECT_EQ(std::wstring(list->manufacturer_string ? list->manufacturer_string : L"?"), L"NXP");
    EXPECT_EQ(std::wstring(list->product_string ? list->product_string : L"?"), L"SE Blank");
    hid_free_enumeration(list);
    EXPECT_EQ(hid_enumerate(0x24FF, 0x0010), nullptr); // the module is no HID device

    if (!haveTool("/usr/bin/lsusb") || !haveTool("/usr/bin/udevadm"))
        GTEST_SKIP() << "lsusb or udevadm missing (usbutils, udev: scripts/install-deps.sh)";
    std::string all = runOnBus(*bus_, {"/usr/bin/lsusb"});
    // The vendor name comes from the hardware database, the product from sysfs.
    EXPECT_NE(all.find(" Keystrand module\n"), std::string::npos) << all;
    std::string v = runOnBus(*bus_, {"/usr/bin/lsusb", "-v", "-d", "24ff:0010"});
    EXPECT_NE(v.find("iSerial                 3 40F5849A\n"), std::string::npos) << v;
    EXPECT_NE(v.find("iManufacturer           1 Quillmar\n"), std::string::npos) << v;
    v = runOnBus(*bus_, {"/usr/bin/lsusb", "-v", "-d", "1fc9:0130"});
    EXPECT_NE(v.find("iSerial                 3 ABC123\n"), std::string::npos) << v;
    EXPECT_NE(v.find("bInterfaceClass         3 Human Interface Device"), std::string::npos) << v;
    EXPECT_NE(v.find("HID Device Descriptor:"), std::string::npos) << v;
    EXPECT_NE(v.find("Report Descriptor: (length is 80)"), std::string::npos) << v;
    std::string u = runOnBus(*bus_, {"/usr/bin/udevadm", "info", rom->hidrawNode()});
    EXPECT_NE(u.find("E: DEVNAME=" + rom->hidrawNode() + "\n"), std::string::npos) << u;
    EXPECT_NE(u.find("E: SUBSYSTEM=hidraw\n"), std::string::npos) << u;
    u = runOnBus(*bus_, {"/usr/bin/udevadm", "info", "-a", rom->hidrawSyspath()});
    EXPECT_NE(u.find("ATTRS{serial}==\"ABC123\""), std::string::npos) << u;
    EXPECT_NE(u.find("ATTRS{idVendor}==\"1fc9\""), std::string::npos) << u;
    EXPECT_NE(u.find("SUBSYSTEMS==\"hid\""), std::string::npos) << u;
}

TEST_F(HidBusTest, HidrawKeepsReportBoundariesReadinessAndUnplug) {
    kssim::HidDevice* rom = bus_->plugHid(romConfig());
    ASSERT_EQ(hid_init(), 0);
    hid_device* h = hid_open(0x1FC9, 0x0130, nullptr);
    ASSERT_NE(h, nullptr) << "hid_open failed";

    Bytes command(17, 0);
    command[0] = 1;
    command[1] = command[2] = 5;
    EXPECT_EQ(hid_write(h, command.data(), command.size()), 17);
    auto written = rom->takeWritten();
    ASSERT_EQ(written.size(), 1u);
    EXPECT_BYTES(command, written[0]);

    // Nothing queued: the read waits for its time-out and brings nothing.
    unsigned char buf[65];
    auto t0 = Clock::now();
    EXPECT_EQ(hid_read_timeout(h, buf, sizeof buf, 60), 0);
    EXPECT_GE(MsSince(t0), 50);

    // Two reports, two reads, each whole; a third read brings nothing.
    Bytes hab = {3, 0x56, 0x78, 0x78, 0x56};
    Bytes status(65, 0);
    status[0] = 4;
    status[1] = status[2] = status[3] = status[4] = 0xF0;
    rom->sendReport(hab);
    rom->sendReport(status);
    int n = hid_read_timeout(h, buf, sizeof buf, 100);
    EXPECT_BYTES(hab, Bytes(buf, buf + (n > 0 ? n : 0)));
    n = hid_read_timeout(h, buf, sizeof buf, 100);
    EXPECT_BYTES(status, Bytes(buf, buf + (n > 0 ? n : 0)));
    EXPECT_EQ(hid_read_timeout(h, buf, sizeof buf, 20), 0);

    // A report longer than the reader's buffer is cut to the buffer.
    rom->sendReport(Bytes(200, 0x44));
    EXPECT_EQ(hid_read_timeout(h, buf, sizeof buf, 100), 65);

    // The node answers the hidraw ioctls.
    int fd = open(rom->hidrawNode().c_str(), O_RDWR);
    ASSERT_GE(fd, 0);
    int size = 0;
    EXPECT_EQ(ioctl(fd, HIDIOCGRDESCSIZE, &size), 0);
    EXPECT_EQ(size, 80);
    hidraw_devinfo info{};
    EXPECT_EQ(ioctl(fd, HIDIOCGRAWINFO, &info), 0);
    EXPECT_EQ(info.bustype, 3u);
    EXPECT_EQ(uint16_t(info.vendor), 0x1FC9);
    EXPECT_EQ(uint16_t(info.product), 0x0130);
    close(fd);

    // Pulled: a waiting read fails at once, and so does a write.
    bus_->unplug(rom);
    t0 = Clock::now();
    EXPECT_EQ(hid_read_timeout(h, buf, sizeof buf, 2000), -1);
    EXPECT_LT(MsSince(t0), 1500);
    EXPECT_EQ(hid_write(h, command.data(), command.size()), -1);
    hid_close(h);
    EXPECT_EQ(hid_open(0x1FC9, 0x0130, nullptr), nullptr);
}

// The bus as lsusb -t, lsusb -v and udevadm see it on a kernel: a root hub
// with the devices on its ports, usbfs device numbers, the device and
// interface attributes and the drivers bound.
TEST_F(HidBusTest, StandardToolsSeeTheTreeNodesAndDriversAsOnAKernel) {
    if (!haveTool("/usr/bin/lsusb") || !haveTool("/usr/bin/udevadm"))
        GTEST_SKIP() << "lsusb or udevadm missing (usbutils, udev: scripts/install-deps.sh)";
    kssim::UsbDeviceConfig c;
    c.serial = "40F5849A";
    kssim::UsbDevice* a = bus_->plug(c);
    c.serial = "0000BEEF";
    bus_->plug(c);
    EXPECT_EQ(runOnBus(*bus_, {"/usr/bin/lsusb", "-t"}),
              "/:  Bus 01.Port 1: Dev 1, Class=root_hub, Driver=xhci_hcd/15p, 480M\n"
              "    |__ Port 1: Dev 2, If 0, Class=Vendor Specific Class, Driver=, 12M\n"
              "    |__ Port 2: Dev 3, If 0, Class=Vendor Specific Class, Driver=, 12M\n");
    std::string v = runOnBus(*bus_, {"/usr/bin/lsusb", "-v", "-s", "1:1"});
    EXPECT_NE(v.find("ID 1d6b:0002 Linux Foundation 2.0 root hub"), std::string::npos) << v;
    EXPECT_NE(v.find("bDeviceClass            9 Hub"), std::string::npos) << v;
    EXPECT_NE(v.find("iSerial                 3 0000:00:14.0\n"), std::string::npos) << v;
    std::string u = runOnBus(*bus_, {"/usr/bin/udevadm", "info", a->devnode()});
    for (const std::string line :
         {"P: /devices/pci0000:00/0000:00:14.0/usb1/1-1\n", "D: c 189:1\n", "N: bus/usb/001/002\n",
          "E: DRIVER=usb\n", "E: BUSNUM=001\n", "E: DEVNUM=002\n"})
        EXPECT_NE(u.find(line), std::string::npos) << line << u;
    u = runOnBus(*bus_, {"/usr/bin/udevadm", "info", "-a", a->syspath() + "/1-1:1.0"});
    for (const std::string line :
         {"ATTR{bInterfaceClass}==\"ff\"", "ATTR{bInterfaceSubClass}==\"88\"",
          "ATTR{bNumEndpoints}==\"02\"", "ATTRS{serial}==\"40F5849A\"", "DRIVERS==\"usb\"",
          "ATTRS{bDeviceClass}==\"09\"", "DRIVERS==\"xhci_hcd\"", "ATTRS{maxchild}==\"15\""})
        EXPECT_NE(u.find(line), std::string::npos) << line << u;
}
