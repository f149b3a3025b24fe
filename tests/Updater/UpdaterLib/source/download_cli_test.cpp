// -G and -B end to end: the real Updater binary against the simulated update
// server on loopback, checking what it prints, its exit status and what it
// leaves in the store under the (isolated) home directory.
#include "updateserver_harness.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using kstest::ProcessResult;
using kstest::TempDir;
using updtest::SimServer;

const char* const SERIAL = "40F5849A";

// What a command must leave in the store.
enum class Store {
    NoModule,   // no module directory at all
    NoDownload, // a first download that failed: no module directory left behind
    Stored,     // the build's file, identical to the server's, recorded as latest
};

class DownloadCommands : public ::testing::Test {
  protected:
    void SetUp() override {
        // The store lives under the home directory: only ever touch it when
        // the test runs with the private home of scripts/isolated-home.sh.
        const std::string home = kstest::PrivateHome();
        if (home.empty())
            GTEST_SKIP() << "needs the private home directory of scripts/isolated-home.sh";
        storeRoot = kstest::PrivateStoreRoot();
        std::error_code ec;
        fs::remove_all(home + "/.quillmar", ec);

        const std::string r = content.path();
        updtest::AddModule(r, SERIAL, "124", "KSFW-2.9");
        AddServerBuild(99, "0.9.0");
        AddServerBuild(123, "1.2.0");
        AddServerBuild(124, "1.10.0");
        AddServerBuild(300, "-"); // served, but not in the build list
    }

    void AddServerBuild(unsigned build, const std::string& version) {
        std::string bytes =
            updtest::MakeBird(build, version == "-" ? "3.0.0" : version, 0x40F5849A, 200 + build);
        updtest::AddBuild(content.path(), SERIAL, build, version, bytes);
        served[build] = bytes;
    }

    ProcessResult Run(const std::string& url, std::vector<std::string> args, bool pty = false,
                      int timeoutMs = 20000) {
        args.insert(args.begin(), kstest::UpdaterPath());
        args.push_back("-u");
        args.push_back(url);
        return kstest::RunProcess(args, timeoutMs, pty);
    }

    std::string ModuleDir() const { return storeRoot + "/" + SERIAL; }
    std::string Settings() const {
        std::string s;
        kstest::ReadFile(ModuleDir() + "/.settings", s);
        return s;
    }

    void ExpectStore(Store expected, unsigned build, const std::string& context) {
        SCOPED_TRACE(context);
        if (expected == Store::NoModule || expected == Store::NoDownload) {
            EXPECT_FALSE(kstest::Exists(ModuleDir()));
            return;
        }
        ASSERT_TRUE(kstest::Exists(ModuleDir() + "/.settings"));
        std::string settings = Settings();
        EXPECT_NE(settings.find("CREATED_TIME="), std::string::npos) << settings;
        std::string bytes;
        ASSERT_TRUE(kstest::ReadFile(ModuleDir() + "/" + std::to_string(build) + ".bird", bytes));
        EXPECT_TRUE(bytes == served[build])
            << "stored file differs from the server's (" << bytes.size() << " vs "
            << served[build].size() << " bytes)";
        EXPECT_NE(settings.find("LATEST_DOWNLOAD=" + std::to_string(build) + ".bird\n"),
                  std::string::npos)
            << settings;
        EXPECT_NE(settings.find("LAST_DOWNLOAD_DATE="), std::string::npos) << settings;
    }

    TempDir content;
    std::string storeRoot;
    std::map<unsigned, std::string> served;
};

void ExpectLinesInOrder(const std::string& text, const std::vector<std::string>& lines) {
    size_t at = 0;
    for (const std::string& line : lines) {
        size_t found = text.find(line, at);
        EXPECT_NE(found, std::string::npos) << "missing or out of order: [" << line << "] in\n"
                                            << text;
        if (found != std::string::npos)
            at = found + line.size();
    }
}

