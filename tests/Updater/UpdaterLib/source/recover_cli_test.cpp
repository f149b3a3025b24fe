// -N and -U -t RECOVER end to end: the real Updater binary against a dead
// module of the simulator bench (its LPC chip in ISP mode on a pty) and the
// simulated update server on loopback. What the chip's flash holds afterwards
// is compared byte for byte with the decoded image of the BIRD file.
#include <gtest/gtest.h>
#include <pwd.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "birdsim/birdwriter.h"
#include "bytes.h"
#include "modsim/Bench.h"
#include "process.h"
#include "tempdir.h"
#include "updateserver_harness.h"
#include "wait.h"

namespace {

const uint32_t UID[4] = {0x1234ABCD, 0x00000002, 0x00000003, 0xDEADBEEF};
const char* const FINGERPRINT = "[ 1234ABCD 00000002 00000003 DEADBEEF ]";
const char* const SERIAL = "40F5849A";
const unsigned BUILD = 1234;

struct Image {
    uint32_t address;
    kstest::Bytes bytes;
};

// An image with the module's descriptor inside, so that the module reports
// its build once it runs it, and a valid vector checksum, so that the chip
// starts it from address 0.
kstest::Bytes Firmware(size_t n, unsigned seed = 3) {
    kstest::Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = uint8_t(i * 131 + seed * 17 + (i >> 10));
    std::string descriptor = "1234            2.0.5           40F5849A        KS-TEST-MODULE-1";
    if (n >= 0x200 + descriptor.size())
        std::copy(descriptor.begin(), descriptor.end(), b.begin() + 0x200);
    birdwriter::SetVectorChecksum(b);
    return b;
}

// A BIRD file of the images, scrambled for the chip's identifier.
std::string Bird(const std::vector<Image>& images, bool serialOffsets = false) {
    birdwriter::Description d;
    for (const Image& i : images)
        d.blocks.push_back(birdwriter::ImageBlock(birdwriter::kFirmware, 0, i.address, i.bytes));
    d.blocks.push_back(birdwriter::DescriptorBlock(BUILD, "2.0.5", 0x40F5849A, "KS-TEST"));
    if (serialOffsets)
        d.blocks.push_back(birdwriter::SerialOffsetsBlock(0x200, 0x300));
    d.scrambleKey = std::vector<uint32_t>(UID, UID + 4);
    birdwriter::Bytes bytes = birdwriter::BuildFile(d);
    return std::string(bytes.begin(), bytes.end());
}

// The store of the Updater runs: under the home directory of the password
// database, which the test runner replaces with a private one.
std::string StoreDir() {
    const passwd* pw = getpwuid(getuid());
    return std::string(pw ? pw->pw_dir : "/nonexistent") + "/.quillmar/updater";
}

// Every file and directory below path with its size, one line each.
std::string Listing(const std::string& path) {
    std::string all;
    for (auto& e : std::filesystem::recursive_directory_iterator(
             path, std::filesystem::directory_options::skip_permission_denied)) {
        all += e.path().string();
        if (e.is_regular_file())
            all += " " + std::to_string(e.file_size());
        all += "\n";
    }
    return all;
}

class Recover : public ::testing::Test {
  protected:
    // The dead module, with extra bench keys (faults, timing).
    void StartBench(const std::string& keys = "lpc-timing=none") {
        modsim::BenchConfig cfg;
        std::string err;
        ASSERT_TRUE(modsim::parseBench("module d serial=40F5849A model=17 address=4 "
                                       "uid=1234ABCD,2,3,DEADBEEF pty lpc-rom " +
                                           keys + "\n",
                                       cfg, err))
            << err;
        ASSERT_TRUE(bench.start(cfg, err)) << err;
        pty = bench.ptyPath("d");
    }
    void StartServer(const std::string& birdBytes) {
        updtest::AddModule(content.path(), SERIAL, std::to_string(BUILD), "fw-1");
        updtest::AddBuild(content.path(), SERIAL, BUILD, "2.0.5", birdBytes);
        kstest::WriteFile(content.sub("recovery"), "1234ABCD 00000002 00000003 DEADBEEF 40F5849A " +
                                                       std::to_string(BUILD) + "\n");
        server = std::make_unique<updtest::SimServer>(content.path());
        ASSERT_TRUE(server->running());
    }
    kstest::ProcessResult Run(std::vector<std::string> args, bool onPty = false) {
        args.insert(args.begin(), kstest::UpdaterPath());
        kstest::RunOptions o;
        o.timeoutMs = 60000;
        o.onPty = onPty;
        kstest::ProcessResult r = kstest::RunProcess(args, o);
        EXPECT_FALSE(r.timedOut) << "the Updater did not end";
        return r;
    }
    std::string ServerUrl() { return server ? server->url() : "http://127.0.0.1:9/cgi/u"; }
    kstest::Bytes Flash(uint32_t address, size_t n) {
        lpcrom::ChipState st = bench.lpcState("d");
        return kstest::Bytes(st.flash.begin() + address, st.flash.begin() + address + long(n));
    }
    bool Erased(uint32_t address, size_t n) { return Flash(address, n) == kstest::Bytes(n, 0xFF); }
    size_t CommandsStartingWith(char letter) {
        size_t n = 0;
        for (const std::string& c : bench.lpcState("d").commands)
            n += !c.empty() && c[0] == letter;
        return n;
    }

