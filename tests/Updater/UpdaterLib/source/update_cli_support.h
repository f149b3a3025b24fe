// Helpers of the update tests that run the real Updater binary against the
// module simulator run as a program (keystrand-sim, with the Updater as its
// child on the emulated USB bus or in the host half of its network namespace
// pair): BIRD files whose images the test knows, the simulator's state files
// read back, and the store under the private home compared byte for byte.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "bytes.h"
#include "process.h"
#include "tempdir.h"

namespace updcli {

using kstest::Bytes;

// A BIRD file with one loader and one firmware block, as a test describes it.
struct Firmware {
    uint8_t loaderFlags = 1;
    uint32_t loaderAddress = 0x10000000;
    Bytes loader;
    uint8_t imageFlags = 2;
    uint32_t imageAddress = 0;
    Bytes image;
    unsigned build = 1234;
    std::string version = "2.0.1";
    uint32_t serial = 0; // in the descriptor
    std::string model = "Tessera";
    // A generic image: serial-offsets block with these addresses (0: none).
    uint32_t serialAt = 0, textAt = 0;
    bool noBlocks = false; // a file that holds no block at all

    std::string File() const; // the file's bytes
};

// Loader and firmware images of the given sizes, distinct per build.
Firmware MakeFirmware(uint32_t serial, size_t imageBytes, unsigned build = 1234);

// What the simulator wrote with --dump for one module.
struct SimImage {
    unsigned flags = 0;
    uint32_t address = 0;
    Bytes data;
};
struct SimState {
    bool read = false;
    std::map<std::string, std::string> values; // serial, mode, present, requests, ...
    std::map<std::string, unsigned> faults;
    std::map<unsigned, std::pair<unsigned, uint32_t>> options; // option: sets, value
    std::vector<SimImage> loader, firmware, running;
    std::vector<SimImage> rom; // written through a dead i.MX module's ROM
    unsigned Value(const std::string& key) const;
};
SimState ReadSimState(const std::string& dumpDir, const std::string& module);

// One run: keystrand-sim with the module statements (and --netns), the
// Updater with args as its child. The simulator's state lands in dumpDir.
struct BenchRun {
    std::vector<std::string> modules;
    std::vector<std::string> fleets; // --modules statements: "N PREFIX key=value ..."
    std::vector<std::string> args;
    bool netns = false;
    bool onPty = false;
    int timeoutMs = 60000;
    // Put before the Updater's path, e.g. {"/usr/bin/env", "-C", DIR}.
    std::vector<std::string> launcher;
    // keystrand-sim --settle: restarting modules come back before the dump.
    int settleMs = 0;
    // Run Updater-testhooks with these KS_TESTHOOK_* settings ("NAME=value")
    // instead of the shipped Updater.
    bool testHooks = false;
    std::vector<std::string> env;
};
kstest::ProcessResult RunOnBench(const BenchRun& run, const std::string& dumpDir);

// The store of the private home (scripts/isolated-home.sh): "" when the test
// does not run in one, so that nothing touches a real home.
std::string StoreRoot();
void ClearStore();
// Every file below dir (relative path to bytes).
std::map<std::string, std::string> Snapshot(const std::string& dir);
// A module's attributes as key=value pairs.
std::map<std::string, std::string> Attributes(uint32_t serial);
// Puts a module into the store: its attributes file (settings lines) and
// builds (number to file bytes).
void StoreModule(uint32_t serial, const std::string& settings,
                 const std::map<unsigned, std::string>& builds);

// Whether text is a ctime() time stamp without its newline.
bool IsTimeStamp(const std::string& text);

bool Has(const std::string& text, const std::string& part);
// How often part occurs in text.
size_t Count(const std::string& text, const std::string& part);

// The fixture of the end-to-end tests: a cleared store under the private
// home, a scratch directory for BIRD files, runs on the bench with the state
// of the watched module (and of the router "r", if any) read back, and the
// checks every update ends with.
class UpdateCliTest : public ::testing::Test {
  protected:
    explicit UpdateCliTest(bool netns) : netns_(netns) {}
    void SetUp() override;

    kstest::ProcessResult Run(const std::vector<std::string>& modules,
                              const std::vector<std::string>& args, const std::string& watched,
                              bool onPty = false);
    std::string WriteFile(const std::string& name, const std::string& bytes) {
        return files.write(name, bytes);
    }
    // The module received the file's loader, and its REBOOT started the
    // firmware image (the module may still be restarting when the run ends).
    void ExpectWritten(const Firmware& fw, const Bytes& image);
    void ExpectRecorded(uint32_t serial, const std::string& transfer);
    void ExpectStoreAsBefore(const std::map<std::string, std::string>& before);
    // The next runs in the private network namespace pair (TCP/IP) or not.
    void UseNetns(bool on) { netns_ = on; }

    kstest::TempDir files{"ks-update"};
    SimState state, router;
    std::vector<std::string> launcher; // BenchRun::launcher of the next runs
    int settleMs = 0;                  // BenchRun::settleMs of the next runs
    bool testHooks = false;            // BenchRun::testHooks and env of the next runs
    std::vector<std::string> env;

  private:
    bool netns_;
};

} // namespace updcli
