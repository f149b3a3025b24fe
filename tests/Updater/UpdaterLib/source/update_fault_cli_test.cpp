// -U when something goes wrong, end to end: the real Updater (the test-hook
// build, where a product limit must be shortened) against keystrand-sim, one
// row per fault. Every row checks what the user sees with -X off (the exit
// status and the one line that says what failed, and where the module
// stands), the store byte for byte against before, and what the module holds
// afterwards against the BIRD file. Rows marked rerun run the same command a
// second time on the same bench right after (a shell between the simulator
// and the Updater): it must finish the job.
//
// USB rows run on the emulated bus; TCP/IP rows in a private network
// namespace pair (root).
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "update_cli_support.h"

using namespace updcli;

namespace {

const uint32_t kSerial = 0x40F5849A;
const char* const kSerialText = "40F5849A";
const char* const kInLoader =
    "40F5849A is in its loader; run the same command again to finish the update";
const char* const kUnchanged = "40F5849A is unchanged";

enum class Where { Usb, RouterUsb, Tcp, RouterTcp };
enum class Holds {
    Nothing,    // no LOAD: no restart, nothing runs (a loader may have been offered)
    LoaderOnly, // its loader as in the file, no new firmware
    Written,    // loader and firmware as in the file
};
enum class File { Good, WrongSerial, NoDescriptor, Stored };

struct Row {
    const char* name;
    Where where;
    std::string fault; // appended to the module's statement
    File file;
    std::vector<std::string> extra; // after -U -d SERIAL
    std::vector<std::string> hooks; // KS_TESTHOOK_*=value
    int exit;
    std::string line;     // printed once, with -X off ("" for a success)
    std::string standing; // "" when none must be printed
    Holds holds;
    bool rerun = false;                     // then the same command completes the job
    std::vector<std::string> launcher = {}; // put before the Updater (nohup, limits)
    bool unprivileged = false;              // run as a user the file permissions apply to
};

std::string ClosedUrl() {
    return "http://127.0.0.1:" + std::to_string(kstest::ClosedPort()) + "/cgi/u";
}

// Runs the command, then (its status on standard error) the same command again.
const char* const kTwice = "trap : INT TERM; \"$@\"; echo \"first exit $?\" >&2; exec \"$@\"";

// Runs the Updater as uid 4242, a user without an entry in the password
// database (so that it takes its home from HOME: a scratch directory made
// here) who may not open the emulated bus's device nodes (root's, 0644). The
// test bed itself is opened to that user: its sockets, and the file given
// with -f. Needs root.
const char* const kAsUser =
    "chmod 0777 \"$UMOCKDEV_DIR\" && chmod -R a+rwX \"$UMOCKDEV_DIR/ioctl\" || exit 97\n"
    "h=$(mktemp -d) && chmod 0777 \"$h\" || exit 97\n"
    "for a; do [ -f \"$a\" ] && chmod a+r \"$a\" && chmod a+x \"$(dirname \"$a\")\"; done\n"
    "setpriv --reuid=4242 --regid=4242 --clear-groups env HOME=\"$h\" \"$@\"\n"
    "s=$?; rm -rf \"$h\"; exit $s";

// Ctrl-C or SIGTERM once 600 firmware bytes went: the module stays in its
// loader, the Updater says so and exits 128 + the signal; the same command
// then finishes the job.
Row Stopped(const char* name, Where where, int sig) {
    return {name,
            where,
            "signal-at=600:" + std::to_string(sig),
            File::Good,
            {},
            {"KS_TESTHOOK_LOADER_ATTEMPTS=2"},
            128 + sig,
            std::string("Stopped on request: ") + kInLoader,
            "",
            Holds::Written,
            true};
}

// A fault the update rides out: it ends with exit 0 and the file's loader
// and firmware in the module.
Row Succeeds(const char* name, Where where, const char* fault, std::vector<std::string> hooks) {
    return {name, where, fault, File::Good, {}, std::move(hooks), 0, "", "", Holds::Written};
}

std::vector<Row> Rows() {
    const std::string closed = ClosedUrl();
    const std::vector<std::string> fast = {"KS_TESTHOOK_LOADER_ATTEMPTS=2",
                                           "KS_TESTHOOK_REBOOT_MS=1500",
                                           "KS_TESTHOOK_RETURN_MS=3000"};
    return {
        {"no return after LOAD",
         Where::Usb,
         "no-return",
         File::Good,
         {},
         fast,
         1,
         "The module did not come back after its loader started (2 attempts)",
         kInLoader,
         Holds::LoaderOnly},
        // 5 attempts 1 s apart outlast a 3 s restart; without the pause they would not.
        {"a loader that takes 3 s to come back",
         Where::Usb,
         "restart-ms=3000",
         File::Good,
         {},
         {"KS_TESTHOOK_LOADER_ATTEMPTS=5"},
         0,
         "",
         "",
         Holds::Written},
        {"WRITE refused",
         Where::Usb,
         "write-error=3",
         File::Good,
         {},
         fast,
         1,
         "Transferring firmware block 1 of 1: WRITE refused by the module (status 3)",
         kInLoader,
         Holds::LoaderOnly},
        {"SUM mismatch of the loader",
         Where::Usb,
         "loader-sum-off",
         File::Good,
         {},
         fast,
         1,
         "Transferring loader block 1 of 1: SUM mismatch: the module summed ",
         kUnchanged,
         Holds::Nothing},
        {"DATA given up",
         Where::Usb,
         "data-wrong=always",
         File::Good,
         {},
         fast,
         1,
         "Transferring loader block 1 of 1: DATA given up: the module miscounted the same "
         "packet 6 times",
         kUnchanged,
         Holds::Nothing},
        {"an unanswered loader PREPARE is tolerated",
         Where::Usb,
         "loader-prepare-silent",
         File::Good,
         {},
         fast,
         0,
         "",
         "",
         Holds::Written},
        Succeeds("an unanswered loader PREPARE is tolerated through a router", Where::RouterUsb,
                 "loader-prepare-silent", fast),
        Succeeds("an unanswered loader PREPARE is tolerated on TCP/IP", Where::Tcp,
                 "loader-prepare-silent", fast),
        // On USB at once after each restart, but deaf for 1.5 s: the looks
        // for the loader go on past a module that does not answer yet.
        Succeeds("a loader that enumerates 1.5 s before it answers", Where::Usb, "deaf-ms=1500",
                 {"KS_TESTHOOK_LOADER_ATTEMPTS=5"}),
        {"vanishes mid-firmware",
         Where::Usb,
         "vanish-at=300",
         File::Good,
         {},
         fast,
         1,
         "Transferring firmware block 1 of 1: ",
         kInLoader,
         Holds::LoaderOnly},
        {"keeps its link after REBOOT",
         Where::Usb,
         "keep-link",
         File::Good,
         {},
         fast,
         1,
         "The module did not restart within 1 seconds after the update",
         "The module received the whole firmware; see what it runs with -D",
         Holds::Written},
        {"comes back with the old build",
         Where::Usb,
         "",
         File::NoDescriptor,
         {},
         fast,
         1,
         "40F5849A came back running 1.0.1 (1), not the update's 2.0.1 (1234): the new "
         "firmware did not take",
         "40F5849A received the whole update",
         Holds::Written},
        {"wrong serial",
         Where::Usb,
         "",
         File::WrongSerial,
         {},
         fast,
         1,
         "Birdfile failed validation: the file is for module 11111111, not 40F5849A "
         "(-OVERRIDE skips this check)",
         kUnchanged,
         Holds::Nothing},
        {"wrong model",
         Where::Usb,
         "model=22",
         File::Good,
         {},
         fast,
         1,
         "Birdfile failed validation: Connected device model and Bird file model do not match "
         "[Gauge] (-OVERRIDE skips this check)",
         kUnchanged,
         Holds::Nothing},
        {"busy",
         Where::Usb,
         "busy",
         File::Good,
         {},
         fast,
         1,
         "Failed to connect to module [40F5849A]: in use by another program\n",
         kUnchanged,
         Holds::Nothing},
        {"permission denied",
         Where::Usb,
         "",
         File::Good,
         {},
         fast,
         1,
         "Failed to connect to module [40F5849A]: permission denied (install the udev rules "
         "70-keystrand.rules and plug the module in again, or run as root)",
         kUnchanged,
         Holds::Nothing,
         false,
         {},
         true},
        {"server down during -G -U",
         Where::Usb,
         "",
         File::Stored,
         {"-G", "-u", closed},
         fast,
         1,
         "The download failed; nothing was written to the module",
         "",
         Holds::Nothing},
        Stopped("SIGINT on USB", Where::Usb, 2),
        Stopped("SIGTERM on USB", Where::Usb, 15),
        {"SIGHUP under nohup is ignored",
         Where::Usb,
         "signal-at=600:1",
         File::Good,
         {},
         fast,
         0,
         "",
         "",
         Holds::Written,
         false,
         {"nohup"}},
        // No file can grow (SIGXFSZ ignored, so the write fails with EFBIG).
        {"the device settings cannot be written after the update",
         Where::Usb,
         "",
         File::Good,
         {},
         fast,
         1,
         "Updated the device but could not record it in the device settings",
         "",
         Holds::Written,
         false,
         {"/bin/sh", "-c", "trap '' XFSZ; ulimit -f 0; exec \"$@\"", "sh"}},
        {"nobody at the module address",
         Where::RouterUsb,
         "",
         File::Good,
         {"-a", "8"},
         fast,
         1,
         "Birdfile failed validation: no module answered at address 8 behind link module "
         "[0000A001]",
         kUnchanged,
         Holds::Nothing},
        Stopped("SIGINT through a router", Where::RouterUsb, 2),
        {"refused",
         Where::Tcp,
         "closed-port",
         File::Good,
         {},
         fast,
         1,
         "Failed to connect to module [40F5849A]: connection refused\n",
         kUnchanged,
         Holds::Nothing},
        Stopped("SIGTERM on TCP/IP", Where::Tcp, 15),
        Stopped("SIGINT through a router over TCP/IP", Where::RouterTcp, 2),
    };
}

bool Routed(Where w) {
    return w == Where::RouterUsb || w == Where::RouterTcp;
}
bool OverTcp(Where w) {
    return w == Where::Tcp || w == Where::RouterTcp;
}

class UpdateFaults : public UpdateCliTest {
  protected:
    UpdateFaults() : UpdateCliTest(false) {}