    kstest::TempDir dir{"ks-recover"};
    kstest::TempDir content{"ks-recover-server"};
    std::unique_ptr<updtest::SimServer> server;
    modsim::Bench bench;
    std::string pty;
};

// -N reads the identifier and nothing else: no request, no store entry.
TEST_F(Recover, FingerprintPrintsTheIdentifierAndTouchesNothingElse) {
    StartBench();
    StartServer(Bird({{0, Firmware(4096)}}));
    std::filesystem::create_directories(StoreDir());
    std::string before = Listing(StoreDir());
    // The second finds the chip synchronised; the third opens the port at
    // another rate, at which the chip autobauds anew.
    for (const char* rate : {"115200", "115200", "57600"}) {
        kstest::ProcessResult r = Run({"-N", "-s", pty, "-u", ServerUrl(), "-o", rate});
        EXPECT_EQ(r.exitStatus, 0) << r.err;
        EXPECT_EQ(r.out, "Updater (Version: 1.1 Apr 26 2023)\n" + std::string(FINGERPRINT) + "\n");
        EXPECT_EQ(r.err, "");
    }
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_EQ(Listing(StoreDir()), before);
    EXPECT_FALSE(bench.lpcState("d").unlocked);
    EXPECT_EQ(bench.lpcState("d").rate, 57600u);
    EXPECT_TRUE(Erased(0, lpcrom::kFlashSize));
}

// The whole story on one bench, with the chip's real erase and programming
// times: the server names the build by fingerprint, the build lands in the
// store, the descrambled image goes into the flash in 4096-byte chunks with
// progress, the chip starts it at 0 and the module runs it.
TEST_F(Recover, RecoversThroughTheServerAndTheModuleRunsTheImage) {
    StartBench("");
    kstest::Bytes image = Firmware(10000);
    std::string bird = Bird({{0, image}});
    StartServer(bird);
    ASSERT_FALSE(bench.state("d").present);

    kstest::ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", pty, "-u", ServerUrl()}, true);
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Recovering firmware with build: 1234"), std::string::npos) << r.out;
    EXPECT_NE(r.out.find("Transferring firmware block 1 of 1, 10000 bytes"), std::string::npos)
        << r.out;
    // Sector 0 goes last: 4096, then 1808, then the first 4096 bytes.
    for (const char* percent : {"( 40% )", "( 59% )", "(100% )"})
        EXPECT_NE(r.out.find(percent), std::string::npos) << percent << "\n" << r.out;
    EXPECT_NE(r.out.find("Transferred 1 blocks, 10000 total bytes"), std::string::npos);
    EXPECT_NE(r.out.find("Rebooting Device"), std::string::npos);
    EXPECT_NE(r.out.find("Update time: "), std::string::npos);

    std::vector<std::string> targets = server->Targets();
    ASSERT_FALSE(targets.empty());
    EXPECT_NE(targets[0].find("fp=1234ABCD%2000000002%2000000003%20DEADBEEF&op=fix&"),
              std::string::npos)
        << targets[0];
    std::string stored;
    ASSERT_TRUE(kstest::ReadFile(StoreDir() + "/40F5849A/1234.bird", stored));
    EXPECT_BYTES(bird, stored);

    EXPECT_BYTES(image, Flash(0, image.size()));
    EXPECT_TRUE(Erased(12288, lpcrom::kFlashSize - 12288));
    lpcrom::ChipState chip = bench.lpcState("d");
    std::vector<std::string> writes;
    for (const std::string& c : chip.commands)
        if (c[0] == 'W' || c[0] == 'C')
            writes.push_back(c);
    std::vector<std::string> expected = {"W 268439552 4096", "C 4096 268439552 4096",
                                         "W 268439552 1808", "C 8192 268439552 4096",
                                         "W 268439552 4096", "C 0 268439552 4096"};
    EXPECT_EQ(writes, expected);
    // Every chunk is compared on the chip; sector 0 from byte 512, past the
    // boot ROM that covers its bottom in ISP mode.
    std::vector<std::string> compares;
    for (const std::string& c : chip.commands)
        if (c[0] == 'M')
            compares.push_back(c);
    EXPECT_EQ(compares, (std::vector<std::string>{"M 4096 268439552 4096", "M 8192 268439552 1808",
                                                  "M 512 268440064 3584"}));
    EXPECT_EQ(chip.erasedSectors, 30u);
    EXPECT_GE(chip.busyUs, 100000u);
    EXPECT_EQ(chip.startAddress, 0u);

    ASSERT_TRUE(bench.waitFor(
        "d", [](const modsim::ModuleState& s) { return s.present; }, 5000));
    modsim::ModuleState module = bench.state("d");
    EXPECT_EQ(module.build, BUILD);
    EXPECT_EQ(module.version, 0x20000005u);
    ASSERT_EQ(module.runningFirmware.size(), 1u);
    EXPECT_BYTES(image, kstest::Bytes(module.runningFirmware[0].data.begin(),
                                      module.runningFirmware[0].data.begin() + long(image.size())));
    // The chip left ISP mode: nothing answers a fingerprint any more.
    kstest::ProcessResult again = Run({"-N", "-s", pty});
    EXPECT_EQ(again.exitStatus, 1);
    EXPECT_NE(again.err.find("Got no response from chip"), std::string::npos);
}

// A file named with -f; several blocks, a 4-byte image ending the list (at
// the end of a file, as usual, and in its middle); -o picks the rate of the
// whole recovery, fingerprint included.
TEST_F(Recover, WritesTheBlocksOfAFileUpToAFourByteImage) {
    StartBench();
    std::filesystem::create_directories(StoreDir());
    std::string before = Listing(StoreDir());
    kstest::Bytes a = Firmware(8192, 1), b = Firmware(600, 2), c = Firmware(4096, 4);
    std::string path = dir.write("r.bird", Bird({{0, a}, {0x10000, c}, {0x20000, {1, 2, 3, 4}}}));
    kstest::ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", pty, "-f", path});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Transferring firmware block 2 of 2, 4096 bytes"), std::string::npos);
    EXPECT_NE(r.out.find("Transferred 2 blocks, 12288 total bytes"), std::string::npos) << r.out;

    StartBench();
    path = dir.write("r.bird", Bird({{0, a},
                                     {0x2D00, b}, // its copy reaches into sector 3
                                     {0x10000, Firmware(4096, 5)},
                                     {0x20000, {1, 2, 3, 4}},
                                     {0x30000, c}}));
    r = Run({"-U", "-t", "RECOVER", "-s", pty, "-f", path, "-o", "57600"});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_NE(r.out.find("Recovering from Birdfile: " + path), std::string::npos);
    EXPECT_NE(r.out.find("Transferring firmware block 3 of 3, 4096 bytes"), std::string::npos);
    EXPECT_NE(r.out.find("Transferred 3 blocks, 12888 total bytes"), std::string::npos) << r.out;
    EXPECT_EQ(r.out.find("block 4 of"), std::string::npos);
    EXPECT_BYTES(a, Flash(0, a.size()));
    EXPECT_BYTES(b, Flash(0x2D00, b.size()));
    EXPECT_BYTES(Firmware(4096, 5), Flash(0x10000, 4096));
    EXPECT_TRUE(Erased(0x20000, lpcrom::kFlashSize - 0x20000));
    EXPECT_EQ(bench.lpcState("d").rate, 57600u);
    EXPECT_EQ(bench.lpcState("d").rateMismatches, 0u);
    EXPECT_EQ(Listing(StoreDir()), before);
}

