// Runs the real Updater program and compares what it prints, on each
// stream, and its exit status with what a user must see.
#include <gtest/gtest.h>

#include <cstdlib>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "bytes.h"
#include "process.h"
#include "tempdir.h"

namespace {

const std::string BANNER = "Updater (Version: 1.1 Apr 26 2023)\n";
// No LPC bootloader answers on a port that is no terminal; for an i.MX ROM
// the default live loader is needed first, and the server is not there.
const std::string NO_SERVER = "http://127.0.0.1:9/cgi/u";
const std::string NOT_A_PORT = "cannot open /dev/null: Inappropriate ioctl for device\n";
const std::string LIBRARY = "[Keystrand Release: 2.9.29]\n";

std::string Golden(const char* name) {
    const char* src = getenv("KS_SOURCE_DIR");
    std::string content;
    if (src == nullptr ||
        !kstest::ReadFile(std::string(src) + "/tests/Updater/app/golden/" + name, content)) {
        ADD_FAILURE() << "cannot read golden file " << name << " (KS_SOURCE_DIR set?)";
    }
    return content;
}

using kstest::ProcessResult;

ProcessResult RunUpdater(std::vector<std::string> args) {
    args.insert(args.begin(), UPDATER_BINARY);
    return kstest::RunProcess(args, 10000);
}

std::string Joined(const std::vector<std::string>& args) {
    std::string s;
    for (const auto& a : args)
        s += (s.empty() ? "" : " ") + a;
    return "[" + s + "]";
}

void ExpectRun(const std::vector<std::string>& args, const std::string& out, const std::string& err,
               int status) {
    ProcessResult r = RunUpdater(args);
    ASSERT_FALSE(r.timedOut) << Joined(args);
    EXPECT_EQ(r.exitStatus, status) << Joined(args);
    EXPECT_BYTES(out, r.out) << Joined(args) << " stdout";
    EXPECT_BYTES(err, r.err) << Joined(args) << " stderr";
}

// The notice line is the program's own text; take it from a plain run.
std::string Notice() {
    ProcessResult r = RunUpdater({});
    size_t start = r.out.find('\n');
    size_t end = start == std::string::npos ? start : r.out.find('\n', start + 1);
    if (end == std::string::npos)
        return std::string();
    return r.out.substr(start + 1, end - start);
}

struct Case {
    std::vector<std::string> args;
    std::string out;
    std::string err;
    int status;
};

TEST(UpdaterUsage, NoCommandPrintsBannersAndTheUsageHead) {
    std::string notice = Notice();
    ASSERT_GE(notice.size(), 4u);
    EXPECT_EQ(notice.front(), '(');
    EXPECT_EQ(notice.substr(notice.size() - 2), ")\n");
    const std::string head = Golden("usage_head.txt");
    const std::string full = Golden("usage_full.txt");
    const std::string plain = BANNER + notice + LIBRARY;
    Case cases[] = {
        {{}, plain, head, 0},
        {{"-n", "-s", "/dev/null"}, plain, head, 0},
        {{"-h"}, plain, full, 0},
        {{"-H"}, plain, full, 0},
        {{"--help"}, plain, full, 0},
        {{"--hel"}, plain, full, 0},
        {{"-h", "-Y"}, plain, full, 0},
        {{"-D", "-h", "-d", "G1"}, plain, full, 0},
        {{"-X", "1", "-h"}, plain, full, 0},
    };
    for (const Case& c : cases)
        ExpectRun(c.args, c.out, c.err, c.status);
}

TEST(UpdaterUsage, RejectedOptionsPrintTheirMessagesThenTheShortUsage) {
    std::string notice = Notice();
    const std::string head = Golden("usage_head.txt");
    const std::string out = BANNER + notice;
    Case cases[] = {
        {{"-Y"}, out, "Unhandled command: [-Y]\n" + head, 1},
        {{"-Y", "-d", "0"},
         out,
         "Unhandled command: [-Y]\nInvalid serial number obtained from argument [0]\n" + head,
         1},
        {{"-d", "0x"}, out, "Invalid serial number obtained from argument []\n" + head, 1},
        {{"-d", "G1", "-D"}, out, "Invalid serial number obtained from argument [G1]\n" + head, 1},
        {{"-r", "0xZZ"},
         out,
         "Invalid router serial number obtained from argument [ZZ]\n" + head,
         1},
        {{"-U", "-d", "40F5849A", "-r", "D272031D", "-a", "7"},
         out,
         "Invalid module address obtained from argument [7]: must be an even number from 2 to "
         "254, decimal or 0x hex (the -D table shows addresses in hex: 1A there is -a 0x1A)\n" +
             head,
         1},
        {{"-t", "FOO", "-D"},
         out,
         "Invalid transport type:[FOO]\nMust be one of the following: USB, TCPIP, RECOVER\n" + head,
         1},
    };
    for (const Case& c : cases)
        ExpectRun(c.args, c.out, c.err, c.status);
}

TEST(UpdaterCommands, StartNoWorkForZ) {
    Case cases[] = {
        {{"-Z", "5"}, BANNER, "", 0},
        {{"-Z", "5", "-d", "40F5849A", "-OVERRIDE"}, BANNER, "", 0},
        {{"-X", "0x1", "-d", "0x12", "-Z", "5"},
         BANNER,
         "Discarding '0x' serial number prefix\n",
         0},
        {{"-X", "0x1", "-r", "0X12", "-Z", "5"},
         BANNER,
         "Discarding '0x' router serial number prefix\n",
         0},
    };
    for (const Case& c : cases)
        ExpectRun(c.args, c.out, c.err, c.status);
}

TEST(UpdaterVersion, PrintsTheProgramsAndTheLibrarysVersionsAndNothingElse) {
    ExpectRun({"--version"}, BANNER + LIBRARY, "", 0);
    ExpectRun({"--version", "-U", "-d", "40F5849A"}, BANNER + LIBRARY, "", 0);
}

TEST(UpdaterCommands, MissingPrerequisitesStopTheRunWithStatusOne) {
    const std::string head = Golden("usage_head.txt");
    Case cases[] = {
        {{"-U"}, BANNER, "Must specify the specific device to be updated\n", 1},
        {{"-C"}, BANNER, "Check needs a BIRD file: name it with -f\n", 1},
        {{"-I"}, BANNER, "-I must specify a specific device via -d\n", 1},
        {{"-G"},
         BANNER,
         "-G must specify a specific device via -d\n--help for usage information\n",
         1},
        {{"-G", "-U"},
         BANNER,
         "-G must specify a specific device via -d\n--help for usage information\n",
         1},
        {{"-N"}, BANNER, "Must specify the serial port used for connecting\n", 1},
        {{"-N", "-G", "-d", "1"}, BANNER, "Must specify the serial port used for connecting\n", 1},
        {{"-B"},
         BANNER,
         "Error must supply a serial number for the List Builds command\n" + head,
         1},
    };
    for (const Case& c : cases)
        ExpectRun(c.args, c.out, c.err, c.status);
}

// A port that is no serial port is named with the reason, and neither the
// store nor the server is asked for a live loader.
TEST(UpdaterCommands, RecoveryWithNothingOnThePortFailsWithItsMessages) {
    // The notice to keep the module powered comes when the work starts.
    const std::string notice = Notice();
    Case cases[] = {
        {{"-U", "-t", "RECOVER", "-s", "/dev/null", "-u", NO_SERVER},
         BANNER + notice,
         "Could not get Device Identifier: " + NOT_A_PORT,
         1},
        {{"-U", "-t", "RECOVER"}, BANNER, "Must specify the serial port used for connecting\n", 1},
        {{"-N", "-s", "/dev/null", "-u", NO_SERVER},
         BANNER,
         "Got no response from chip: " + NOT_A_PORT,
         1},
    };
    for (const Case& c : cases)
        ExpectRun(c.args, c.out, c.err, c.status);
}

// -G and -B reach the server named with -u (here a loopback port where
// nothing listens, so no request leaves the machine): the device and build
// forms of the command line arrive as the messages show.
TEST(UpdaterCommands, DownloadCommandsAskTheServerGiven) {
    const std::string noServer = NO_SERVER;
    const std::string get = "Retrieving firmware for device with serial number 40F5849A\n";
    const std::string latest = get + "No build specified\nUsing Latest build\n";
    const std::string failed =
        "Server request failed for " + noServer + ": Couldn't connect to server\n";
    Case cases[] = {
        // A failed request is no empty list: the failure decides the status.
        {{"-B", "-d", "1", "-u", noServer}, BANNER, failed, 1},
        {{"-G", "-d", "40F5849A", "-u", noServer}, BANNER + latest, failed, 1},
        {{"-G", "-d", "0x40F5849A", "-u", noServer}, BANNER + latest, failed, 1},
        {{"-G", "-d=40F5849A", "-u", noServer}, BANNER + latest, failed, 1},
        {{"-G", "-d", "40F5849A", "-b", "007", "-u", noServer},
         BANNER + get + "Retrieving firmware build 7\n",
         failed,
         1},
        {{"-G", "-U", "-d", "40F5849A", "-u", noServer},
         BANNER + latest,
         failed + "The download failed; nothing was written to the module\n",
         1},
        {{"-N", "-s", "/dev/null", "-G", "-d", "40F5849A", "-u", noServer},
         BANNER + latest,
         "Got no response from chip: " + NOT_A_PORT + failed,
         1},
    };
    for (const Case& c : cases)
        ExpectRun(c.args, c.out, c.err, c.status);
}

TEST(UpdaterDiagnostics, ParameterListingShowsOptionsFirstThenRefusedWords) {
    ProcessResult r = RunUpdater({"-X", "0x10000", "stray", "-Z", "5"});
    EXPECT_EQ(r.exitStatus, 2);
    EXPECT_EQ(r.out, BANNER + Notice());
    std::string want = "Unexpected word [stray]: not an option, nor the value of one\n"
                       "\nApplication parameters:[Updater]\n\t[" +
                       std::string(UPDATER_BINARY) +
                       "]\n\t[-X]\n\t[0x10000]\n\t[-Z]\n\t[5]\n\t[stray]\n" +
                       Golden("usage_head.txt");
    EXPECT_BYTES(want, r.err);
}

bool IsDirectory(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

// These tests change the home directory, so they run only inside the
// private home that the test launcher provides.
class UpdaterStoreDirectory : public ::testing::Test {
  protected:
    void SetUp() override {
        home = kstest::PrivateHome();
        if (home.empty()) {
            GTEST_SKIP() << "needs the private home of scripts/isolated-home.sh";
        }
        root = home + "/.quillmar";
        store = root + "/updater";
    }
    void RemoveStore() {
        rmdir(store.c_str());
        unlink(root.c_str());
        rmdir(root.c_str());
    }
    std::string home, root, store;
};

TEST_F(UpdaterStoreDirectory, IsCreatedInTheHomeDirectoryWhenACommandRuns) {
    RemoveStore();
    ASSERT_FALSE(IsDirectory(root));
    // Usage alone needs no store.
    ProcessResult usage = RunUpdater({});
    EXPECT_EQ(usage.exitStatus, 0);
    EXPECT_FALSE(IsDirectory(root));

    ProcessResult r = RunUpdater({"-Z", "5"});
    EXPECT_EQ(r.exitStatus, 0);
    EXPECT_TRUE(IsDirectory(store)) << store;
    struct stat st;
    ASSERT_EQ(stat(store.c_str(), &st), 0);
    mode_t mask = umask(0);
    umask(mask);
    EXPECT_EQ(st.st_mode & 0777, 0755u & ~mask);
    // A second run finds it in place.
    EXPECT_EQ(RunUpdater({"-Z", "5"}).exitStatus, 0);
    RemoveStore();
}

TEST_F(UpdaterStoreDirectory, ThatCannotBeMadeStopsTheRunWithAMessage) {
    // A plain file where a directory of the store path belongs: at the
    // store's parent, or at the store itself.
    for (int atStore = 0; atStore < 2; ++atStore) {
        RemoveStore();
        unlink(store.c_str());
        if (atStore) {
            ASSERT_EQ(mkdir(root.c_str(), 0755), 0);
        }
        const std::string blockerPath = atStore ? store : root;
        {
            std::ofstream blocker(blockerPath);
            blocker << "not a directory\n";
        }
        const std::string error =
            "Could not find updater directory at " + store + ": Not a directory\n";
        ExpectRun({"-Z", "5"}, BANNER, error, 1);
        ExpectRun({"-U", "-d", "1"}, BANNER, error, 1);
        std::string content;
        ASSERT_TRUE(kstest::ReadFile(blockerPath, content));
        EXPECT_EQ(content, "not a directory\n") << "the blocking file must be left alone";
        unlink(store.c_str());
        RemoveStore();
    }
}

} // namespace
