// A mistyped serial number or build is refused, never read as another one:
// for a tool that writes firmware, -d 123456789 must not address module
// 23456789, nor -b 4294968530 fetch build 1234. The parser, then the real
// program against the simulated update server (which must see no request).
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "Log.h"
#include "Parameters.h"
#include "display_recorder.h"
#include "process.h"
#include "tempdir.h"
#include "updateserver_harness.h"

namespace {

struct Parsed {
    int result = -1;
    Parameters params;
    std::vector<DisplayRecorder::Call> calls;
};

Parsed Parse(const std::vector<std::string>& words) {
    std::vector<std::string> storage = {"Updater"};
    storage.insert(storage.end(), words.begin(), words.end());
    std::vector<char*> argv;
    for (std::string& s : storage)
        argv.push_back(&s[0]);
    argv.push_back(nullptr);
    DisplayRecorder display;
    Parsed p;
    p.result = _get_params(display, static_cast<int>(storage.size()), argv.data(), &p.params);
    p.calls = display.calls;
    Log::DeactivatePackage(0xFFFFFFFFu);
    return p;
}

const std::string SERIAL_ERROR = "Invalid serial number obtained from argument [";
const std::string ROUTER_ERROR = "Invalid router serial number obtained from argument [";
const std::string BUILD_ERROR = "Invalid build number obtained from argument [";

TEST(CommandLineStrict, SerialsAndBuildsThatDoNotFitAreRefused) {
    const struct {
        std::vector<std::string> words;
        std::string message;
    } cases[] = {
        {{"-d", "123456789"}, SERIAL_ERROR + "123456789]"},
        {{"-d", "0x1FFFFFFFF"}, SERIAL_ERROR + "1FFFFFFFF]"},
        {{"-d", "000000001"}, SERIAL_ERROR + "000000001]"},
        {{"-d=0X140F5849A"}, SERIAL_ERROR + "140F5849A]"},
        {{"-r", "0x123456789"}, ROUTER_ERROR + "123456789]"},
        {{"-b", "4294968530"}, BUILD_ERROR + "4294968530]"},
        {{"-b", "4294967296"}, BUILD_ERROR + "4294967296]"},
        {{"-b", "18446744073709551617"}, BUILD_ERROR + "18446744073709551617]"},
        {{"-b", "abc"}, BUILD_ERROR + "abc]"},
        {{"-b", "12x"}, BUILD_ERROR + "12x]"},
        {{"-b=-1"}, BUILD_ERROR + "-1]"},
        {{"-b", "+12"}, BUILD_ERROR + "+12]"},
        {{"-b", " 12"}, BUILD_ERROR + " 12]"},
        {{"-b", "0x10"}, BUILD_ERROR + "0x10]"},
        {{"-b="}, BUILD_ERROR + "]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.back());
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 1);
        EXPECT_EQ(p.calls, (std::vector<DisplayRecorder::Call>{{"error", c.message}}));
        EXPECT_EQ(p.params.serialNumber, 0u);
        EXPECT_EQ(p.params.routerSerialNumber, 0u);
        EXPECT_EQ(p.params.buildNumber, "");
    }
}

TEST(CommandLineStrict, TheAcceptedFormsStayAccepted) {
    const struct {
        std::vector<std::string> words;
        uint32_t serial;
        std::string build;
    } cases[] = {
        {{"-d", "0x40F5849A"}, 0x40F5849A, ""},
        {{"-d", "40f5849a"}, 0x40F5849A, ""},
        {{"-d=0X40F5849A"}, 0x40F5849A, ""},
        {{"-d", "0000FFFF"}, 0xFFFF, ""},
        {{"-d", "0xFFFFFFFF"}, 0xFFFFFFFF, ""},
        {{"-b", "4294967295"}, 0, "4294967295"},
        {{"-b=007"}, 0, "7"},
        {{"-b", "0"}, 0, "0"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.words.back());
        Parsed p = Parse(c.words);
        EXPECT_EQ(p.result, 0);
        EXPECT_TRUE(p.calls.empty());
        EXPECT_EQ(p.params.serialNumber, c.serial);
        EXPECT_EQ(p.params.buildNumber, c.build);
    }
}

TEST(CommandLineStrict, TheProgramRefusesBeforeAnyRequest) {
    kstest::TempDir content("ks-server");
    updtest::AddModule(content.path(), "23456789", "1234", "KSFW");
    updtest::AddModule(content.path(), "40F5849A", "1234", "KSFW");
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    const struct {
        std::vector<std::string> args;
        std::string message;
    } cases[] = {
        {{"-G", "-d", "123456789"}, SERIAL_ERROR + "123456789]"},
        {{"-B", "-d", "0x1FFFFFFFF"}, SERIAL_ERROR + "1FFFFFFFF]"},
        {{"-G", "-d", "40F5849A", "-b", "4294968530"}, BUILD_ERROR + "4294968530]"},
        {{"-G", "-d", "40F5849A", "-b", "abc"}, BUILD_ERROR + "abc]"},
        {{"-U", "-d", "40F5849A", "-b", "abc"}, BUILD_ERROR + "abc]"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.message);
        std::vector<std::string> argv = {kstest::UpdaterPath()};
        argv.insert(argv.end(), c.args.begin(), c.args.end());
        argv.push_back("-u");
        argv.push_back(server.url());
        kstest::ProcessResult r = kstest::RunProcess(argv, 30000);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err.find(c.message + "\n\nApplication Usage:\n"), 0u) << r.err;
        EXPECT_TRUE(server.Targets().empty()) << "a request was made";
    }
}

} // namespace
