// -N and -U -t RECOVER for i.MX chips end to end: the real Updater binary as
// the child of keystrand-sim, whose dead module sits in its i.MX ROM (USB HID
// on the emulated bus, or a pty paced at 115200 baud), with the simulated
// update server on loopback. The loader images the ROM received and the
// firmware the live loader received are compared byte for byte with the BIRD
// files' blocks; afterwards the module runs the new firmware under its own
// serial number. One case (Slow*) waits out the product's own bound: 15
// looks, about a second apart, for a live loader that never comes up.
#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

#include "birdsim/birdwriter.h"
#include "update_cli_support.h"
#include "updateserver_harness.h"

using namespace updcli;

namespace {

const char* const kDefaultSerial = "DEADDEAD";
const char* const kSerialText = "40F5849A";
const unsigned kDefaultBuild = 100, kBuild = 1234;
const std::string kDead = "d serial=40F5849A model=17 address=4 restart-ms=100 "
                          "uid=0000A0A1,B2B2B2B2,C3C3C3C3,D4D4D4D4 ";
// Subindex 0 of option 39 comes last.
const char* const kFingerprint = "[ D4D4D4D4 C3C3C3C3 B2B2B2B2 0000A0A1 ]";
const char* const kBanner = "Updater (Version: 1.1 Apr 26 2023)\n";

struct Image {
    uint32_t address;
    Bytes bytes;
};

Bytes Pattern(size_t n, unsigned seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 131 + seed * 17 + (i >> 9));
    return b;
}

// A firmware image that names build 1234, version 2.0.5 in its descriptor,
// so that the module reports them once it runs the image.
Bytes ModuleImage(size_t n, unsigned seed) {
    Bytes b = Pattern(n, seed);
    const std::string descriptor =
        "1234            2.0.5           40F5849A        KS-TEST-MODULE-1";
    std::copy(descriptor.begin(), descriptor.end(), b.begin() + 0x200);
    return b;
}

// A BIRD file of loader and firmware images; startAddress 0: no block.
std::string Bird(const std::vector<Image>& loaders, const std::vector<Image>& firmware,
                 uint32_t startAddress, uint32_t serial) {
    using namespace birdwriter;
    Description d;
    for (const Image& i : loaders)
        d.blocks.push_back(ImageBlock(kLoader, 1, i.address, i.bytes));
    for (const Image& i : firmware)
        d.blocks.push_back(ImageBlock(kFirmware, 2, i.address, i.bytes));
    d.blocks.push_back(DescriptorBlock(kBuild, "2.0.5", serial, "Tessera"));
    if (startAddress != 0)
        d.blocks.push_back(StartAddressBlock(startAddress));
    birdwriter::Bytes file = BuildFile(d);
    return std::string(file.begin(), file.end());
}

// The server's default recovery image: a live loader of two blocks that
// starts at its own address.
const std::vector<Image> kDefaultLoader = {{0x20000400, Pattern(5000, 1)},
                                           {0x20010000, Pattern(700, 2)}};
const uint32_t kDefaultStart = 0x20000800;
const std::string kDefaultImage = Bird(kDefaultLoader, {}, kDefaultStart, 0xDEADDEAD);
// The module's build 1234, found by fingerprint.
const std::vector<Image> kFirmware = {{0x60002000, ModuleImage(3000, 3)},
                                      {0x60010000, Pattern(900, 4)}};
const std::string kModuleBuild = Bird({{0x20000400, Pattern(300, 5)}}, kFirmware, 0, 0x40F5849A);

class RecoverImx : public UpdateCliTest {
  protected:
    // The dump waits for a live loader's reset (or reboot) to end.
    RecoverImx() : UpdateCliTest(false) { settleMs = 3000; }

