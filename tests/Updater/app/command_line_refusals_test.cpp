// What the updater does with a command line it does not understand: the
// usual typos and mistakes, each run as a user would type it, with the
// update server named in the environment and a module on the emulated USB
// bus. Each must be refused with a line that names the word, then the short
// usage, and must not run: no request reaches the server, the module sees no
// link, the store is not touched.
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <sys/stat.h>
#include <vector>

#include "discover_cli_support.h"
#include "process.h"
#include "tempdir.h"
#include "updateserver_harness.h"

namespace {

const char* const SERIAL = "40F5849A";
const char* const MODULE = "a serial=40F5849A model=17 address=4 version=2.3.17 build=4711 usb";
const std::string BAUD_RATES = "must be one of 2400, 4800, 9600, 19200, 38400, 57600, 115200, "
                               "230400";
const std::string STRAY = "]: not an option, nor the value of one";
const std::string ADDRESS_RULE = "]: must be an even number from 2 to 254, decimal or 0x hex (the "
                                 "-D table shows addresses in hex: 1A there is -a 0x1A)";

bool Exists(const std::string& path) {
    struct stat st;
    return !path.empty() && stat(path.c_str(), &st) == 0;
}

std::string FirstLine(const std::string& text) {
    return text.substr(0, text.find('\n'));
}

class CommandLineRefusals : public ::testing::Test {
  protected:
    void SetUp() override {
        if (kstest::PrivateHome().empty())
            GTEST_SKIP() << "needs the private home of scripts/isolated-home.sh";
        updtest::AddModule(content.path(), SERIAL, "1234", "KSFW");
        updtest::AddBuild(content.path(), SERIAL, 1201, "2.9.28",
                          updtest::MakeBird(1201, "2.9.28", 0x40F5849A));
        updtest::AddBuild(content.path(), SERIAL, 1234, "2.9.29",
                          updtest::MakeBird(1234, "2.9.29", 0x40F5849A));
        server.reset(new updtest::SimServer(content.path()));
        ASSERT_TRUE(server->running());
        setenv("KEYSTRAND_UPDATE_SERVER", server->url().c_str(), 1);
        moduleDirectory = kstest::PrivateHome() + "/.quillmar/updater/" + SERIAL;
    }
    void TearDown() override { unsetenv("KEYSTRAND_UPDATE_SERVER"); }