// Files the bootloader cannot write are refused before anything is erased.
TEST_F(Recover, RefusesImagesItCannotWriteWithoutErasing) {
    StartBench();
    struct {
        std::string bird, message;
    } cases[] = {
        {Bird({{0, Firmware(4096)}}, true), "Updater does not support offline recovery"},
        {Bird({{0, Firmware(4094)}}), "Firmware block 1 is 4094 bytes long, not a multiple of 4"},
        {Bird({{0, Firmware(4096)}, {0x7F000, Firmware(8192)}}),
         "Firmware block 2 (8192 bytes at 0x0007F000) does not fit the chip's flash"},
        {Bird({{0x100, Firmware(1024)}, {0x10010, Firmware(256)}}),
         "Firmware block 2 (256 bytes at 0x00010010) does not fit"},
        {Bird({{0, {9, 9, 9, 9}}, {0x1000, Firmware(256)}}),
         "The BIRD file holds no firmware to write. Nothing was erased."},
    };
    for (auto& c : cases) {
        std::string path = dir.write("bad.bird", c.bird);
        kstest::ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", pty, "-f", path});
        EXPECT_EQ(r.exitStatus, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    }
    EXPECT_EQ(CommandsStartingWith('E'), 0u);
    EXPECT_EQ(CommandsStartingWith('W'), 0u);
    EXPECT_FALSE(bench.lpcState("d").unlocked);
}

// Each fault of the chip ends the run with a clear message and exit 1 in
// bounded time, or is ridden out (one corrupted line, slow answers).
TEST_F(Recover, ChipFaultsEndWithAClearErrorOrAreRiddenOut) {
    struct {
        const char* keys;
        int status;
        const char* message;
    } cases[] = {
        {"lpc-corrupt-line=30", 0, "Rebooting Device"},
        {"lpc-slow-ms=40", 0, "Rebooting Device"},
        {"lpc-corrupt-from=100", 1,
         "Writing 4096 bytes for flash address 0x00000000 into the chip's RAM failed: the chip "
         "kept asking for the data again"},
        {"lpc-error=E:11", 1, "Could not erase the chip's flash: the chip answered BUSY"},
        {"lpc-error=U:16", 1, "Could not unlock the chip's flash: the chip answered INVALID_CODE"},
        {"lpc-error=C:9", 1,
         "Copying 4096 bytes to flash address 0x00001000 failed: the chip answered "
         "SECTOR_NOT_PREPARED_FOR_WRITE_OPERATION"},
        {"lpc-bad-copy=2", 1,
         "The flash at 0x00000000 differs from the image after writing (first difference at "
         "0x00000800): the module is not recovered"},
        {"lpc-vanish-at=5000", 1,
         "Writing 4096 bytes for flash address 0x00000000 into the chip's RAM failed: the chip "
         "did not answer"},
        // The line chatters instead of echoing the unlock command: the echo
        // and the answer are each given up after their bound.
        {"lpc-chatter=U", 1,
         "Could not unlock the chip's flash: the line kept bringing bytes that are no answer"},
        {"lpc-slow-ms=400", 1, "Could not get Device Identifier"},
        {"lpc-mute", 1, "Could not get Device Identifier"},
    };
    std::string path = dir.write("r.bird", Bird({{0, Firmware(8192)}}));
    for (auto& c : cases) {
        SCOPED_TRACE(c.keys);
        bench.stop();
        StartBench(std::string("lpc-timing=none ") + c.keys);
        kstest::ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", pty, "-f", path});
        EXPECT_EQ(r.exitStatus, c.status) << r.out << r.err;
        EXPECT_NE((r.out + r.err).find(c.message), std::string::npos) << r.out << r.err;
        if (c.status == 0)
            EXPECT_BYTES(Firmware(8192), Flash(0, 8192));
        else
            EXPECT_EQ(r.out.find("Rebooting Device"), std::string::npos);
    }
}

// Interrupted or refused recoveries never leave a chip that boots a
// fragment, and a second run finishes without a reset of the chip. Each row:
// how the first run ends (a fault of the chip, or a signal once the chip is
// in the data phase of its third RAM write), its exit status and the user's
// line (no -X); then the chip is restarted (power cycle) where the row says
// so, must still sit in ISP mode, and a second run with the fault gone must
// leave the image in the flash byte for byte and the module running it.
TEST_F(Recover, InterruptedOrRefusedRecoveriesLeaveAChipARerunFinishes) {
    struct Row {
        const char* name;
        const char* keys; // faults of the first run
        int signal;       // sent during the third RAM write; 0: none
        int status;
        const char* message;
        bool restart; // power-cycle the chip before the rerun
    } rows[] = {
        // Under the old order sector 0 (a valid vector checksum) was in the
        // flash by then: the restart would have run a fragment.
        {"silent after two chunks", "lpc-vanish-at=5000", 0, 1,
         "Writing 1808 bytes for flash address 0x00002000 into the chip's RAM failed: the chip did "
         "not answer\nThe chip stays in ISP mode: its flash holds no image it would start; run the "
         "same command again",
         true},
        {"SIGINT during a W", "", SIGINT, 128 + SIGINT,
         "Recovery stopped on request after 5904 of 10000 bytes: the chip waits in ISP mode with "
         "no image it would start; run the same command again to finish",
         false},
        {"SIGTERM during a W", "", SIGTERM, 128 + SIGTERM, "Recovery stopped on request after 5904",
         true},
        {"G refused", "lpc-error=G:14", 0, 1,
         "The flash holds the image but the chip did not start it: the chip answered "
         "ADDR_NOT_MAPPED to \"G 0 T\"; it is still in ISP mode (reset it to start the image)",
         false},
        {"A refused", "lpc-error=A:12", 0, 1,
         "The flash holds the image but the chip did not start it: the chip answered PARAM_ERROR "
         "to \"A 1\"; it is still in ISP mode",
         false},
    };
    const kstest::Bytes image = Firmware(10000);
    const std::string path = dir.write("r.bird", Bird({{0, image}}));
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        bench.stop();
        StartBench(std::string("lpc-timing=none lpc-slow-ms=2 ") + row.keys);
        std::vector<std::string> args = {
            kstest::UpdaterPath(), "-U", "-t", "RECOVER", "-s", pty, "-f", path};
        int status;
        std::string said;
        if (row.signal != 0) {
            kstest::Process run;
            ASSERT_TRUE(run.start(args));
            ASSERT_TRUE(kstest::WaitUntil(
                [&] {
                    lpcrom::ChipState st = bench.lpcState("d");
                    return st.copies == 2 && st.phase == lpcrom::Phase::WriteData;
                },
                20000));
            status = run.stop(row.signal, 20000);
            said = run.output();
        } else {
            kstest::ProcessResult r = Run({"-U", "-t", "RECOVER", "-s", pty, "-f", path});
            status = r.exitStatus;
            said = r.out + r.err;
        }
        EXPECT_EQ(status, row.status) << said;
        EXPECT_NE(said.find(row.message), std::string::npos) << said;
        EXPECT_EQ(said.find("Rebooting Device"), std::string::npos) << said;
        lpcrom::ChipState chip = bench.lpcState("d");
        EXPECT_NE(chip.phase, lpcrom::Phase::WriteData) << "the W in flight was finished";
        if (row.restart)
            bench.lpcRestart("d");
        chip = bench.lpcState("d");
        EXPECT_NE(chip.phase, lpcrom::Phase::Running) << "a fragment would run";
        EXPECT_FALSE(bench.state("d").present);

        bench.setLpcFaults("d", lpcrom::Faults());
        kstest::ProcessResult again = Run({"-U", "-t", "RECOVER", "-s", pty, "-f", path});
        EXPECT_EQ(again.exitStatus, 0) << again.out << again.err;
        EXPECT_EQ(again.err, "");
        EXPECT_BYTES(image, Flash(0, image.size()));
        EXPECT_TRUE(Erased(0x3000, lpcrom::kFlashSize - 0x3000));
        EXPECT_TRUE(bench.waitFor(
            "d", [](const modsim::ModuleState& s) { return s.present; }, 5000));
    }
}

