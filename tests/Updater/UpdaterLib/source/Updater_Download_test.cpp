// The download and build-list operations of the Updater, called in process
// with a display that records what it is asked to show, against the
// simulated update server on loopback.
#include "HTTPRequest.h"
#include "Updater.h"
#include "UpdaterDisplayInterface.h"
#include "updateserver_harness.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kstest::TempDir;
using updtest::SimServer;
using Clock = std::chrono::steady_clock;

class RecordingDisplay : public UpdaterDisplayInterface {
  public:
    struct Spin {
        bool active;
        std::string label;
        double at; // seconds since construction
    };
    void display_progress(bool) override {}
    void update_progress(double, const char*) override {}
    void update_spinner(bool active, const char* label) override {
        spins.push_back({active, label ? label : "",
                         std::chrono::duration<double>(Clock::now() - start).count()});
    }
    void info_message(const char* text) override { info.push_back(text); }
    void error_message(const char* text) override { errors.push_back(text); }

    Clock::time_point start = Clock::now();
    std::vector<std::string> info, errors;
    std::vector<Spin> spins;
};

class DownloadOperation : public ::testing::Test {
  protected:
    void SetUp() override {
        updtest::AddModule(content.path(), "40F5849A", "124", "KSFW-2.9");
        updtest::AddBuild(content.path(), "40F5849A", 123, "1.2.0",
                          updtest::MakeBird(123, "1.2.0", 0x40F5849A));
        updtest::AddBuild(content.path(), "40F5849A", 124, "1.10.0",
                          updtest::MakeBird(124, "1.10.0", 0x40F5849A));
        kstest::WriteFile(content.path() + "/recovery",
                          "00000001 00000002 00000003 00000004 40F5849A 0x7B\n"
                          "00000005 00000006 00000007 00000008 40F5849A 0\n");
        saved = HTTPRequest::limits();
    }
    void TearDown() override { HTTPRequest::set_limits_for_testing(saved); }

    std::string ModuleDir() const { return store.path() + "/40F5849A"; }

    TempDir content, store;
    RecordingDisplay display;
    HTTPRequest::Limits saved;
};

TEST_F(DownloadOperation, RefusesBadArgumentsBeforeAskingTheServer) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    Updater updater(server.url().c_str(), store.path().c_str(), display);
    const struct {
        uint32_t serial;
        const char* build;
        const char* error;
    } cases[] = {
        {0x40F5849A, "abc", "Build number 'abc' must be an number"},
        {0x40F5849A, "4294967296", "Build number '4294967296' must be an number"},
        {0x40F5849A, "-1", "Build number '-1' must be an number"},
        {0x40F5849A, "99999999999999999999999",
         "Build number '99999999999999999999999' must be an number"},
        {0, "", "Serial Number must be non-zero"},
        {0, "123", "Serial Number must be non-zero"},
    };
    for (const auto& c : cases) {
        display.errors.clear();
        EXPECT_EQ(updater.Download_Firmware(c.serial, c.build, false, false), 0u) << c.build;
        EXPECT_EQ(display.errors, std::vector<std::string>{c.error});
    }
    EXPECT_TRUE(server.Requests().empty());
    EXPECT_TRUE(fs::is_empty(store.path()));
}

TEST_F(DownloadOperation, SendsNoCalAsGiven) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    Updater updater(server.url().c_str(), store.path().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", true, true), 124u);
    std::vector<std::string> targets = server.Targets();
    ASSERT_FALSE(targets.empty());
    EXPECT_EQ(targets.back(), "/cgi/u?bld=124&fw=KSFW-2.9&no_cal=true&op=bird&sn=40F5849A&");
    EXPECT_EQ(targets.size(), 3u) << "the build list is not asked for with the override";
}

TEST_F(DownloadOperation, RecoveryVariantFindsModuleAndBuildByFingerprint) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    Updater updater(server.url().c_str(), store.path().c_str(), display);
    const struct {
        uint32_t words[4];
        const char* build;
        uint32_t expected;
    } cases[] = {
        {{1, 2, 3, 4}, "", 123},    // the server's recovery build, 0x7B
        {{1, 2, 3, 4}, "124", 124}, // a given build wins
        {{5, 6, 7, 8}, "", 124},    // recovery build 0: the latest
        {{9, 9, 9, 9}, "", 0},      // unknown chip
    };
    for (const auto& c : cases) {
        display.errors.clear();
        Fingerprint fp;
        std::copy(c.words, c.words + 4, fp.words);
        EXPECT_EQ(updater.Download_Firmware(fp, c.build, false), c.expected)
            << c.words[0] << " " << c.build;
        if (c.expected == 0)
            EXPECT_EQ(display.errors,
                      std::vector<std::string>{
                          "Failed to retreive recovery information from Quillmar update server"});
        else
            EXPECT_TRUE(kstest::Exists(ModuleDir() + "/" + std::to_string(c.expected) + ".bird"));
    }
}

