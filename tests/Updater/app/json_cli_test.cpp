// --json end to end: the real Updater's -D on the emulated USB bus (as the
// child of the module simulator) and -B against the simulated update server.
// Standard output must be one JSON document, read here with a real parser;
// the banner and every message go to standard error.
#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "ConnectCause.h"
#include "JsonOutput.h"
#include "ReportPrinters.h"
#include "discover_cli_support.h"
#include "process.h"
#include "tempdir.h"
#include "updateserver_harness.h"

using nlohmann::json;

namespace {

const char* const SERIAL = "40F5849A";

// The whole text as one JSON document; a failure names what it got.
json ParseWhole(const std::string& text) {
    json document = json::parse(text, nullptr, false);
    EXPECT_FALSE(document.is_discarded()) << "not one JSON document:\n" << text;
    return document;
}

TEST(JsonOutput, DiscoveryPrintsOneObjectPerModuleAndNothingElse) {
    auto run = discovertest::RunUpdaterOnBench(
        {"--usb"},
        {"a serial=40F5849A model=17 address=4 version=2.3.17 build=4711 usb",
         "b serial=40F50002 model=22 address=6 usb busy"},
        {"-D", "--json"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.process.err;
    json devices = ParseWhole(run.out);
    ASSERT_TRUE(devices.is_array());
    ASSERT_EQ(devices.size(), 2u) << run.out;
    const json* found = nullptr;
    const json* busy = nullptr;
    for (const json& d : devices)
        (d["serial"] == "40F5849A" ? found : busy) = &d;
    ASSERT_TRUE(found && busy) << run.out;
    EXPECT_EQ((*found)["transport"], "USB");
    EXPECT_EQ((*found)["moduleAddress"], 4);
    EXPECT_EQ((*found)["modelCode"], 17);
    EXPECT_EQ((*found)["modelName"], "Tessera");
    EXPECT_EQ((*found)["version"], "2.3.17");
    EXPECT_EQ((*found)["build"], 4711);
    EXPECT_EQ((*found)["error"], 0);
    EXPECT_EQ((*found)["errorText"], "");
    EXPECT_FALSE(found->contains("hostAddress"));
    EXPECT_EQ((*busy)["serial"], "40F50002");
    ASSERT_NE((*busy)["error"], 0);
    // The stable name and the table's words for the code that came back.
    const qErr code = static_cast<qErr>((*busy)["error"].get<int>());
    EXPECT_EQ((*busy)["errorName"], ErrorName(code));
    EXPECT_EQ((*busy)["errorText"], ConnectCause(code, linkTypeUSB));
    // Everything meant for a person is on standard error.
    EXPECT_NE(run.err.find(discovertest::BANNER), std::string::npos) << run.err;
    EXPECT_NE(run.err.find("Searching for Keystrand devices"), std::string::npos);
    EXPECT_EQ(run.out.find("Discovered Devices"), std::string::npos);
}

TEST(JsonOutput, AnEmptyDiscoveryIsAnEmptyArray) {
    auto run = discovertest::RunUpdaterOnBench({"--usb"}, {"t serial=1 tcp=0"}, {"-D", "--j"});
    ASSERT_EQ(run.process.exitStatus, 0) << run.process.err;
    EXPECT_EQ(ParseWhole(run.out), json::array());
}

TEST(JsonOutput, NetworkRecordsCarryTheirHostAddressAndPort) {
    DeviceInfo d;
    d.transport = linkTypeTCPIP;
    d.serialNumber = 0x40F5849A;
    d.moduleAddress = d.routerAddress = 4;
    d.routerSerialNumber = 0x40F5849A;
    d.modelCode = 17;
    d.link.tcpip.hostAddress = htonl(0x0A4D0002); // 10.77.0.2
    d.link.tcpip.tcpPort = 9761;
    d.error = 18;
    d.errorText = "did not answer";
    json j = ParseWhole(_devices_json({d}));
    ASSERT_EQ(j.size(), 1u);
    EXPECT_EQ(j[0]["transport"], "TCPIP");
    EXPECT_EQ(j[0]["hostAddress"], "10.77.0.2");
    EXPECT_EQ(j[0]["tcpPort"], 9761);
    EXPECT_EQ(j[0]["errorName"], "timeout");
    EXPECT_EQ(j[0]["errorText"], "did not answer");
}

// routerSerial and routerAddress name the module that passes the traffic on,
// whatever the transport: zeros for a module reached directly (over TCP/IP
// discovery names the module as its own router), the router's for one behind
// it.
TEST(JsonOutput, RouterFieldsMeanTheSameOnEveryTransport) {
    DeviceInfo usb;
    usb.transport = linkTypeUSB;
    usb.serialNumber = 0x40F5849A;
    usb.moduleAddress = 4;
    DeviceInfo tcp = usb;
    tcp.transport = linkTypeTCPIP;
    tcp.routerAddress = 4;
    tcp.routerSerialNumber = 0x40F5849A;
    DeviceInfo child = tcp;
    child.serialNumber = 0x40F50001;
    child.moduleAddress = 6;
    child.routerAddress = 2;
    child.routerSerialNumber = 0xD272031D;
    json j = ParseWhole(_devices_json({usb, tcp, child}));
    ASSERT_EQ(j.size(), 3u);
    for (int i : {0, 1}) {
        EXPECT_EQ(j[i]["routerSerial"], "00000000") << i;
        EXPECT_EQ(j[i]["routerAddress"], 0) << i;
    }
    EXPECT_EQ(j[2]["routerSerial"], "D272031D");
    EXPECT_EQ(j[2]["routerAddress"], 2);
}

// -N --json: the four words as eight-digit hexadecimal strings, in order.
TEST(JsonOutput, FingerprintIsOneObjectWithFourHexadecimalWords) {
    Fingerprint f;
    f.words[0] = 0x1;
    f.words[1] = 0xDEADBEEF;
    f.words[2] = 0x00ABCDEF;
    f.words[3] = 0xFFFFFFFF;
    EXPECT_EQ(ParseWhole(_fingerprint_json(f)),
              json({{"fingerprint", {"00000001", "DEADBEEF", "00ABCDEF", "FFFFFFFF"}}}));
}

class JsonBuilds : public ::testing::Test {
  protected:
    void SetUp() override {
        updtest::AddModule(content.path(), SERIAL, "124", "KSFW-2.9");
        updtest::AddBuild(content.path(), SERIAL, 124, "2.9.1", "");
        updtest::AddBuild(content.path(), SERIAL, 99, "2.10.0\x1b[31m", "");
        updtest::AddBuild(content.path(), SERIAL, 130, "2.9.0", "");
    }
    kstest::ProcessResult Run(const std::string& url) {
        return kstest::RunProcess({kstest::UpdaterPath(), "-B", "-d", SERIAL, "-u", url, "--json"},
                                  30000);
    }
    kstest::TempDir content{"ks-json"};
};

TEST_F(JsonBuilds, BuildListIsSortedByVersionWithTextEscapedByJson) {
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    kstest::ProcessResult r = Run(server.url());
    ASSERT_EQ(r.exitStatus, 0) << r.err;
    json builds = ParseWhole(r.out);
    json want = json::array({{{"build", 130}, {"version", "2.9.0"}},
                             {{"build", 124}, {"version", "2.9.1"}},
                             {{"build", 99}, {"version", "2.10.0\x1b[31m"}}});
    EXPECT_EQ(builds, want) << r.out;
    EXPECT_EQ(r.out.find('\x1b'), std::string::npos) << "control characters reach the terminal raw";
    EXPECT_NE(r.err.find("Updater (Version"), std::string::npos) << r.err;
}

TEST_F(JsonBuilds, AFailedRequestPrintsNoDocumentAndFails) {
    kstest::ProcessResult r =
        Run("http://127.0.0.1:" + std::to_string(kstest::ClosedPort()) + "/cgi/u");
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("Server request failed for"), std::string::npos) << r.err;
}

} // namespace
