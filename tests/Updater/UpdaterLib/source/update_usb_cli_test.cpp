// -U end to end on the emulated USB bus: the real Updater binary as the child
// of keystrand-sim, whose modules it updates. Every update that succeeds is
// checked byte for byte (the loader and firmware images the module received
// against the BIRD file's blocks) and in the store (LATEST_TRANSFER,
// LAST_TRANSFER_DATE); every one that fails leaves the store exactly as it
// was. A module that never comes back after LOAD, or keeps its link after
// REBOOT, is a row of the fault matrix (update_fault_cli_test), which
// shortens those bounds.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <memory>
#include <string>
#include <vector>

#include "update_cli_support.h"
#include "updateserver_harness.h"

using namespace updcli;

namespace {

const uint32_t kSerial = 0x40F5849A;
const char* const kSerialText = "40F5849A";
const std::string kModule = "u serial=40F5849A model=17 address=4 usb restart-ms=100 ";
const std::string kEmptyFile = "<empty>";
const std::string kMissingFile = "<missing>";
const std::string kDirectory = "<directory>";

std::string ClosedUrl() {
    return "http://127.0.0.1:" + std::to_string(kstest::ClosedPort()) + "/cgi/u";
}

class UpdateOverUsb : public UpdateCliTest {
  protected:
    UpdateOverUsb() : UpdateCliTest(false) {}
    kstest::ProcessResult Run(const std::vector<std::string>& modules,
                              const std::vector<std::string>& args,
                              const std::string& watched = "u", bool onPty = false) {
        return UpdateCliTest::Run(modules, args, watched, onPty);
    }
    void ExpectRecorded(const std::string& transfer) {
        UpdateCliTest::ExpectRecorded(kSerial, transfer);
    }
};

} // namespace

// From a file, with each way a loader may come back after LOAD.
TEST_F(UpdateOverUsb, WritesTheFileIntoTheModuleWhicheverWayItsLoaderReturns) {
    const char* loaders[] = {
        "loader-serial=own",
        "loader-serial=default",                  // re-enumerates as DEADDEAD
        "loader-serial=default load-reply=after", // answers LOAD only on its new link
        "data-wrong=3",                           // refuses a chunk three times, then takes it
    };
    const Firmware fw = MakeFirmware(kSerial, 2000);
    const std::string path = files.path() + "/./fw.bird"; // kept exactly as typed
    WriteFile("fw.bird", fw.File());
    for (const char* loader : loaders) {
        SCOPED_TRACE(loader);
        ClearStore();
        kstest::ProcessResult r =
            Run({kModule + loader}, {"-U", "-d", kSerialText, "-f", path, "-u", ClosedUrl()});
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        EXPECT_TRUE(Has(r.out, "Updating from Birdfile: " + path)) << r.out;
        EXPECT_TRUE(Has(r.out, "Transferred 1 blocks, 2004 total bytes")) << r.out;
        EXPECT_TRUE(Has(r.out, "Update time: ")) << r.out;
        // The module left the bus twice (LOAD, REBOOT): nothing to say about it.
        EXPECT_FALSE(Has(r.out + r.err, "error release")) << r.out << r.err;
        ExpectWritten(fw, fw.image);
        ExpectRecorded(path);
    }
}

