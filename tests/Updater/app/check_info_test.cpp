// -C and -I end to end: the real Updater reads BIRD files made by the
// simulators' own writer, and the store that a real download (from the
// simulated update server) left behind. What it prints, as text and as JSON,
// its exit status, and that -I leaves the store as it was.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "birdsim/birdwriter.h"
#include "bytes.h"
#include "process.h"
#include "tempdir.h"
#include "updateserver_harness.h"

using nlohmann::json;
using namespace birdwriter;

namespace {

const std::string BANNER = "Updater (Version: 1.1 Apr 26 2023)\n";

Description Generic() {
    Description d;
    d.blocks.push_back(ImageBlock(kLoader, 0, 0x10000000, Bytes(512, 0xA5)));
    d.blocks.push_back(ImageBlock(kFirmware, 2, 0x0, Bytes(1024, 0xFF)));
    d.blocks.push_back(DescriptorBlock(1234, "2.9.29", 0, "KS-ROUTER"));
    d.blocks.push_back(SerialOffsetsBlock(0x200, 0x300));
    return d;
}

kstest::ProcessResult Updater(const std::vector<std::string>& args) {
    std::vector<std::string> argv{kstest::UpdaterPath()};
    argv.insert(argv.end(), args.begin(), args.end());
    return kstest::RunProcess(argv, 30000);
}

class CheckAndInfo : public ::testing::Test {
  protected:
    std::string Write(const std::string& name, const Description& d) {
        std::string path = files.path() + "/" + name;
        std::string error;
        EXPECT_TRUE(WriteBytes(path, BuildFile(d), &error)) << error;
        return path;
    }
    kstest::TempDir files{"ks-check"};
};

TEST_F(CheckAndInfo, CheckPrintsTheDescriptorAndTheBlocksOfAFileThatPasses) {
    // A name with a blank, as a user's download folder may give it.
    std::string path = Write("my firmware.bird", Generic());
    kstest::ProcessResult r = Updater({"-C", "-f", path});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_BYTES(BANNER + "Birdfile: " + path +
                     "\n"
                     "    Build:    1234\n"
                     "    Version:  2.9.29\n"
                     "    Serial:   generic (the module's is written at update)\n"
                     "    Model:    KS-ROUTER\n"
                     "    Blocks:   4\n"
                     "    Kind             Flags  Address          Bytes\n"
                     "    loader           0      0x10000000         512\n"
                     "    firmware         2      0x00000000        1024\n"
                     "    descriptor       0      0x00000000          64\n"
                     "    serial-offsets   0      0x00000000           8\n"
                     "Check: passed\n",
                 r.out);
    EXPECT_EQ(r.err, "");

    r = Updater({"-C", "-f", path, "--json"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    json j = json::parse(r.out);
    EXPECT_EQ(j["passes"], true);
    EXPECT_EQ(j["error"], nullptr);
    EXPECT_EQ(j["build"], 1234);
    EXPECT_EQ(j["generic"], true);
    EXPECT_EQ(j["serial"], nullptr);
    EXPECT_EQ(j["model"], "KS-ROUTER");
    ASSERT_EQ(j["blocks"].size(), 4u);
    EXPECT_EQ(j["blocks"][0], json({{"kind", "loader"},
                                    {"type", 0},
                                    {"flags", 0},
                                    {"address", 0x10000000},
                                    {"size", 512}}));
}

TEST_F(CheckAndInfo, CheckNamesWhatAnUpdateCouldNotUse) {
    Description serialOnly = Generic();
    serialOnly.blocks[2] = DescriptorBlock(1234, "2.9.29", 0x40F5849A, "KS-ROUTER");
    serialOnly.blocks.pop_back();
    Description truncated = Generic();
    truncated.truncateTo = 40;
    Description noFirmware = Generic();
    noFirmware.blocks.erase(noFirmware.blocks.begin() + 1);
    noFirmware.blocks.pop_back();
    Description offsetsOutside = Generic();
    offsetsOutside.blocks[3] = SerialOffsetsBlock(0x5000, 0x300);
    Description noDescriptor = Generic();
    noDescriptor.blocks.erase(noDescriptor.blocks.begin() + 2);
    Description nobody = serialOnly;
    nobody.blocks[2] = DescriptorBlock(1234, "2.9.29", 0, "KS-ROUTER");
    Description signature = Generic();
    signature.signature = "BIRD";

    const struct {
        std::string name;
        const Description* description; // null: no file
        int status;
        std::string reason; // empty: passes
        std::string errorName;
    } cases[] = {
        {"serial.bird", &serialOnly, 0, "", ""},
        {"truncated.bird", &truncated, 1, "", "parse-error"},
        {"nofirmware.bird", &noFirmware, 1,
         "it holds no firmware blocks; an update would write nothing", "parse-error"},
        {"outside.bird", &offsetsOutside, 1,
         "its serial-number locations lie outside its firmware blocks", "out-of-range"},
        {"nodescriptor.bird", &noDescriptor, 1,
         "it holds no descriptor (build, version, serial, model)", "parse-error"},
        {"nobody.bird", &nobody, 1,
         "it names no module (serial 0) and has no serial-number locations", "parse-error"},
        {"signature.bird", &signature, 1, "", "parse-error"},
        {"missing.bird", nullptr, 1, "No such file or directory", "not-found"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        std::string path = files.path() + "/" + c.name;
        if (c.description != nullptr)
            Write(c.name, *c.description);
        kstest::ProcessResult r = Updater({"-C", "-f", path});
        EXPECT_EQ(r.exitStatus, c.status) << r.err;
        EXPECT_NE(r.out.find(c.status == 0 ? "Check: passed\n" : "Check: failed\n"),
                  std::string::npos)
            << r.out;
        if (c.status == 0) {
            EXPECT_NE(r.out.find("    Serial:   40F5849A\n"), std::string::npos) << r.out;
            continue;
        }
        // One line: the file, and why an update could not use it.
        const std::string head = "Birdfile " + path + " fails the check: ";
        EXPECT_EQ(r.err.rfind(head, 0), 0u) << r.err;
        EXPECT_EQ(r.err.find('\n'), r.err.size() - 1) << r.err;
        if (!c.reason.empty()) {
            EXPECT_EQ(r.err, head + c.reason + "\n");
        }
        json j = json::parse(Updater({"-C", "-f", path, "--json"}).out);
        EXPECT_EQ(j["passes"], false);
        EXPECT_EQ(j["error"], c.errorName);
        EXPECT_EQ(r.err, j["reason"].get<std::string>() + "\n");
    }
}

// -I reads the entry a real download made, without changing it.
TEST_F(CheckAndInfo, InfoShowsTheStoreEntryOfADownloadedModule) {
    const std::string store = kstest::PrivateStoreRoot();
    if (store.empty())
        GTEST_SKIP() << "needs the private home of scripts/isolated-home.sh";
    kstest::TempDir content("ks-info-server");
    updtest::AddModule(content.path(), "40F5849A", "1234", "KSFW");
    std::string bird = updtest::MakeBird(1234, "2.9.29", 0x40F5849A);
    updtest::AddBuild(content.path(), "40F5849A", 1234, "2.9.29", bird);
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    ASSERT_EQ(Updater({"-G", "-d", "40F5849A", "-u", server.url()}).exitStatus, 0);
    const std::string entry = store + "/40F5849A";
    {
        std::ofstream damaged(entry + "/999.bird");
        damaged << "not a bird file";
    }
    const std::string settings = kstest::ReadFile(entry + "/.settings");

    kstest::ProcessResult r = Updater({"-I", "-d", "40F5849A"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("Device 40F5849A: " + entry + "\n"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("    LATEST_DOWNLOAD      1234.bird\n"), std::string::npos) << r.out;
    char row[128];
    snprintf(row, sizeof row, "    %-15s %-15s %10zu  %s\n", "1234", "2.9.29", bird.size(),
             "1234.bird");
    EXPECT_NE(r.out.find(row), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("999.bird (damaged: "), std::string::npos) << r.out;

    json j = json::parse(Updater({"-I", "-d", "40F5849A", "--json"}).out);
    EXPECT_EQ(j["error"], nullptr);
    EXPECT_EQ(j["attributes"]["LATEST_DOWNLOAD"], "1234.bird");
    ASSERT_EQ(j["builds"].size(), 2u);
    EXPECT_EQ(j["builds"][0]["build"], 999);
    EXPECT_EQ(j["builds"][0]["intact"], false);
    EXPECT_EQ(j["builds"][1], json({{"file", "1234.bird"},
                                    {"build", 1234},
                                    {"version", "2.9.29"},
                                    {"size", bird.size()},
                                    {"intact", true},
                                    {"problem", nullptr}}));
    EXPECT_EQ(kstest::ReadFile(entry + "/.settings"), settings) << "-I changed the attributes";

    r = Updater({"-I", "-d", "40F50001", "--json"});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(json::parse(r.out)["error"], "not-found");
    EXPECT_NE(r.err.find("No stored information for device 40F50001 in " + store),
              std::string::npos)
        << r.err;
}

} // namespace