    std::vector<std::string> Bench(const Row& row) const {
        const std::string transport = OverTcp(row.where) ? "tcp=0" : "usb";
        if (Routed(row.where))
            return {"r serial=0000A001 model=21 address=2 " + transport,
                    "u serial=40F5849A model=17 address=6 router=r restart-ms=300 " + row.fault};
        return {"u serial=40F5849A model=17 address=4 restart-ms=100 " + transport + " " +
                row.fault};
    }

    std::vector<std::string> Args(const Row& row, const std::string& path) const {
        std::vector<std::string> args = {"-U", "-d", kSerialText};
        if (row.file == File::Stored)
            args.insert(args.end(), {"-b", "1000"});
        else
            args.insert(args.end(), {"-f", path});
        if (Routed(row.where))
            args.insert(args.end(), {"-r", "0000A001", "-a", "6"});
        args.insert(args.end(), row.extra.begin(), row.extra.end());
        if (row.file == File::Stored) { // -G -U: no -b, the download names the build
            args.erase(args.begin() + 3, args.begin() + 5);
        }
        return args;
    }

    void Check(const Row& row) {
        SCOPED_TRACE(row.name);
        ClearStore();
        const Firmware fw = row.file == File::WrongSerial    ? MakeFirmware(0x11111111, 3000)
                            : row.file == File::NoDescriptor ? MakeFirmware(kSerial, 40)
                                                             : MakeFirmware(kSerial, 3000);
        const std::string path = WriteFile("fw.bird", fw.File());
        const Firmware stored = MakeFirmware(kSerial, 900, 1000);
        StoreModule(kSerial, "CREATED_TIME=x\nLATEST_DOWNLOAD=1000.bird\n",
                    {{1000, stored.File()}});
        const std::map<std::string, std::string> before = Snapshot(StoreRoot());

        UseNetns(OverTcp(row.where));
        testHooks = true;
        env = row.hooks;
        launcher = row.launcher;
        // A LOAD sent just before the Updater ended would restart the module
        // only after the dump: let it settle first.
        settleMs = row.holds == Holds::Nothing ? 1500 : 0;
        if (row.rerun)
            launcher = {"/bin/sh", "-c", kTwice, "sh"};
        if (row.unprivileged)
            launcher = {"/bin/sh", "-c", kAsUser, "sh"};
        kstest::ProcessResult r = Run(Bench(row), Args(row, path), "u");
        const std::string said = r.out + r.err;

        if (row.rerun) {
            EXPECT_TRUE(Has(r.err, "first exit " + std::to_string(row.exit))) << said;
            EXPECT_EQ(r.exitStatus, 0) << "the same command again finishes the job\n" << said;
        } else {
            EXPECT_EQ(r.exitStatus, row.exit) << said;
        }
        if (!row.line.empty()) {
            EXPECT_EQ(Count(r.err, row.line), 1u) << "said once, on standard error\n" << said;
        }
        if (!row.standing.empty()) {
            EXPECT_EQ(Count(r.err, row.standing), 1u) << said;
        }
        if (row.exit != 0 && !row.rerun) {
            if (row.holds != Holds::Written) {
                EXPECT_FALSE(Has(said, "now runs")) << said;
            }
            ExpectStoreAsBefore(before);
        } else {
            EXPECT_TRUE(Has(r.out, "40F5849A: 1.0.1 (1) -> 2.0.1 (1234)")) << said;
            EXPECT_TRUE(Has(r.out, "40F5849A now runs 2.0.1 (1234)")) << said;
            ExpectRecorded(kSerial, path);
        }
        EXPECT_FALSE(Has(said, "NETWORK:")) << "no diagnostics without -X\n" << said;
        if (Routed(row.where)) {
            const auto routing = router.options[20];
            EXPECT_EQ(routing.second, 0u) << "routing is off again";
            EXPECT_EQ(routing.first, row.rerun ? 4u : 2u) << "on and off, once per run";
        }
        ExpectHolds(row, fw);
    }