TEST_F(UpdateOverUsb, ChoosesTheBuildFromServerAndStore) {
    struct Row {
        const char* name;
        const char* serverLatest; // null: the server is down
        std::string settings;
        std::vector<unsigned> stored;
        std::vector<std::string> args;
        std::vector<std::string> lines; // printed, in this order
        const char* absent;
        const char* download; // LATEST_DOWNLOAD afterwards (kept as it was)
    };
    const std::vector<Row> rows = {
        {"-b names a stored build",
         nullptr,
         "CREATED_TIME=x\n",
         {1234},
         {"-b", "1234"},
         {"Updating firmware with build: 1234"},
         "Latest",
         ""},
        {"server down, latest download",
         nullptr,
         "LATEST_DOWNLOAD=1234.bird\n",
         {1234},
         {},
         {"Updating with the Latest Download", "Updating firmware with build: 1234"},
         "New firmware",
         "1234.bird"},
        {"server names a build not stored",
         "2000",
         "LATEST_DOWNLOAD=1234.bird\n",
         {1234},
         {},
         {"New firmware is available.  Updater will proceed if valid firmware is found locally.",
          "Updating with the Latest Download", "Updating firmware with build: 1234"},
         "Latest Transfer",
         "1234.bird"},
        {"server's latest is stored",
         "1234",
         "LATEST_DOWNLOAD=1000.bird\n",
         {1000, 1234},
         {},
         {"Updating firmware with build: 1234"},
         "Latest Download",
         "1000.bird"},
        {"server down, a newer download than the latest transfer",
         nullptr,
         "LATEST_DOWNLOAD=1234.bird\nLATEST_TRANSFER=1000.bird\n",
         {1000, 1234},
         {},
         {"Updating with the Latest Download", "Updating firmware with build: 1234"},
         "Latest Transfer",
         "1234.bird"},
        {"latest transfer",
         nullptr,
         "LATEST_TRANSFER=1234.bird\n",
         {1234},
         {},
         {"Updating with the Latest Transfer", "Updating firmware with build: 1234"},
         "Latest Download",
         ""},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearStore();
        std::map<unsigned, std::string> builds;
        for (unsigned b : row.stored)
            builds[b] = MakeFirmware(kSerial, 700, b).File();
        StoreModule(kSerial, row.settings, builds);
        kstest::TempDir content("ks-server");
        std::unique_ptr<updtest::SimServer> server;
        if (row.serverLatest) {
            updtest::AddModule(content.path(), kSerialText, row.serverLatest, "KSFW-2");
            server.reset(new updtest::SimServer(content.path()));
            ASSERT_TRUE(server->running());
        }
        std::vector<std::string> args = {"-U", "-d", kSerialText, "-u",
                                         server ? server->url() : ClosedUrl()};
        args.insert(args.end(), row.args.begin(), row.args.end());

        kstest::ProcessResult r = Run({kModule}, args);
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        size_t at = 0;
        for (const std::string& line : row.lines) {
            at = r.out.find(line + "\n", at);
            EXPECT_NE(at, std::string::npos) << "missing or out of order: " << line << "\n"
                                             << r.out;
        }
        EXPECT_FALSE(Has(r.out, row.absent)) << r.out;
        const Firmware fw = MakeFirmware(kSerial, 700, 1234);
        ExpectWritten(fw, fw.image);
        ExpectRecorded("1234.bird");
        EXPECT_EQ(Attributes(kSerial)["LATEST_DOWNLOAD"], row.download);
    }
}

TEST_F(UpdateOverUsb, GetThenUpdateWritesTheBuildJustDownloaded) {
    kstest::TempDir content("ks-server");
    const Firmware fw = MakeFirmware(kSerial, 1500, 1500);
    updtest::AddModule(content.path(), kSerialText, "1500", "KSFW-2");
    updtest::AddBuild(content.path(), kSerialText, 1500, "2.1.0", fw.File());
    updtest::SimServer server(content.path());
    ASSERT_TRUE(server.running());

    kstest::ProcessResult r = Run({kModule}, {"-G", "-U", "-d", kSerialText, "-u", server.url()});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_TRUE(Has(r.out, "Updating firmware with build: 1500")) << r.out;
    EXPECT_BYTES(fw.File(), kstest::ReadFile(StoreRoot() + "/40F5849A/1500.bird"));
    ExpectWritten(fw, fw.image);
    ExpectRecorded("1500.bird");
    EXPECT_EQ(Attributes(kSerial)["LATEST_DOWNLOAD"], "1500.bird");
}

TEST_F(UpdateOverUsb, GenericImageCarriesTheModuleSerialNumber) {
    Firmware fw = MakeFirmware(0, 1024);
    fw.serialAt = 0x100; // little-endian serial word
    fw.textAt = 0x200;   // eight hex digits, one every second byte
    Bytes expected = fw.image;
    for (int i = 0; i < 4; ++i)
        expected[0x100 + i] = static_cast<uint8_t>(kSerial >> (8 * i));
    for (int i = 0; i < 8; ++i)
        expected[0x200 + 2 * i] = static_cast<uint8_t>(kSerialText[i]);
    const std::string path = WriteFile("generic.bird", fw.File());

    kstest::ProcessResult r =
        Run({kModule}, {"-U", "-d", kSerialText, "-f", path, "-u", ClosedUrl()});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    ExpectWritten(fw, expected);
    ExpectRecorded(path);
}