TEST_F(DownloadOperation, AnimatesTheSpinnerEveryHundredMilliseconds) {
    SimServer server(content.path(), {"--delay-ms", "1000", "--only", "bird"});
    ASSERT_TRUE(server.running());
    Updater updater(server.url().c_str(), store.path().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 124u);
    ASSERT_GE(display.spins.size(), 2u);
    size_t active = 0;
    for (size_t i = 0; i + 1 < display.spins.size(); ++i) {
        EXPECT_TRUE(display.spins[i].active);
        EXPECT_EQ(display.spins[i].label, "Downloading");
        active += display.spins[i].active;
    }
    EXPECT_FALSE(display.spins.back().active) << "the line is cleared at the end";
    EXPECT_GE(active, 9u);
    EXPECT_LE(active, 13u);
    // The frames are spaced by the 100 ms wait, not drawn in a burst.
    double span = display.spins[active - 1].at - display.spins[0].at;
    EXPECT_GE(span, 0.8);
}

TEST_F(DownloadOperation, GivesUpOnAStalledTransfer) {
    HTTPRequest::Limits quick = saved;
    quick.lowSpeedSeconds = 1;
    HTTPRequest::set_limits_for_testing(quick);
    SimServer server(content.path(), {"--hang", "--only", "bird"});
    ASSERT_TRUE(server.running());
    Updater updater(server.url().c_str(), store.path().c_str(), display);
    auto start = Clock::now();
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 0u);
    EXPECT_LT(std::chrono::duration<double>(Clock::now() - start).count(), 10.0);
    EXPECT_EQ(display.errors,
              (std::vector<std::string>{"Download failed", "Reason: Timeout was reached",
                                        "Failed to retreive a valid BIRD file"}));
    EXPECT_FALSE(display.spins.back().active);
    EXPECT_FALSE(kstest::Exists(ModuleDir() + "/124.bird"));
}

TEST_F(DownloadOperation, RefusesAnOversizedReply) {
    HTTPRequest::Limits small = saved;
    small.maxBodyBytes = 60; // above the other replies, below the build's decoded size
    HTTPRequest::set_limits_for_testing(small);
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    Updater updater(server.url().c_str(), store.path().c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 0u);
    EXPECT_EQ(display.errors, (std::vector<std::string>{"Download failed",
                                                        "Reason: the build is larger than 60 bytes",
                                                        "Failed to retreive a valid BIRD file"}));
    EXPECT_FALSE(kstest::Exists(ModuleDir() + "/124.bird"));
}

TEST_F(DownloadOperation, ReportsAStoreThatCannotBeCreated) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    std::string file = store.path() + "/plain-file";
    kstest::WriteFile(file, "not a directory");
    Updater updater(server.url().c_str(), file.c_str(), display);
    EXPECT_EQ(updater.Download_Firmware(0x40F5849A, "", false, false), 0u);
    EXPECT_EQ(display.errors, (std::vector<std::string>{
                                  "Could not create directory for storing BIRD file",
                                  "Reason: UpdaterStore: " + file + " exists and is a file"}));
}

TEST_F(DownloadOperation, BuildListsComeFromTheServerOnly) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    Updater updater(server.url().c_str(), store.path().c_str(), display);
    using Builds = std::map<std::string, std::string>;
    EXPECT_EQ(updater.Get_BuildList(0x40F5849A), (Builds{{"123", "1.2.0"}, {"124", "1.10.0"}}));
    EXPECT_TRUE(display.errors.empty());
    EXPECT_TRUE(updater.Get_BuildList(0x0000ABCD).empty());
    EXPECT_EQ(display.errors, std::vector<std::string>{"Failed to retrieve builds for 0000ABCD"});
    EXPECT_TRUE(updater.Get_BuildListLocal(0x40F5849A).empty());
    EXPECT_TRUE(fs::is_empty(store.path())) << "listing builds touches no store";
}

} // namespace