    // The update server knows the default recovery image, the module's
    // build and its fingerprint.
    void StartServer() {
        updtest::AddModule(content.path(), kDefaultSerial, std::to_string(kDefaultBuild), "live");
        updtest::AddBuild(content.path(), kDefaultSerial, kDefaultBuild, "1.0.0", kDefaultImage);
        updtest::AddModule(content.path(), kSerialText, std::to_string(kBuild), "fw-1");
        updtest::AddBuild(content.path(), kSerialText, kBuild, "2.0.5", kModuleBuild);
        kstest::WriteFile(content.sub("recovery"),
                          "D4D4D4D4 C3C3C3C3 B2B2B2B2 0000A0A1 40F5849A 1234\n");
        server = std::make_unique<updtest::SimServer>(content.path());
        ASSERT_TRUE(server->running());
    }
    std::string Url() const {
        return server ? server->url()
                      : "http://127.0.0.1:" + std::to_string(kstest::ClosedPort()) + "/cgi/u";
    }
    kstest::ProcessResult RunDead(const std::string& keys, const std::vector<std::string>& args) {
        return Run({kDead + keys}, args, "d");
    }
    // What the ROM received and where it jumped.
    void ExpectLoaded(const std::vector<Image>& loaders, uint32_t start) {
        ASSERT_EQ(state.rom.size(), loaders.size());
        for (size_t i = 0; i < loaders.size(); ++i) {
            SCOPED_TRACE("loader block " + std::to_string(i));
            EXPECT_EQ(state.rom[i].address, loaders[i].address);
            EXPECT_BYTES(loaders[i].bytes, state.rom[i].data);
        }
        EXPECT_EQ(std::stoul(state.values["rom-jump-address"], nullptr, 16), start);
    }
    // The banner after the simulator's lines, the fingerprint as the last
    // line (a USB link closed after the module left may say so in between).
    void ExpectFingerprint(const kstest::ProcessResult& r) {
        EXPECT_TRUE(Has(r.out, std::string("ready\n") + kBanner)) << r.out;
        const std::string last = std::string(kFingerprint) + "\n";
        EXPECT_TRUE(r.out.size() >= last.size() &&
                    r.out.compare(r.out.size() - last.size(), last.size(), last) == 0)
            << r.out;
    }
    // The ROM took no command at all.
    void ExpectRomUntouched() {
        EXPECT_EQ(state.values["rom-commands"], "0");
        EXPECT_TRUE(state.rom.empty());
    }
    std::string RomLink() const { return files.sub("rom"); }

    kstest::TempDir content{"ks-server"};
    std::unique_ptr<updtest::SimServer> server;
};

} // namespace

// The first -N of a chip the store does not know: the default recovery image
// is fetched without a word, its live loader goes through the ROM over HID,
// the identifier is printed and the live loader reset (the chip is back in
// its ROM). The second -N takes the stored image, with the server gone.
TEST_F(RecoverImx, FingerprintOverUsbFetchesTheDefaultImageSilentlyAndResetsTheLiveLoader) {
    StartServer();
    kstest::ProcessResult r =
        RunDead("imx=usb loader-serial=default", {"-N", "-s", "USB", "-u", Url()});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    ExpectFingerprint(r);
    EXPECT_EQ(r.err, "");
    for (const char* quiet : {"Retrieving", "Validating", "Download", "Transferr"})
        EXPECT_FALSE(Has(r.out, quiet)) << r.out;
    ExpectLoaded(kDefaultLoader, kDefaultStart);
    EXPECT_EQ(state.values["rom-boots"], "2") << "the reset brought the chip back to its ROM";
    EXPECT_EQ(state.values["mode"], "rom");
    EXPECT_TRUE(state.firmware.empty());
    EXPECT_BYTES(kDefaultImage, kstest::ReadFile(StoreRoot() + "/DEADDEAD/100.bird"));
    EXPECT_EQ(Attributes(0xDEADDEAD)["LATEST_DOWNLOAD"], "100.bird");
    bool fetched = false;
    for (const std::string& target : server->Targets())
        fetched |= Has(target, "op=bird") && Has(target, "sn=DEADDEAD");
    EXPECT_TRUE(fetched);

    const std::map<std::string, std::string> before = Snapshot(StoreRoot());
    server.reset();
    r = RunDead("imx=usb loader-serial=default", {"-N", "-s", "USB", "-u", Url()});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    ExpectFingerprint(r);
    ExpectLoaded(kDefaultLoader, kDefaultStart);
    ExpectStoreAsBefore(before);
}