TEST_F(UpdateOverUsb, UpdatesAModuleBehindARouterAndSwitchesRoutingOffAgain) {
    const std::vector<std::string> bench = {
        "r serial=0000A001 model=21 address=2 usb",
        "c serial=40F5849A model=17 address=6 router=r restart-ms=300"};
    const Firmware fw = MakeFirmware(kSerial, 1200);
    const std::string path = WriteFile("fw.bird", fw.File());

    kstest::ProcessResult r =
        Run(bench, {"-U", "-d", kSerialText, "-r", "0000A001", "-a", "6", "-f", path}, "c");
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    ExpectWritten(fw, fw.image);
    ExpectRecorded(path);
    EXPECT_EQ(router.options[20], std::make_pair(2u, 0u)) << "routing on, then off";
    EXPECT_TRUE(router.running.empty()) << "the router itself is left alone";

    // Nobody at that address: validation fails, and routing still goes off.
    const std::map<std::string, std::string> before = Snapshot(StoreRoot());
    r = Run(bench, {"-U", "-d", kSerialText, "-r", "0000A001", "-a", "0x08", "-f", path}, "c");
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_TRUE(Has(r.err, "Birdfile failed validation")) << r.err;
    EXPECT_EQ(router.options[20], std::make_pair(2u, 0u));
    EXPECT_TRUE(state.loader.empty());
    ExpectStoreAsBefore(before);
}

// Refused before anything reaches the module's upgrade entity: no loader,
// nothing running, the store as it was, and no time line.
TEST_F(UpdateOverUsb, RefusedUpdatesLeaveModuleAndStoreAlone) {
    struct Row {
        const char* name;
        std::string fault;
        // Written as given.bird; empty: no -f (kEmptyFile: a 0-byte file,
        // kMissingFile: no file there, kDirectory: a directory there).
        std::string file;
        std::vector<std::string> extra;
        std::string message; // the line of the error; "%s" stands for the -f path
        bool contacted;      // the module's link was opened
    };
    Firmware wrongSerial = MakeFirmware(0x11111111, 500);
    Firmware good = MakeFirmware(kSerial, 500);
    Firmware empty = good;
    empty.noBlocks = true;
    std::string truncated = good.File().substr(0, good.File().size() / 2);
    const std::vector<Row> rows = {
        {"nothing in the store", "", "", {}, "Could not find valid build for this device.", false},
        {"build not stored",
         "",
         "",
         {"-b", "999"},
         "Failed to load bird file: " + StoreRoot() +
             "/40F5849A/999.bird: No such file or directory",
         false},
        {"missing file",
         "",
         kMissingFile,
         {},
         "Failed to load bird file: %s: No such file or directory",
         false},
        {"a directory", "", kDirectory, {}, "Failed to load bird file: %s: is a directory", false},
        {"empty file", "", kEmptyFile, {}, "Failed to load bird file: %s: it is empty", false},
        {"not a BIRD file",
         "",
         "this is not firmware",
         {},
         "Failed to load bird file: %s: it does not begin with the BIRD signature and version",
         false},
        {"truncated BIRD file",
         "",
         truncated,
         {},
         "Failed to load bird file: %s: its compressed content is cut short",
         false},
        {"router without module address",
         "",
         good.File(),
         {"-r", "0000A001"},
         "Module address required for indirect firmware update",
         false},
        {"wrong serial in the file",
         "",
         wrongSerial.File(),
         {},
         "Birdfile failed validation",
         true},
        {"wrong model",
         "model=22",
         good.File(),
         {},
         "Connected device model and Bird file model do not match [Gauge]",
         true},
        {"module refuses its link",
         "refuse=1000",
         good.File(),
         {},
         "Birdfile failed validation",
         false},
        {"no blocks, checks overridden",
         "",
         empty.File(),
         {"-OVERRIDE"},
         "Birdfile holds no firmware blocks; nothing to transfer",
         true},
    };
    StoreModule(kSerial, "CREATED_TIME=x\nLATEST_TRANSFER=/old.bird\n", {{1000, good.File()}});
    const std::map<std::string, std::string> before = Snapshot(StoreRoot());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        std::vector<std::string> args = {"-U", "-d", kSerialText, "-u", ClosedUrl()};
        std::string given;
        if (!row.file.empty()) {
            given = WriteFile("given.bird", row.file == kEmptyFile ? "" : row.file);
            if (row.file == kMissingFile || row.file == kDirectory) {
                given += "." + std::to_string(&row - rows.data());
                if (row.file == kDirectory) {
                    ASSERT_EQ(::mkdir(given.c_str(), 0700), 0);
                }
            }
            args.insert(args.end(), {"-f", given});
        }
        std::string line = row.message;
        if (line.find("%s") != std::string::npos)
            line.replace(line.find("%s"), 2, given);
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        if (row.name == std::string("nothing in the store"))
            ClearStore();
        kstest::ProcessResult r = Run({kModule + row.fault}, args);
        EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
        EXPECT_TRUE(Has(r.err, line)) << r.err;
        EXPECT_FALSE(Has(r.out, "Update time")) << r.out;
        EXPECT_EQ(state.Value("link-starts") > 0, row.contacted);
        EXPECT_TRUE(state.loader.empty());
        EXPECT_TRUE(state.running.empty());
        if (row.name == std::string("nothing in the store")) {
            EXPECT_TRUE(Snapshot(StoreRoot()).empty());
            StoreModule(kSerial, "CREATED_TIME=x\nLATEST_TRANSFER=/old.bird\n",
                        {{1000, good.File()}});
        } else {
            ExpectStoreAsBefore(before);
        }
    }
}