// A chip left in the data phase of a RAM write by a run that was killed
// outright answers no command: -N and the recovery say so and what to do,
// and after a reset into ISP mode a recovery finishes.
TEST_F(Recover, AChipStuckInARamWriteIsNamedAndRecoversAfterAReset) {
    StartBench("lpc-timing=none lpc-slow-ms=2");
    const kstest::Bytes image = Firmware(10000);
    const std::string path = dir.write("r.bird", Bird({{0, image}}));
    kstest::Process run;
    ASSERT_TRUE(run.start({kstest::UpdaterPath(), "-U", "-t", "RECOVER", "-s", pty, "-f", path}));
    ASSERT_TRUE(kstest::WaitUntil(
        [&] {
            lpcrom::ChipState st = bench.lpcState("d");
            return st.copies == 1 && st.phase == lpcrom::Phase::WriteData;
        },
        20000));
    run.stop(SIGKILL);
    // What the killed run had written is still on its way to the chip: the
    // chip takes it in first, as it would on a wire, before another run
    // starts.
    uint64_t seen = 0;
    ASSERT_TRUE(kstest::WaitUntil(
        [&] {
            uint64_t now = bench.lpcState("d").bytesIn;
            bool settled = now == seen;
            seen = now;
            return settled;
        },
        5000, 300));
    const std::string stuck =
        "is stuck in the middle of a RAM write (an earlier run was killed)\nReset the chip into "
        "ISP mode (hold ISP low while you reset or power it), then run the command again";
    kstest::ProcessResult r = Run({"-N", "-s", pty});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err, "Got no response from chip: the LPC chip on " + pty + " " + stuck + "\n");
    r = Run({"-U", "-t", "RECOVER", "-s", pty, "-f", path});
    EXPECT_EQ(r.exitStatus, 1);
    EXPECT_EQ(r.err,
              "Could not get Device Identifier: the LPC chip on " + pty + " " + stuck + "\n");
    bench.lpcRestart("d");
    EXPECT_NE(bench.lpcState("d").phase, lpcrom::Phase::Running);
    r = Run({"-U", "-t", "RECOVER", "-s", pty, "-f", path});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_BYTES(image, Flash(0, image.size()));
}

