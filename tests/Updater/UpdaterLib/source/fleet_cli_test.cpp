// -U for many modules in one run, end to end: the real Updater (the
// test-hook build, for short loader limits) against one keystrand-sim bench
// of eight modules to update (three on the emulated USB bus, two on TCP/IP,
// two behind a router on TCP/IP, one more on USB carrying the row's fault),
// in the private network namespace pair (root). Each row checks the exit
// status, the table (every module's result and the reason of a failure), the
// bytes every updated module received against its own BIRD file, the store,
// and that the same command for what was left undone finishes it on the
// same bench.
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "update_cli_support.h"
#include "updateserver_harness.h"

using namespace updcli;

namespace {

const char* const kRouter = "0000A001";

struct Target {
    const char* name; // in the bench
    uint32_t serial;
};

// In the order of -d: USB u1..u3, the faulted f (USB), TCP/IP t1, t2, and
// c1, c2 behind the router r.
const std::vector<Target> kTargets = {
    {"u1", 0x4B530001}, {"u2", 0x4B530002}, {"u3", 0x4B530003}, {"f", 0x4B530004},
    {"t1", 0x4B530101}, {"t2", 0x4B530102}, {"c1", 0x4B530201}, {"c2", 0x4B530202},
};

struct Row {
    const char* name;
    std::string fault; // of module f
    // After -U -b 1234: "-d LIST -r ROUTER" (all eight) when empty.
    std::vector<std::string> extra;
    int exit;
    // What the first run says about f (its line, the table or the JSON document).
    std::string failedLine;
    // The first run updated all but f, and the rerun is for f alone;
    // otherwise (a stop) the rerun is the same command.
    bool othersUpdated;
};

std::vector<Row> Rows() {
    return {
        {"one module's WRITE refused: the other seven updated, its rerun finishes it",
         "write-error=3 write-errors=1",
         {"-j", "4"},
         1,
         "4B530004: failed: Transferring firmware block 1 of 1: WRITE refused by the module "
         "(status 3)",
         true},
        {"the same as one JSON document",
         "write-error=3 write-errors=1",
         {"--json", "-j", "8"},
         1,
         "\"reason\": \"Transferring firmware block 1 of 1: WRITE refused by the module "
         "(status 3)\"",
         true},
        {"Ctrl-C while f transfers: every transfer stops, the same command finishes them",
         "signal-at=1500:2",
         {"-j", "8"},
         130,
         "; run the same command again to finish them",
         false},
        {"-d all on USB: the four USB modules, listed first, no confirmation asked (--yes)",
         "write-error=3 write-errors=1",
         {"-d", "all", "-t", "USB", "--yes"},
         1,
         "4B530004: failed: Transferring firmware block 1 of 1: WRITE refused by the module "
         "(status 3)",
         true},
    };
}

// Which modules a row updates: all eight, or with -d all -t USB those on USB.
bool Covers(const Row& row, const Target& t) {
    return row.extra.size() < 2 || row.extra[1] != "all" || t.name[0] == 'u' || t.name[0] == 'f';
}

std::string SerialText(uint32_t serial) {
    char text[16];
    std::snprintf(text, sizeof text, "%08X", serial);
    return text;
}

class FleetUpdate : public ::testing::Test {
  protected:
    void SetUp() override {
        if (StoreRoot().empty())
            GTEST_SKIP() << "needs the private home directory of scripts/isolated-home.sh";
        if (geteuid() != 0 || std::system("command -v ip >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "needs root and iproute2 for private network namespaces";
    }

    BenchRun Bench(const Row& row, const std::vector<std::string>& args) const {
        BenchRun run;
        run.netns = true;
        run.fleets = {"3 u serial=4B530001 usb restart-ms=100",
                      "2 t serial=4B530101 tcp=0 restart-ms=100"};
        run.modules = {"f serial=4B530004 usb restart-ms=100 " + row.fault,
                       "r serial=0000A001 model=21 address=2 tcp=0",
                       "c1 serial=4B530201 model=17 address=4 router=r restart-ms=300",
                       "c2 serial=4B530202 model=17 address=6 router=r restart-ms=300"};
        run.args = args;
        run.testHooks = true;
        run.env = {"KS_TESTHOOK_LOADER_ATTEMPTS=4", "KS_TESTHOOK_REBOOT_MS=1500",
                   "KS_TESTHOOK_RETURN_MS=5000"};
        // The run, then (its status on standard error) the same command
        // again, or the update of f alone.
        const std::string again =
            row.othersUpdated ? "exec \"$1\" -U -d 4B530004 -b 1234" : "exec \"$@\"";
        run.launcher = {"/bin/sh", "-c",
                        "trap : INT TERM; \"$@\"; echo \"first exit $?\" >&2; " + again, "sh"};
        run.timeoutMs = 240000;
        run.settleMs = 500;
        return run;
    }

    void Check(const Row& row) {
        SCOPED_TRACE(row.name);
        ClearStore();
        std::string list;
        std::vector<Firmware> files;
        for (const Target& t : kTargets) {
            files.push_back(MakeFirmware(t.serial, 3000 + (t.serial & 0xFF) * 16));
            StoreModule(t.serial, "CREATED_TIME=x\n", {{1234, files.back().File()}});
            list += (list.empty() ? "" : ",") + SerialText(t.serial);
        }
        std::vector<std::string> args = {"-U", "-b", "1234"};
        if (row.extra.size() < 2 || row.extra[1] != "all")
            args.insert(args.end(), {"-d", list, "-r", kRouter});
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        size_t covered = 0;
        for (const Target& t : kTargets)
            covered += Covers(row, t) ? 1 : 0;
        kstest::TempDir stateDir("ks-fleetstate");
        kstest::ProcessResult r = RunOnBench(Bench(row, args), stateDir.path());
        const std::string said = r.out + r.err;
        ASSERT_FALSE(r.timedOut) << said;
        EXPECT_FALSE(Has(r.err, "Sanitizer") || Has(r.err, "runtime error:")) << r.err;

        EXPECT_TRUE(Has(r.err, "first exit " + std::to_string(row.exit))) << said;
        EXPECT_EQ(r.exitStatus, 0) << "the same command again finishes the job\n" << said;
        EXPECT_TRUE(Has(said, row.failedLine)) << said;
        for (const Target& t : kTargets) {
            if (Covers(row, t)) {
                EXPECT_TRUE(Has(said, "  " + SerialText(t.serial) + "  ")) << "listed first\n"
                                                                           << said;
            }
        }
        const std::string tally = std::to_string(covered - 1) + " of " + std::to_string(covered);
        if (row.othersUpdated) {
            for (const Target& t : kTargets)
                if (std::string(t.name) != "f" && Covers(row, t)) {
                    EXPECT_TRUE(
                        Has(said, SerialText(t.serial) + ": updated, now runs 2.0.1 (1234)"))
                        << t.name;
                }
            EXPECT_TRUE(Has(r.out, tally + " modules updated") ||
                        Has(r.out, "\"updated\": " + std::to_string(covered - 1)))
                << said;
            EXPECT_TRUE(Has(r.out, "4B530004 now runs 2.0.1 (1234)")) << "the rerun\n" << said;
        } else {
            EXPECT_TRUE(Has(said, "Stopped on request")) << said;
            EXPECT_TRUE(Has(r.out, "8 of 8 modules updated") || Has(r.out, "\"updated\": 8"))
                << "the same command finished every module\n"
                << said;
        }
        EXPECT_FALSE(Has(said, "NETWORK:")) << "no diagnostics without -X\n" << said;

        for (size_t i = 0; i < kTargets.size(); ++i) {
            SCOPED_TRACE(kTargets[i].name);
            SimState st = ReadSimState(stateDir.path(), kTargets[i].name);
            ASSERT_TRUE(st.read);
            if (!Covers(row, kTargets[i])) {
                EXPECT_TRUE(st.loader.empty() && st.running.empty()) << "not on the list";
                continue;
            }
            // A module finished from its loader took the loader block offered
            // again as one it never wrote; the others hold the file's loader.
            const bool fromLoader = !row.othersUpdated || std::string(kTargets[i].name) == "f";
            if (!fromLoader) {
                ASSERT_FALSE(st.loader.empty());
            }
            if (!st.loader.empty()) {
                EXPECT_BYTES(files[i].loader, st.loader.back().data);
            }
            ASSERT_FALSE(st.running.empty());
            EXPECT_BYTES(files[i].image, st.running.back().data);
            ExpectRecordedTransfer(kTargets[i].serial);
        }
        SimState router = ReadSimState(stateDir.path(), "r");
        EXPECT_EQ(router.options[20].second, 0u) << "routing is off again";
        EXPECT_TRUE(router.loader.empty()) << "the router itself was not updated";
        EXPECT_TRUE(router.running.empty()) << "the router itself was not updated";
    }

    void ExpectRecordedTransfer(uint32_t serial) {
        std::map<std::string, std::string> attributes = Attributes(serial);
        EXPECT_EQ(attributes["LATEST_TRANSFER"], "1234.bird");
        EXPECT_TRUE(IsTimeStamp(attributes["LAST_TRANSFER_DATE"]));
    }
};

} // namespace

TEST_F(FleetUpdate, FailuresStayLocalAndTheSameCommandFinishesWhatWasLeft) {
    const char* only = std::getenv("KS_FAULT_ROW");
    for (const Row& row : Rows())
        if (!only || Has(row.name, only))
            Check(row);
}

// -f names one module's file: with a list it is refused before any module is
// touched (a generic file, with serial offsets, would be taken).
TEST_F(FleetUpdate, AFileForOneModuleIsRefusedForAList) {
    ClearStore();
    const Firmware fw = MakeFirmware(0x4B530001, 3000);
    kstest::TempDir files("ks-fleetfile");
    const std::string path = files.write("one.bird", fw.File());
    Row row{"-f", "", {}, 2, "", false};
    BenchRun run = Bench(row, {"-U", "-d", "4B530001,4B530002", "-f", path});
    run.launcher.clear();
    kstest::TempDir stateDir("ks-fleetstate");
    kstest::ProcessResult r = RunOnBench(run, stateDir.path());
    EXPECT_EQ(r.exitStatus, 2) << r.out << r.err;
    EXPECT_EQ(Count(r.err, "Refused: " + path +
                               " is one module's file (no serial offsets); -f with a list of "
                               "modules needs a generic file"),
              1u)
        << r.err;
    for (const char* name : {"u1", "u2"}) {
        SimState st = ReadSimState(stateDir.path(), name);
        ASSERT_TRUE(st.read) << name;
        EXPECT_TRUE(st.loader.empty()) << name << ": nothing was offered";
    }
}

// -G -U for a list: each module's latest build is downloaded once into its
// own store entry and written; then a generic file (-f, serial offsets)
// goes into every module of its model with each one's serial number set.
// On the emulated USB bus only (-t USB: no search of the network).
TEST_F(FleetUpdate, GetThenUpdateDownloadsEachBuildOnceAndAGenericFileFitsAll) {
    ClearStore();
    kstest::TempDir content("ks-server");
    std::vector<Firmware> latest;
    for (uint32_t serial : {0x4B530001u, 0x4B530002u, 0x4B530003u}) {
        latest.push_back(MakeFirmware(serial, 1500 + (serial & 0xF) * 100, 1500));
        updtest::AddModule(content.path(), SerialText(serial), "1500", "KSFW-2");
        updtest::AddBuild(content.path(), SerialText(serial), 1500, "2.0.1", latest.back().File());
    }
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());
    Firmware generic = MakeFirmware(0, 1024);
    generic.serialAt = 0x100;
    kstest::TempDir files("ks-fleetfile");
    const std::string path = files.write("generic.bird", generic.File());