    void ExpectHolds(const Row& row, const Firmware& fw) {
        ASSERT_TRUE(state.read) << "no simulator state";
        switch (row.holds) {
        case Holds::Nothing:
            EXPECT_EQ(state.Value("restarts"), 0u) << "no LOAD, no REBOOT";
            EXPECT_TRUE(state.running.empty());
            if (row.file == File::Stored || row.file == File::WrongSerial || row.fault == "busy" ||
                row.fault == "closed-port" || row.unprivileged) {
                EXPECT_TRUE(state.loader.empty()) << "nothing was offered";
            }
            break;
        case Holds::LoaderOnly:
            ASSERT_EQ(state.loader.size(), 1u);
            EXPECT_BYTES(fw.loader, state.loader[0].data);
            EXPECT_TRUE(state.running.empty()) << "no new firmware runs";
            break;
        case Holds::Written:
            if (!row.rerun) {
                ExpectWritten(fw, fw.image);
                break;
            }
            // The second run found the module in its loader, which took the
            // loader block offered again as a block it never wrote: the
            // firmware it runs now is the file's, and nothing else was written.
            ASSERT_FALSE(state.running.empty());
            EXPECT_BYTES(fw.image, state.running.back().data);
            for (size_t i = 0; i + 1 < state.running.size(); ++i)
                EXPECT_TRUE(state.running[i].data.empty());
            break;
        }
    }

    // KS_FAULT_ROW=TEXT runs only the rows whose name holds TEXT (while
    // working on one).
    void RunGroup(bool tcp) {
        const char* only = std::getenv("KS_FAULT_ROW");
        unsigned ran = 0;
        for (const Row& row : Rows())
            if (OverTcp(row.where) == tcp && (!only || Has(row.name, only))) {
                if (row.unprivileged && geteuid() != 0) {
                    std::printf("row \"%s\" skipped: needs root to run as another user\n",
                                row.name);
                    continue;
                }
                Check(row);
                ++ran;
            }
        EXPECT_GT(ran, 0u) << "no row matches KS_FAULT_ROW";
    }
};

} // namespace

TEST_F(UpdateFaults, EachFaultOverUsbSaysWhatFailedAndWhereTheModuleStands) {
    RunGroup(false);
}

TEST_F(UpdateFaults, EachFaultOverTcpSaysWhatFailedAndWhereTheModuleStands) {
    if (geteuid() != 0 || std::system("command -v ip >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "needs root and iproute2 for private network namespaces";
    RunGroup(true);
}