// Over a serial line the LPC bootloader is asked first: its "?" and its
// resynchronisation land in the ROM's command framing and are dropped after
// the pause. The live loader of tens of kilobytes crosses the line at its
// rate and is confirmed. "usb" in lower case is a serial port's name.
TEST_F(RecoverImx, FingerprintOverASerialLineAfterTheLpcProbe) {
    const std::vector<Image> loader = {{0x20000400, Pattern(48000, 6)}};
    StoreModule(0xDEADDEAD, "LATEST_DOWNLOAD=7.bird\n", {{7, Bird(loader, {}, 0, 0xDEADDEAD)}});
    struct Row {
        const char* name;
        std::string link; // the ROM's pty is there
        std::vector<std::string> launcher;
        std::string port;
    } rows[] = {
        {"a path", RomLink(), {}, RomLink()},
        {"usb in lower case", files.sub("usb"), {"/usr/bin/env", "-C", files.path()}, "usb"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        launcher = row.launcher;
        kstest::ProcessResult r =
            RunDead("imx=pty rom-baud=115200 loader-serial=default rom-link=" + row.link,
                    {"-N", "-s", row.port, "-u", Url()});
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        ExpectFingerprint(r);
        EXPECT_GE(std::stoul(state.values["rom-dropped-partials"]), 1u) << "the LPC probe";
        ExpectLoaded(loader, 0x20000400);
        EXPECT_EQ(state.values["rom-boots"], "2");
    }
}

// The whole recovery, each way in: the ROM gets the live loader (the
// server's default image, or the file named with the module's serial
// number), the live loader the firmware blocks of the module's build, and
// the module then runs them under its own serial number.
TEST_F(RecoverImx, RecoversThroughTheRomAndTheLiveLoader) {
    StartServer();
    const std::vector<Image> ownLoader = {{0x20000400, Pattern(2500, 8)}};
    const std::string file = WriteFile("own.bird", Bird(ownLoader, kFirmware, 0, 0x40F5849A));
    struct Row {
        const char* name;
        std::string keys;
        std::vector<std::string> args;
        std::vector<Image> loaders;
        uint32_t start;
        bool fromServer;
    } rows[] = {
        {"USB, default image",
         "imx=usb loader-serial=default",
         {"-s", "USB", "-u", Url()},
         kDefaultLoader,
         kDefaultStart,
         true},
        {"serial line, default image",
         "imx=pty loader-serial=default rom-link=" + RomLink(),
         {"-s", RomLink(), "-u", Url()},
         kDefaultLoader,
         kDefaultStart,
         true},
        // The ROM's answers to ERROR_STATUS come 250 ms late: still the
        // answers to those commands, not an error in the data phase.
        {"USB, late status answers",
         "imx=usb loader-serial=default rom-late-status-ms=250",
         {"-s", "USB", "-u", Url()},
         kDefaultLoader,
         kDefaultStart,
         true},
        {"serial line, late status answers",
         "imx=pty loader-serial=default rom-late-status-ms=250 rom-link=" + RomLink(),
         {"-s", RomLink(), "-u", Url()},
         kDefaultLoader,
         kDefaultStart,
         true},
        // The live loader is on USB at once but answers 1.5 s later.
        {"USB, a live loader that enumerates before it answers",
         "imx=usb loader-serial=default deaf-ms=1500",
         {"-s", "USB", "-u", Url()},
         kDefaultLoader,
         kDefaultStart,
         true},
        {"USB, a file and the serial number",
         "imx=usb loader-serial=own",
         {"-s", "USB", "-d", kSerialText, "-f", file, "-u", Url()},
         ownLoader,
         0x20000400,
         false},
    };
    // After the recovery, the module is looked for until it answers (bounded).
    launcher = {"/bin/sh", "-c",
                "\"$@\"; s=$?; n=0; while [ $n -lt 100 ]; do d=$(\"$1\" -D -t USB); "
                "case \"$d\" in *40F5849A*) break;; esac; n=$((n+1)); sleep 0.05; done; "
                "echo \"$d\"; exit $s",
                "sh"};
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearStore();
        std::vector<std::string> args = {"-U", "-t", "RECOVER"};
        args.insert(args.end(), row.args.begin(), row.args.end());
        kstest::ProcessResult r = RunDead(row.keys, args);
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        EXPECT_TRUE(Has(r.out, "Transferred 2 blocks, 3908 total bytes")) << r.out;
        EXPECT_TRUE(Has(r.out, "Update time: ")) << r.out;
        ExpectLoaded(row.loaders, row.start);
        ASSERT_EQ(state.firmware.size(), kFirmware.size());
        ASSERT_EQ(state.running.size(), kFirmware.size());
        for (size_t i = 0; i < kFirmware.size(); ++i) {
            EXPECT_EQ(state.firmware[i].address, kFirmware[i].address);
            EXPECT_BYTES(kFirmware[i].bytes, state.firmware[i].data);
            EXPECT_BYTES(kFirmware[i].bytes, state.running[i].data);
        }
        EXPECT_TRUE(Has(r.out, "40F5849A")) << "the module answers under its own serial";
        EXPECT_TRUE(Has(r.out, "2.0.5 (1234)")) << "and runs the new firmware\n" << r.out;
        EXPECT_EQ(state.values["serial"], kSerialText);
        if (row.fromServer) {
            EXPECT_TRUE(Has(r.out, "Recovering firmware with build: 1234")) << r.out;
            EXPECT_BYTES(kDefaultImage, kstest::ReadFile(StoreRoot() + "/DEADDEAD/100.bird"));
            EXPECT_BYTES(kModuleBuild, kstest::ReadFile(StoreRoot() + "/40F5849A/1234.bird"));
        } else {
            EXPECT_TRUE(Has(r.out, "Recovering from Birdfile: " + file)) << r.out;
            EXPECT_TRUE(Snapshot(StoreRoot()).empty()) << "the store is not touched";
        }
    }
}

