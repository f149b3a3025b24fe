// The steps that the update and the recovery share: the module's store
// entry, and the transfer of a BIRD file's loader and firmware blocks into a
// module, the wait for its loader, the reboot into the new firmware and the
// check that it runs. Each transfer step returns an Outcome (what failed, in
// the user's words); the caller adds where the module stands and reports it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "Module.h"
#include "Outcome.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"
#include "qDiscovery.h"
#include "qError.h"

// The bounds of an update's waits. Tests shorten them (Updater-testhooks).
struct UpdateLimits {
    // After LOAD: attempts to reach the restarted loader, a pause apart.
    int loaderAttempts = 15;
    unsigned long loaderPauseMs = 1000;
    // After REBOOT: how long the module gets to leave, then to answer again.
    uint32_t rebootGoneMs = 30000;
    uint32_t returnMs = 30000;
};
UpdateLimits& update_limits();

// One way to reach a module that restarted (a connect call of the module):
// qErrNone once it is connected.
using ReachWay = std::function<qErr(Quillmar::Keystrand::Module&)>;

// Looks for a module that restarted (a loader after LOAD, a live loader the
// chip's ROM started): each of ways in turn, for up to
// update_limits().loaderAttempts passes loaderPauseMs apart; every way that
// did not connect closes what it opened. Returns qErrNone when one
// connected, qErrCancel on a stop on request, qErrTimeout after the last
// pass. what names the module in the diagnostic log.
qErr _reach_module(Quillmar::Keystrand::Module& module, const std::vector<ReachWay>& ways,
                   const char* what);

// The module's entry in the store at storeDirectory: known tells whether
// there is one (item filled). False, after a message, when the store cannot
// be opened.
bool _find_entry(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                 uint32_t serialNumber, UpdaterStoreItem& item, bool& known);

// Whether the file holds firmware blocks; when not, says so (a transfer
// would reboot the module into nothing new and report success).
bool _has_firmware(UpdaterDisplayInterface& display, const BirdFile& file);

// What a module runs: its version (system entity) and build (DESCRIBE).
struct RunningFirmware {
    std::string version;      // "2.9.28"; empty when it could not be read
    uint32_t build = 0;       // 0 when it could not be read
    std::string Text() const; // "2.9.28 (1201)", "unknown" parts as "?"
};
// qErrNone, or the error of the first read that failed.
qErr _read_running(Quillmar::Keystrand::Module& module, RunningFirmware& running);

// How to reach a module again once it restarted into new firmware: the
// handle, its serial number and how it was first reached; one behind a
// router (router true) keeps its link.
struct ReturnPath {
    Quillmar::Keystrand::Module& module;
    uint32_t serialNumber;
    linkSpec origin;
    bool router;
};

// After REBOOT: waits (up to update_limits().returnMs) until the module
// answers again, reads what it runs and says so ("40F5849A now runs 2.0.5
// (1234)"). A module that does not answer, or runs another build than the
// file's descriptor names, fails; qErrCancel on a stop on request.
Outcome _verify_running(UpdaterDisplayInterface& display, const ReturnPath& path,
                        const BirdFile& file);

// Whole blocks that went, and bytes: each whole block's length (its address
// included), and the image bytes the module accepted of a block cut short.
struct TransferCount {
    unsigned blocks = 0;
    uint64_t bytes = 0;
};

// INIT, each loader block (PREPARE, a PREPARE time-out tolerated: some
// loaders answer it late; DATA, SUM), then LOAD only when every block went
// through. A failure before LOAD leaves the module as it was.
Outcome _transfer_loader(UpdaterDisplayInterface& display, Quillmar::Keystrand::Module& module,
                         BirdFile& file);

// Through an upgrade entity (index 0, sums checked): for each firmware block
// PREPARE and the portions the loader asks for, with the block messages and
// the progress bar on display; when every block went through, the reboot and
// the wait for the module to go. The failure names the step (the block's
// PREPARE, DATA, SUM, WRITE, the reboot) and what the module answered.
Outcome _transfer_firmware(UpdaterDisplayInterface& display, Quillmar::Keystrand::Module& module,
                           BirdFile& file);