// The module fails the transfer: the update ends with the time line, one line
// that names the step and what the module answered (without -X), where the
// module stands, exit status 1, and the store untouched. (The fault matrix,
// update_fault_cli_test, checks the module's bytes for each.)
TEST_F(UpdateOverUsb, TransferFaultsSayTheStepAndLeaveTheStore) {
    struct Row {
        const char* fault;
        const char* counter; // the simulator's count of it
        const char* line;
    };
    const Row rows[] = {
        {"data-wrong=always", "data-wrong",
         "Transferring loader block 1 of 1: DATA given up: the module miscounted the same packet "
         "6 times"},
        {"sum-off", "sum-off", "Transferring loader block 1 of 1: SUM mismatch: the module summed"},
        {"prepare-error=5", "prepare-error",
         "Transferring loader block 1 of 1: PREPARE refused by the module (status 5)"},
        {"write-error=3", "write-error",
         "Transferring firmware block 1 of 1: WRITE refused by the module (status 3)"},
        {"portion=0", "portion-zero",
         "Transferring firmware block 1 of 1: the module's loader asked for portions of 0 bytes"},
        {"vanish-at=300", "vanish", "Transferring firmware block 1 of 1: "},
    };
    const Firmware fw = MakeFirmware(kSerial, 1000);
    StoreModule(kSerial, "CREATED_TIME=x\nLATEST_DOWNLOAD=1234.bird\n", {{1234, fw.File()}});
    const std::map<std::string, std::string> before = Snapshot(StoreRoot());
    for (const Row& row : rows) {
        SCOPED_TRACE(row.fault);
        kstest::ProcessResult r =
            Run({kModule + row.fault}, {"-U", "-d", kSerialText, "-u", ClosedUrl()});
        EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
        EXPECT_EQ(Count(r.err, row.line), 1u) << r.err;
        EXPECT_FALSE(Has(r.out + r.err, "NETWORK")) << "no diagnostics without -X";
        EXPECT_TRUE(Has(r.out, "Update time: ")) << r.out;
        EXPECT_GE(state.faults[row.counter], 1u) << "the fault fired";
        EXPECT_TRUE(state.running.empty()) << "no new firmware runs";
        ExpectStoreAsBefore(before);
    }
}

TEST_F(UpdateOverUsb, ShowsProgressOnATerminalAndNothingOfItInAPipe) {
    const Firmware fw = MakeFirmware(kSerial, 3000);
    const std::string path = WriteFile("fw.bird", fw.File());
    kstest::ProcessResult tty =
        Run({kModule}, {"-U", "-d", kSerialText, "-f", path}, "u", /*onPty=*/true);
    EXPECT_EQ(tty.exitStatus, 0) << tty.out;
    EXPECT_TRUE(Has(tty.out, "\r[=")) << "the bar grows";
    EXPECT_TRUE(Has(tty.out, "(100% ) ")) << "and ends full";
    EXPECT_TRUE(Has(tty.out, "\r (Verifying Update) .")) << "the spinner turns after REBOOT";
    ExpectWritten(fw, fw.image);

    kstest::ProcessResult pipe = Run({kModule}, {"-U", "-d", kSerialText, "-f", path});
    EXPECT_EQ(pipe.exitStatus, 0) << pipe.out;
    EXPECT_FALSE(Has(pipe.out, "\r")) << "no bar, no spinner, no clearing";
    EXPECT_FALSE(Has(pipe.out, "Verifying Update"));
    EXPECT_TRUE(Has(pipe.out, "Transferred 1 blocks, 3004 total bytes"));
}