TEST_F(DownloadCommands, ListsBuildsSortedByVersion) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    ProcessResult r = Run(server.url(), {"-B", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    ExpectLinesInOrder(
        r.out, {"Build List for device [40F5849A]:\n\n", "Build          \tVersion        \n",
                "99             \t0.9.0          \n", "123            \t1.2.0          \n",
                "124            \t1.10.0         \n"});
    EXPECT_EQ(r.out.find("300"), std::string::npos) << "an unlisted build was shown";
    EXPECT_EQ(r.err, "");
    ExpectStore(Store::NoModule, 0, "-B");
    EXPECT_EQ(server.Targets(),
              (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=builds&sn=40F5849A&"}));
}

TEST_F(DownloadCommands, GetsTheLatestBuildIntoANewModuleDirectory) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL, "-X", "0x10000"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    ExpectLinesInOrder(r.out,
                       {"Retrieving firmware for device with serial number 40F5849A\n",
                        "No build specified\n", "Using Latest build\n", "Retrieving build 124\n",
                        "Validating build 124 with server\n", "Build 124 is valid\n"});
    EXPECT_NE(r.err.find("Could not find device in our update history.\n"), std::string::npos)
        << r.err;
    EXPECT_EQ(r.out.find('\r'), std::string::npos) << "spinner drawn into a pipe";
    ExpectStore(Store::Stored, 124, "first download");
    EXPECT_EQ(
        server.Targets(),
        (std::vector<std::string>{"/cgi/u?op=hi&rv=2&", "/cgi/u?op=qu&sn=40F5849A&",
                                  "/cgi/u?op=builds&sn=40F5849A&",
                                  "/cgi/u?bld=124&fw=KSFW-2.9&no_cal=false&op=bird&sn=40F5849A&"}));

    // The module is known now; a second download replaces the record.
    r = Run(server.url(), {"-G", "-d", SERIAL, "-b", "123", "-X", "0x10000"});
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_EQ(r.err.find("Could not find device"), std::string::npos) << r.err;
    ExpectStore(Store::Stored, 123, "second download");
    EXPECT_TRUE(kstest::Exists(ModuleDir() + "/124.bird"));
}

TEST_F(DownloadCommands, GetsAChosenBuildOnlyWhenListedUnlessOverridden) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    const struct {
        std::vector<std::string> args;
        int exit;
        std::vector<std::string> out;
        std::string err;
        Store store;
        unsigned build;
    } cases[] = {
        {{"-G", "-d", SERIAL, "-b", "123"},
         0,
         {"Retrieving firmware build 123\n", "Retrieving build 123\n",
          "Validating build 123 with server\n", "Build 123 is valid\n"},
         "",
         Store::Stored,
         123},
        {{"-G", "-d", SERIAL, "-b", "0099"},
         0,
         {"Retrieving firmware build 99\n", "Build 99 is valid\n"},
         "",
         Store::Stored,
         99},
        {{"-G", "-d", SERIAL, "-b", "300"},
         1,
         {"Validating build 300 with server\n"},
         "No valid build 300\n",
         Store::NoDownload,
         0},
        {{"-G", "-d", SERIAL, "-b", "301", "-OVERRIDE"},
         1,
         {},
         "Download failed\n",
         Store::NoDownload,
         0},
        {{"-G", "-d", SERIAL, "-b", "300", "-OVERRIDE"},
         0,
         {"Retrieving build 300\n", "Override specified, skipping validation of build 300\n"},
         "",
         Store::Stored,
         300},
    };
    for (const auto& c : cases) {
        std::error_code ec;
        fs::remove_all(storeRoot, ec);
        std::string what = c.args[3] + (c.args.size() > 5 ? " -OVERRIDE" : "");
        ProcessResult r = Run(server.url(), c.args);
        EXPECT_EQ(r.exitStatus, c.exit) << what << "\n" << r.out << r.err;
        ExpectLinesInOrder(r.out, c.out);
        if (c.err.empty())
            EXPECT_EQ(r.err, "") << what;
        else
            EXPECT_NE(r.err.find(c.err), std::string::npos) << what << ": " << r.err;
        ExpectStore(c.store, c.build, what);
    }
}

TEST_F(DownloadCommands, ReportsServerFailuresAndRecordsNothing) {
    const std::string closed = updtest::ClosedPortUrl();
    const struct {
        std::vector<std::string> switches; // empty with unreachable: no server at all
        bool unreachable;
        std::vector<std::string> args;
        int exit;
        std::vector<std::string> err;
        std::vector<std::string> out;
        Store store;
    } cases[] = {
        {{},
         true,
         {"-G", "-d", SERIAL},
         1,
         {"Server request failed for " + closed + ": Couldn't connect to server\n"},
         {},
         Store::NoModule},
        // A failed build list is a failure, not an empty list: status 1.
        {{},
         true,
         {"-B", "-d", SERIAL},
         1,
         {"Server request failed for " + closed + ": Couldn't connect to server\n"},
         {},
         Store::NoModule},
        {{"--status", "404"},
         false,
         {"-G", "-d", SERIAL},
         1,
         {"Server request failed for "},
         {},
         Store::NoModule},
        {{"--status", "404"},
         false,
         {"-B", "-d", SERIAL},
         1,
         {"Server request failed for "},
         {},
         Store::NoModule},
        {{"--status", "404", "--only", "qu"},
         false,
         {"-G", "-d", SERIAL},
         1,
         {"No build information for device\n"},
         {},
         Store::NoDownload},
        {{"--status", "404", "--only", "builds"},
         false,
         {"-G", "-d", SERIAL},
         1,
         {"No valid build 124\n"},
         {},
         Store::NoDownload},
        {{"--status", "404", "--only", "builds"},
         false,
         {"-B", "-d", SERIAL},
         1,
         {"Failed to retrieve builds for 40F5849A\n"},
         {},
         Store::NoModule},
        {{"--status", "500", "--only", "bird"},
         false,
         {"-G", "-d", SERIAL},
         1,
         {"Download failed\n", "Failed to retreive a valid BIRD file\n"},
         {},
         Store::NoDownload},
        {{"--first-line", "no"},
         false,
         {"-G", "-d", SERIAL},
         1,
         {"Server request failed for "},
         {},
         Store::NoModule},
        {{"--first-line", "okay"},
         false,
         {"-G", "-d", SERIAL},
         0,
         {},
         {"Build 124 is valid\n"},
         Store::Stored},
        {{"--empty-body", "--only", "bird"},
         false,
         {"-G", "-d", SERIAL},
         1,
         {"Download failed\n", "Failed to retreive a valid BIRD file\n"},
         {},
         Store::NoDownload},
        {{"--close-mid-reply", "--only", "bird"},
         false,
         {"-G", "-d", SERIAL},
         1,
         {"Download failed\n", "Failed to retreive a valid BIRD file\n"},
         {},
         Store::NoDownload},
    };
    for (const auto& c : cases) {
        std::error_code ec;
        fs::remove_all(storeRoot, ec);
        std::string what = (c.switches.empty() ? std::string("unreachable")
                                               : c.switches[0] + " " + c.switches[1]) +
                           " " + c.args[0];
        std::unique_ptr<SimServer> server;
        if (!c.unreachable) {
            server = std::make_unique<SimServer>(content.path(), c.switches);
            ASSERT_TRUE(server->running()) << what;
        }
        ProcessResult r = Run(c.unreachable ? closed : server->url(), c.args);
        EXPECT_EQ(r.exitStatus, c.exit) << what << "\n" << r.out << r.err;
        ExpectLinesInOrder(r.err, c.err);
        ExpectLinesInOrder(r.out, c.out);
        ExpectStore(c.store, 124, what);
    }
}

TEST_F(DownloadCommands, RefusesAPayloadThatDoesNotDecodeAndKeepsTheEarlierFile) {
    {
        SimServer server(content.path());
        ASSERT_TRUE(server.running());
        ASSERT_EQ(Run(server.url(), {"-G", "-d", SERIAL}).exitStatus, 0);
    }
    ExpectStore(Store::Stored, 124, "first download");
    const std::string settingsBefore = Settings();
    // The server now sends build 124 with different bytes, damaged on the way.
    AddServerBuild(124, "1.10.0");
    const struct {
        std::vector<std::string> switches;
        std::string err;
    } cases[] = {
        {{"--truncate-payload", "1"}, "The payload of build 124 is not valid base64 ("},
        {{"--crlf"}, "The payload of build 124 is not valid base64 ("},
        {{"--truncate-payload", "4"}, "The payload of build 124 is not a complete BIRD file ("},
        {{"--bad-payload"}, "The payload of build 124 is not valid base64 ("},
    };
    std::string before;
    ASSERT_TRUE(kstest::ReadFile(ModuleDir() + "/124.bird", before));
    for (const auto& c : cases) {
        SimServer server(content.path(), c.switches);
        ASSERT_TRUE(server.running());
        ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
        EXPECT_EQ(r.exitStatus, 1) << c.switches[0] << "\n" << r.out << r.err;
        EXPECT_NE(r.err.find(c.err), std::string::npos) << c.switches[0] << ": " << r.err;
        std::string after;
        ASSERT_TRUE(kstest::ReadFile(ModuleDir() + "/124.bird", after));
        EXPECT_TRUE(after == before) << c.switches[0] << ": the earlier file was changed";
        EXPECT_EQ(Settings(), settingsBefore) << c.switches[0] << ": attributes changed";
    }
}

TEST_F(DownloadCommands, ReportsAFileThatCannotBeWritten) {
    SimServer server(content.path());
    ASSERT_TRUE(server.running());
    // A directory where the file should go cannot be replaced by it.
    fs::create_directories(ModuleDir() + "/124.bird");
    ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL});
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_NE(r.err.find("Failed to write file " + ModuleDir() + "/124.bird: "), std::string::npos)
        << r.err;
    EXPECT_EQ(Settings().find("LATEST_DOWNLOAD="), std::string::npos) << Settings();
    EXPECT_TRUE(fs::is_directory(ModuleDir() + "/124.bird"));
}