// A fingerprint the server does not know, or a server that cannot be
// reached: the recovery stops before the chip's flash is unlocked, also when
// the serial number was given with -d (the server still names no build).
TEST_F(Recover, UnknownFingerprintStopsBeforeAnythingIsErased) {
    StartBench();
    StartServer(Bird({{0, Firmware(4096)}}));
    kstest::WriteFile(content.sub("recovery"), "1 2 3 4 40F5849A 1234\n");
    const std::string unknown =
        "Failed to retreive recovery information from Quillmar update server\n";
    for (const std::string& url : {ServerUrl(), std::string("http://127.0.0.1:9/cgi/u")}) {
        for (const std::vector<std::string>& more :
             {std::vector<std::string>{}, std::vector<std::string>{"-d", SERIAL}}) {
            std::vector<std::string> args = {"-U", "-t", "RECOVER", "-s", pty, "-u", url};
            args.insert(args.end(), more.begin(), more.end());
            kstest::ProcessResult r = Run(args);
            EXPECT_EQ(r.exitStatus, 1) << url;
            if (more.empty())
                EXPECT_NE(r.err.find(unknown), std::string::npos) << r.err;
            else
                EXPECT_EQ(r.err, unknown) << url;
        }
    }
    EXPECT_FALSE(bench.lpcState("d").unlocked);
    EXPECT_EQ(CommandsStartingWith('E'), 0u);
}