    const std::string list = "4B530001,4B530002,4B530003";
    BenchRun run;
    run.fleets = {"3 u serial=4B530001 usb restart-ms=100"};
    run.timeoutMs = 180000;
    run.settleMs = 500;
    // Each bench run starts from the modules' old firmware: the first one
    // downloads and writes the latest builds, the second the generic file.
    kstest::TempDir getDir("ks-fleetstate"), fileDir("ks-fleetstate");
    run.args = {"-G", "-U", "-d", list, "-u", server.url(), "-t", "USB"};
    kstest::ProcessResult got = RunOnBench(run, getDir.path());
    run.args = {"-U", "-d", list, "-f", path, "-t", "USB", "-u", server.url()};
    kstest::ProcessResult wrote = RunOnBench(run, fileDir.path());
    const std::string said = got.out + got.err + wrote.out + wrote.err;
    EXPECT_EQ(got.exitStatus, 0) << said;
    EXPECT_EQ(wrote.exitStatus, 0) << said;
    EXPECT_TRUE(Has(got.out, "3 of 3 modules updated")) << said;
    EXPECT_TRUE(Has(wrote.out, "3 of 3 modules updated")) << said;
    for (size_t i = 0; i < latest.size(); ++i) {
        const uint32_t serial = 0x4B530001u + static_cast<uint32_t>(i);
        const std::string name = "u" + std::to_string(i + 1);
        SCOPED_TRACE(SerialText(serial));
        EXPECT_BYTES(latest[i].File(),
                     kstest::ReadFile(StoreRoot() + "/" + SerialText(serial) + "/1500.bird"));
        size_t asked = 0;
        for (const std::string& target : server.Targets())
            asked += Has(target, "op=bird&sn=" + SerialText(serial)) ? 1 : 0;
        EXPECT_EQ(asked, 1u) << "downloaded once";
        SimState st = ReadSimState(getDir.path(), name);
        ASSERT_FALSE(st.running.empty()) << said;
        EXPECT_BYTES(latest[i].image, st.running.back().data);
        Bytes expected = generic.image;
        for (int b = 0; b < 4; ++b)
            expected[0x100 + static_cast<size_t>(b)] = static_cast<uint8_t>(serial >> (8 * b));
        st = ReadSimState(fileDir.path(), name);
        ASSERT_FALSE(st.running.empty()) << said;
        EXPECT_BYTES(expected, st.running.back().data);
    }
}
