#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "Printers.h"
#include "display_recorder.h"

namespace {

using Call = DisplayRecorder::Call;

Call Info(const std::string& text) {
    return Call{"info", text};
}

// Version order by number, not by bytes: 2.9.28 < 2.9.29 < 2.10.0 < 10.0.1;
// equal versions by build number.
TEST(BuildList, IsInVersionOrderByNumberAndPrintedInFixedColumns) {
    std::map<std::string, std::string> builds = {
        {"500", "10.0.1"}, {"300", "2.10.0"}, {"100", "2.9.28"},
        {"200", "2.9.29"}, {"99", "2.9.29"},  {"12345678901234567", "averyveryverylongversion"}};
    DisplayRecorder d;
    _display_builds(d, builds, 0x40F5849A);
    std::vector<Call> want = {
        Info("Build List for device [40F5849A]:\n"), Info("Build          \tVersion        "),
        Info("100            \t2.9.28         "),    Info("99             \t2.9.29         "),
        Info("200            \t2.9.29         "),    Info("300            \t2.10.0         "),
        Info("500            \t10.0.1         "),    Info("123456789012345\taveryveryverylo"),
    };
    EXPECT_EQ(d.calls, want);
}

TEST(BuildList, EmptyListSaysSoAndNothingElse) {
    std::map<std::string, std::string> none;
    DisplayRecorder d;
    _display_builds(d, none, 0x0000ABCD);
    EXPECT_EQ(d.calls, (std::vector<Call>{Info("No builds found for device [0000ABCD]")}));
}

TEST(Fingerprint, PrintsFourWordsInOrder) {
    Fingerprint f;
    f.words[0] = 0x1;
    f.words[1] = 0xDEADBEEF;
    f.words[2] = 0x00ABCDEF;
    f.words[3] = 0xFFFFFFFF;
    DisplayRecorder d;
    _display_fingerprint(d, f);
    EXPECT_EQ(d.calls, (std::vector<Call>{Info("[ 00000001 DEADBEEF 00ABCDEF FFFFFFFF ]")}));
}

DeviceInfo UsbDevice(uint32_t serial, uint32_t model, int error) {
    DeviceInfo d;
    d.transport = linkTypeUSB;
    d.serialNumber = serial;
    d.moduleAddress = 0x12;
    d.routerAddress = 0x0;
    d.modelCode = model;
    d.major = 2;
    d.minor = 10;
    d.patch = 29;
    d.build = 99528558;
    d.error = error;
    d.errorText = error == 0 ? "" : "in use by another program";
    return d;
}

DeviceInfo TcpDevice(uint32_t serial, const char* ip, int error) {
    DeviceInfo d = UsbDevice(serial, 5, error);
    d.transport = linkTypeTCPIP;
    d.routerAddress = 0x12;
    d.link.tcpip.hostAddress = inet_addr(ip);
    d.link.tcpip.tcpPort = 4000;
    d.errorText = error == 0 ? "" : "connection refused";
    return d;
}

TEST(DeviceList, PrintsOneRowPerDeviceInTheFormOfItsTransport) {
    const std::string usbHead =
        "    Device    Module   Router  Model          Firmware Version (Build)";
    const std::string ipHead = usbHead + "   [IP address]";
    struct Case {
        const char* what;
        std::vector<DeviceInfo> devices;
        linkType type;
        std::vector<Call> want;
    } cases[] = {
        {"no devices",
         {},
         linkTypeUSB,
         {Info("Discovered Devices: (USB)"), Info("    No devices found.")}},
        {"no devices over TCP/IP",
         {},
         linkTypeTCPIP,
         {Info("Discovered Devices: (TCPIP)"), Info("    No devices found.")}},
        {"two USB devices, one busy",
         {UsbDevice(0x40F5849A, 4, 0), UsbDevice(0x0000BEEF, 200, 5)},
         linkTypeUSB,
         {Info("Discovered Devices: (USB)"), Info(usbHead),
          Info("    40F5849A  12       00      Pennant        2.10.29 (99528558)"),
          Info("    0000BEEF  [Error (5): in use by another program]")}},
        {"TCP/IP devices show their error as USB ones do, and their address",
         {TcpDevice(0xD272031D, "192.168.1.20", 25), TcpDevice(0xD272031E, "192.168.1.21", 0)},
         linkTypeTCPIP,
         {Info("Discovered Devices: (TCPIP)"), Info(ipHead),
          Info("    D272031D  [Error (25): connection refused] [192.168.1.20]"),
          Info("    D272031E  12       12      Lantern        2.10.29 (99528558) [192.168.1.21]")}},
        {"unknown type heads with the address column",
         {UsbDevice(0x1, 13, 0)},
         static_cast<linkType>(0),
         {Info("Discovered Devices: (Unknown)"), Info(ipHead),
          Info("    00000001  12       00      Quarry         2.10.29 (99528558)")}},
    };
    for (Case& c : cases) {
        DisplayRecorder d;
        _display_device_list(d, c.devices, c.type);
        EXPECT_EQ(d.calls, c.want) << c.what;
    }
}

TEST(DeviceList, WideVersionsAndUnknownModelsKeepTheirColumns) {
    DeviceInfo d = UsbDevice(0xABCDEF01, 99, 0);
    d.major = 15;
    d.minor = 15;
    d.patch = 16777215;
    d.build = 4294967295u;
    d.moduleAddress = 0xFE;
    d.routerAddress = 0x02;
    std::vector<DeviceInfo> devices = {d};
    DisplayRecorder rec;
    _display_device_list(rec, devices, linkTypeUSB);
    ASSERT_EQ(rec.calls.size(), 3u);
    EXPECT_EQ(rec.calls[2],
              Info("    ABCDEF01  FE       02      Unknown       15.15.16777215 (4294967295)"));
}

TEST(Banners, NameTheProgramAndTheLibraryVersion) {
    DisplayRecorder d;
    _display_app_version(d);
    _display_ks_version(d);
    _display_notice(d);
    ASSERT_EQ(d.calls.size(), 3u);
    EXPECT_EQ(d.calls[0], Info("Updater (Version: 1.1 Apr 26 2023)"));
    EXPECT_EQ(d.calls[1], Info("[Keystrand Release: 2.9.29]"));
    EXPECT_EQ(d.calls[2].slot, "info");
    ASSERT_GE(d.calls[2].text.size(), 3u);
    EXPECT_EQ(d.calls[2].text.front(), '(');
    EXPECT_EQ(d.calls[2].text.back(), ')');
}

} // namespace