TEST_F(DownloadCommands, AnimatesTheSpinnerOnATerminalOnly) {
    SimServer server(content.path(), {"--delay-ms", "1000", "--only", "bird"});
    ASSERT_TRUE(server.running());
    ProcessResult r = Run(server.url(), {"-G", "-d", SERIAL}, true);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    const std::string frame = "\r (Downloading) ";
    size_t frames = updtest::CountOf(r.out, frame);
    // About one frame per 100 ms during a one-second transfer; generous
    // bounds for a loaded machine.
    EXPECT_GE(frames, 7u) << r.out;
    EXPECT_LE(frames, 14u) << r.out;
    EXPECT_NE(r.out.find(frame + ".      \r"), std::string::npos);
    EXPECT_NE(r.out.find(frame + ".....      \r"), std::string::npos);
    // The last frame is followed by a cleared line, before the next message.
    size_t last = r.out.rfind(frame);
    // (one column short of the terminal's width, 80 when it does not say)
    size_t clear = r.out.find("\r" + std::string(79, ' ') + "\r", last);
    EXPECT_NE(clear, std::string::npos) << r.out;
    ExpectStore(Store::Stored, 124, "pty");

    std::error_code ec;
    fs::remove_all(storeRoot, ec);
    ProcessResult piped = Run(server.url(), {"-G", "-d", SERIAL});
    EXPECT_EQ(piped.exitStatus, 0);
    EXPECT_EQ(piped.out.find('\r'), std::string::npos) << "spinner drawn into a pipe";
    EXPECT_EQ(piped.err.find('\r'), std::string::npos);
}

// The program with its stall limit shortened to 2 s through its test hook
// (tests/support/updater_testhooks.cpp; the shipped limit of 60 s is checked
// in HTTPRequest_test), against a server that never answers the build
// request: it gives up after the limit, not before, and stores nothing.
TEST_F(DownloadCommands, StalledServerIsGivenUpWithinTheTimeOut) {
    const double stallSeconds = 2;
    SimServer server(content.path(), {"--hang", "--only", "bird"});
    ASSERT_TRUE(server.running());
    kstest::RunOptions options;
    options.timeoutMs = 120000;
    options.env = {"KS_TESTHOOK_STALL_SECONDS=2"};
    ProcessResult r = kstest::RunProcess(
        {kstest::UpdaterTestHooksPath(), "-G", "-d", SERIAL, "-u", server.url()}, options);
    EXPECT_FALSE(r.timedOut) << "the updater did not give up";
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    ExpectLinesInOrder(r.err, {"Download failed\n", "Failed to retreive a valid BIRD file\n"});
    EXPECT_GE(r.seconds, stallSeconds - 0.5);
    EXPECT_LT(r.seconds, stallSeconds + 60) << "generous: a loaded machine under TSan";
    ExpectStore(Store::NoDownload, 0, "stalled");
}

} // namespace