// A port where nothing answers, one that does not exist and one the user may
// not open: -N says which,
// gives up within seconds and touches neither the update server nor the
// store.
TEST_F(Recover, SilentOrMissingPortEndsFingerprintQuicklyTouchingNothing) {
    StartBench("lpc-mute");
    StartServer(Bird({{0, Firmware(4096)}}));
    std::filesystem::create_directories(StoreDir());
    std::string before = Listing(StoreDir());
    const std::string missing = dir.sub("no-such-tty");
    struct {
        std::string port, err;
    } rows[] = {
        {pty, "Got no response from chip: neither an LPC boot ROM nor an i.MX ROM answered on " +
                  pty + "\n"},
        {missing,
         "Got no response from chip: cannot open " + missing + ": No such file or directory\n"},
    };
    for (auto& row : rows) {
        kstest::ProcessResult r = Run({"-N", "-s", row.port, "-u", ServerUrl()});
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, row.err);
        EXPECT_LT(r.seconds, 5.0);
    }
    // A port this user may not open: uid 4242 (no password entry, so HOME,
    // a scratch directory, is its home), without the groups of the port.
    if (geteuid() == 0) {
        ASSERT_EQ(::chmod(pty.c_str(), 0600), 0);
        kstest::TempDir home("ks-home");
        ASSERT_EQ(::chmod(home.path().c_str(), 0777), 0);
        kstest::ProcessResult r = kstest::RunProcess(
            {"/usr/bin/setpriv", "--reuid=4242", "--regid=4242", "--clear-groups", "/usr/bin/env",
             "HOME=" + home.path(), kstest::UpdaterPath(), "-N", "-s", pty, "-u", ServerUrl()},
            60000);
        EXPECT_EQ(r.exitStatus, 1);
        EXPECT_EQ(r.err, "Got no response from chip: cannot open " + pty +
                             ": permission denied (add your user to the group that owns the "
                             "serial port, usually dialout, then log in again)\n");
    } else {
        std::printf("the port a user may not open: skipped, needs root to run as another user\n");
    }
    EXPECT_TRUE(server->Requests().empty());
    EXPECT_EQ(Listing(StoreDir()), before);
}

} // namespace