    kstest::TempDir content{"ks-refusals"};
    std::unique_ptr<updtest::SimServer> server;
    std::string moduleDirectory;
};

TEST_F(CommandLineRefusals, NothingRunsAndTheWordIsNamed) {
    const struct {
        std::vector<std::string> args;
        int status;
        std::string error; // the first line on standard error
    } cases[] = {
        {{"-U", "-d", SERIAL, "--dry-run"}, 2, "Unknown option [--dry-run]"},
        {{"-U", "-d", SERIAL, "-f"}, 2, "Option [-f] needs a value"},
        {{"-U", "-d", SERIAL, "-f", ""}, 2, "Option [-f] needs a value"},
        {{"-U", "-d", SERIAL, "-f", "-b", "1234"}, 2, "Option [-f] needs a value"},
        {{"-U", "-d", SERIAL, "firmware.bird"}, 2, "Unexpected word [firmware.bird" + STRAY},
        {{"-U", "-d", SERIAL, "1234"}, 2, "Unexpected word [1234" + STRAY},
        {{"-U", "-d", SERIAL, "-"}, 2, "Unexpected word [-" + STRAY},
        {{"-U", "-d", SERIAL, "-Q"}, 2, "Unknown option [-Q]"},
        {{"-U", "-d", SERIAL, "-help"}, 2, "Unknown option [-help]"},
        {{"-G", "-d", SERIAL, "-V"}, 2, "Unknown option [-V]"},
        {{"-DU", "-d", SERIAL}, 2, "Unknown option [-DU]"},
        {{"-U", "-d"}, 2, "Option [-d] needs a value"},
        {{"-d", "-U"}, 2, "Option [-d] needs a value"},
        {{"-U=yes", "-d", SERIAL}, 2, "Option [-U=yes] takes no value"},
        {{"-U", "-d", SERIAL, "-n=1"}, 2, "Option [-n=1] takes no value"},
        {{"-U", "-d", SERIAL, "-X", "5z"},
         2,
         "Invalid format for \"-X\" parameter, unprocessed characters [z]"},
        {{"-U", "-t", "RECOVER", "-s", "/dev/null", "-o", "460800"},
         2,
         "Invalid baud rate obtained from argument [460800]: " + BAUD_RATES},
        {{"-N", "-s", "/dev/null", "-o", "12"},
         2,
         "Invalid baud rate obtained from argument [12]: " + BAUD_RATES},
        {{"-U", "-d", SERIAL, "-u", "127.0.0.1:8080"},
         2,
         "Invalid update server URL [127.0.0.1:8080]: must be an http:// or https:// URL, such as "
         "http://updates.keystrand.example/cgi/u"},
        {{"-U", "-d", SERIAL, "-r", "D272031D", "-a", "7"},
         1,
         "Invalid module address obtained from argument [7" + ADDRESS_RULE},
        {{"-U", "-d", SERIAL, "-r", "D272031D", "-a", "1A"},
         1,
         "Invalid module address obtained from argument [1A" + ADDRESS_RULE},
        {{"-G", "-U", "-d", "G1"}, 1, "Invalid serial number obtained from argument [G1]"},
        {{"-U", "-d", SERIAL, "-b", "12x"}, 1, "Invalid build number obtained from argument [12x]"},
        {{"-U", "-d", SERIAL, "-t", "FOO"}, 1, "Invalid transport type:[FOO]"},
        {{"-Y", "-U", "-d", SERIAL}, 1, "Unhandled command: [-Y]"},
    };
    for (const auto& c : cases) {
        std::string line;
        for (const std::string& a : c.args)
            line += " [" + a + "]";
        SCOPED_TRACE("Updater" + line);
        size_t requests = server->Targets().size();
        auto run = discovertest::RunUpdaterOnBench({"--usb"}, {MODULE}, c.args);
        ASSERT_FALSE(run.process.timedOut);
        EXPECT_EQ(run.process.exitStatus, c.status) << run.err;
        EXPECT_EQ(FirstLine(run.err), c.error) << run.err;
        EXPECT_NE(run.err.find("\n\nApplication Usage:\n"), std::string::npos) << run.err;
        // Nothing ran: the banner and the notice only, no request, no link,
        // no store entry.
        EXPECT_EQ(run.out.find("Retriev"), std::string::npos) << run.out;
        EXPECT_EQ(server->Targets().size(), requests) << "a request reached the server";
        EXPECT_EQ(discovertest::ReportValue(run, "a", "link-starts"), "0") << run.report;
        EXPECT_EQ(discovertest::ReportValue(run, "a", "connections"), "0") << run.report;
        EXPECT_FALSE(Exists(moduleDirectory)) << "the store was touched";
    }
}

// A value glued to its option is taken, never dropped: -b1201 fetches build
// 1201, not the latest (1234). The server comes from the environment unless
// -u names another.
TEST_F(CommandLineRefusals, AGluedValueIsTakenAndTheServerComesFromTheEnvironment) {
    kstest::ProcessResult r =
        kstest::RunProcess({kstest::UpdaterPath(), "-G", "-d40F5849A", "-b1201"}, 30000);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_TRUE(Exists(moduleDirectory + "/1201.bird")) << r.out << r.err;
    EXPECT_FALSE(Exists(moduleDirectory + "/1234.bird"));
    EXPECT_FALSE(server->Targets().empty());

    setenv("KEYSTRAND_UPDATE_SERVER", updtest::ClosedPortUrl().c_str(), 1);
    r = kstest::RunProcess({kstest::UpdaterPath(), "-B", "-d", SERIAL, "-u", server->url()}, 30000);
    EXPECT_EQ(r.exitStatus, 0) << r.err;
    EXPECT_NE(r.out.find("1201           \t2.9.28"), std::string::npos) << r.out;
}

} // namespace