// A recovery that stopped after the ROM started the live loader (here: the
// update server could not be reached) leaves it running; the next run finds
// it on USB, goes on through it without the ROM, and the module ends up
// with its firmware. The ROM received the live loader once.
TEST_F(RecoverImx, ARerunGoesOnThroughTheLiveLoaderAnInterruptedRunLeft) {
    StartServer();
    StoreModule(0xDEADDEAD, "LATEST_DOWNLOAD=100.bird\n", {{kDefaultBuild, kDefaultImage}});
    const std::string noServer =
        "http://127.0.0.1:" + std::to_string(kstest::ClosedPort()) + "/cgi/u";
    launcher = {"/bin/sh", "-c", "\"$@\"; \"$1\" -U -t RECOVER -s USB -u " + Url(), "sh"};
    kstest::ProcessResult r = RunDead("imx=usb loader-serial=default",
                                      {"-U", "-t", "RECOVER", "-s", "USB", "-u", noServer});
    EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
    EXPECT_EQ(r.err, "Failed to retreive recovery information from Quillmar update server\n");
    EXPECT_TRUE(Has(r.out, "Transferred 2 blocks, 3908 total bytes")) << r.out;
    ExpectLoaded(kDefaultLoader, kDefaultStart);
    EXPECT_EQ(state.values["rom-boots"], "1") << "no reset of the chip in between";
    ASSERT_EQ(state.running.size(), kFirmware.size());
    for (size_t i = 0; i < kFirmware.size(); ++i)
        EXPECT_BYTES(kFirmware[i].bytes, state.running[i].data);
}

// -N and then the recovery, one right after the other: -N reset the live
// loader, and the recovery waits for the chip's ROM to be back on USB, also
// when the chip takes 1.5 s to enumerate in its ROM again.
TEST_F(RecoverImx, FingerprintThenRecoveryInOneGo) {
    StartServer();
    launcher = {"/bin/sh", "-c", "\"$@\" && \"$1\" -U -t RECOVER -s USB -u " + Url(), "sh"};
    for (const char* keys : {"", " rom-return-ms=1500"}) {
        SCOPED_TRACE(keys);
        kstest::ProcessResult r = RunDead(std::string("imx=usb loader-serial=default") + keys,
                                          {"-N", "-s", "USB", "-u", Url()});
        EXPECT_EQ(r.exitStatus, 0) << r.out << r.err;
        EXPECT_TRUE(Has(r.out, std::string(kFingerprint) + "\n" + kBanner)) << r.out;
        EXPECT_TRUE(Has(r.out, "Transferred 2 blocks, 3908 total bytes")) << r.out;
        EXPECT_EQ(state.values["rom-boots"], "2");
        ASSERT_EQ(state.rom.size(), 2 * kDefaultLoader.size()) << "the live loader, twice";
        ASSERT_EQ(state.running.size(), kFirmware.size());
        for (size_t i = 0; i < kFirmware.size(); ++i)
            EXPECT_BYTES(kFirmware[i].bytes, state.running[i].data);
        EXPECT_EQ(state.values["mode"], "firmware");
    }
}

// Each fault of the ROM, the live loader, the files or the server ends the
// command with its one clear message (then the command's own), exit 1, and
// nothing written that should not be.
TEST_F(RecoverImx, FaultsEndWithAClearErrorAndExitOne) {
    StartServer();
    const std::string noLoader =
        WriteFile("firmware-only.bird", Bird({}, kFirmware, 0, 0x40F5849A));
    const std::string emptyLoader =
        WriteFile("empty-loader.bird", Bird({{0x20000400, {}}}, kFirmware, 0, 0x40F5849A));
    const std::string noFirmware =
        WriteFile("loader-only.bird", Bird({{0x20000400, Pattern(900, 9)}}, {}, 0, 0x40F5849A));
    // Firmware without a descriptor of its own: the module then runs
    // whatever build new-build names, not the file's 1234.
    const std::string notTaking =
        WriteFile("no-descriptor.bird", Bird({{0x20000400, Pattern(300, 5)}},
                                             {{0x60002000, Pattern(3000, 3)}}, 0, 0x40F5849A));
    // A live loader that starts with an image header (IVT) but no CSF: not
    // signed.
    Bytes withHeader = Pattern(900, 7);
    const uint8_t ivt[8] = {0xD1, 0x00, 0x20, 0x41, 0x00, 0x04, 0x00, 0x20};
    std::copy(ivt, ivt + 8, withHeader.begin());
    std::fill(withHeader.begin() + 8, withHeader.begin() + 32, 0);
    const std::string unsignedLoader =
        WriteFile("unsigned.bird", Bird({{0x20000400, withHeader}}, kFirmware, 0, 0x40F5849A));
    const std::string refused = "The i.MX ROM on USB refused to start the live loader at ";
    const std::string why = "no image header there, or HAB is closed and the image is not signed";
    const std::string rom = RomLink();
    const std::string none = "no i.MX ROM in serial download mode found on USB (HID device "
                             "1FC9:0130)";
    const std::string noId = "Could not get Device Identifier";
    const std::string noChip = "Got no response from chip";
    struct Row {
        const char* name;
        std::string keys;
        std::vector<std::string> args;
        std::vector<std::string> errors; // standard error, line by line
        bool romUsed;
        std::string settings = ""; // the store's entry for DEADDEAD ("": none)
        bool runs = false;         // new firmware runs afterwards
    } rows[] = {
        {"no ROM on USB", "usb", {"-N", "-s", "USB"}, {noChip + ": " + none}, false},
        {"silent ROM on USB",
         "imx=usb rom-silent",
         {"-U", "-t", "RECOVER", "-s", "USB"},
         {noId + ": the i.MX ROM on USB did not answer"},
         true},
        {"silent ROM on a serial line",
         "imx=pty rom-silent rom-link=" + rom,
         {"-N", "-s", rom},
         {noChip + ": neither an LPC boot ROM nor an i.MX ROM answered on " + rom},
         true},
        {"error report in the data phase, USB",
         "imx=usb rom-error-at=1000",
         {"-U", "-t", "RECOVER", "-s", "USB"},
         {"The i.MX ROM on USB reported an error while receiving loader block 1 (5000 bytes at "
          "0x20000400)",
          noId},
         true},
        {"error report in the data phase, serial line",
         "imx=pty rom-error-at=3000 rom-link=" + rom,
         {"-N", "-s", rom},
         {"The i.MX ROM on " + rom +
              " reported an error while receiving loader block 1 (5000 bytes at 0x20000400)",
          noChip},
         true},
        {"no completion word, USB",
         "imx=usb rom-no-completion",
         {"-N", "-s", "USB"},
         {"The i.MX ROM on USB did not confirm loader block 1 (5000 bytes at 0x20000400)", noChip},
         true},
        {"no completion word, serial line",
         "imx=pty rom-no-completion rom-link=" + rom,
         {"-U", "-t", "RECOVER", "-s", rom},
         {"The i.MX ROM on " + rom + " did not confirm loader block 1 (5000 bytes at 0x20000400)",
          noId},
         true},
        // A refused jump is told at once, not after the looks for a live
        // loader that never comes.
        {"no image header at the start address",
         "imx=usb rom-ivt",
         {"-N", "-s", "USB"},
         {refused + "0x20000800 (status 8D8D8D8D): " + why, noChip},
         true},
        {"HAB closed, the live loader not signed",
         "imx=usb rom-hab=closed loader-serial=own",
         {"-U", "-t", "RECOVER", "-s", "USB", "-d", kSerialText, "-f", unsignedLoader},
         {refused + "0x20000400 (status 33333333): " + why, noId},
         true},
        {"live loader keeps its identifier",
         "imx=usb loader-serial=default silent=39",
         {"-U", "-t", "RECOVER", "-s", "USB"},
         {"The live loader [DEADDEAD] did not tell word 0 of the chip identifier: Timeout "
          "occurred (qErrTimeout)",
          noId},
         true},
        {"live loader vanishes during the firmware",
         "imx=usb loader-serial=default vanish-at=600",
         {"-U", "-t", "RECOVER", "-s", "USB"},
         {"Failed to transfer firmware: Transferring firmware block 1 of 2: the module stopped "
          "answering"},
         true},
        {"the module comes back running another build",
         "imx=usb loader-serial=own new-build=77 new-version=1.0.0",
         {"-U", "-t", "RECOVER", "-s", "USB", "-d", kSerialText, "-f", notTaking},
         {"40F5849A came back running 1.0.0 (77), not the update's 2.0.5 (1234): the new "
          "firmware did not take"},
         true,
         "",
         true},
        {"usb in lower case is a serial port",
         "imx=usb",
         {"-N", "-s", "usb"},
         {noChip + ": cannot open usb: No such file or directory"},
         false},
        {"a file without a serial number",
         "imx=usb",
         {"-N", "-s", "USB", "-f", noLoader},
         {"Add serial number or remove the bird filename to use a default recovery image.", noChip},
         false},
        {"a file without a live loader",
         "imx=usb",
         {"-U", "-t", "RECOVER", "-s", "USB", "-d", kSerialText, "-f", noLoader},
         {"The BIRD file " + noLoader + " holds no live loader (no loader blocks)", noId},
         true},
        {"a loader block of its address alone",
         "imx=usb",
         {"-U", "-t", "RECOVER", "-s", "USB", "-d", kSerialText, "-f", emptyLoader},
         {"Loader block 1 of " + emptyLoader + " holds no image", noId},
         true},
        {"a recovery image without firmware",
         "imx=usb loader-serial=own",
         {"-U", "-t", "RECOVER", "-s", "USB", "-d", kSerialText, "-f", noFirmware},
         {"Birdfile holds no firmware blocks; nothing to transfer"},
         true},
        {"no default image to be had",
         "imx=usb",
         {"-N", "-s", "USB", "-u", "http://127.0.0.1:" + std::to_string(kstest::ClosedPort())},
         {"No live loader for DEADDEAD in the local store, and none could be downloaded from the "
          "update server (-G -d DEADDEAD tells why)",
          noChip},
         true},
        {"a store entry without a download",
         "imx=usb",
         {"-N", "-s", "USB"},
         {"The local store names no downloaded build for DEADDEAD to take the live loader from: "
          "get one with -G -d DEADDEAD, or name a BIRD file with -f",
          noChip},
         true,
         "LATEST_TRANSFER=100.bird\n"},
        {"a stored download that is gone",
         "imx=usb",
         {"-N", "-s", "USB"},
         {"Could not load the live loader from " + StoreRoot() + "/DEADDEAD/100.bird", noChip},
         true,
         "LATEST_DOWNLOAD=100.bird\n"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        ClearStore();
        if (!row.settings.empty())
            StoreModule(0xDEADDEAD, row.settings, {});
        std::vector<std::string> args = row.args;
        if (std::find(args.begin(), args.end(), "-u") == args.end())
            args.insert(args.end(), {"-u", Url()});
        kstest::ProcessResult r = RunDead(row.keys, args);
        EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
        std::string expected;
        for (const std::string& line : row.errors)
            expected += line + "\n";
        if (Has(expected, "refused to start")) {
            EXPECT_LT(r.seconds, 12.0) << "no wait for a live loader that cannot come";
        }
        EXPECT_EQ(r.err, expected);
        if (row.keys == "usb")
            continue; // a module that is not dead has no ROM
        if (!row.romUsed)
            ExpectRomUntouched();
        EXPECT_EQ(state.running.empty(), !row.runs) << "new firmware runs";
    }
}

// The product's own bound: 15 looks for a live loader that never comes up.
TEST_F(RecoverImx, SlowLiveLoaderThatNeverComesUpEndsTheFingerprint) {
    StartServer();
    kstest::ProcessResult r = RunDead("imx=usb no-loader", {"-N", "-s", "USB", "-u", Url()});
    EXPECT_EQ(r.exitStatus, 1) << r.out << r.err;
    EXPECT_EQ(r.err, "The live loader did not come up on USB as [DEADDEAD] after the ROM started "
                     "it\nGot no response from chip\n");
    ExpectLoaded(kDefaultLoader, kDefaultStart);
    EXPECT_EQ(state.faults["no-loader"], 1u);
}
