// The transfer steps of the update and the recovery (UpdaterTransfer.h): the
// loader and firmware blocks through the module's upgrade entity, each
// failure said once as an Outcome that names the step and what the module
// answered.
//
// Threads: the main thread only; the link's own threads carry the packets.
#include "UpdaterTransfer.h"

#include <cstdio>
#include <stdexcept>
#include <vector>

#include "Interrupt.h"
#include "Link.h"
#include "Log.h"
#include "SystemClass.h"
#include "UpdaterEntity.h"
#include "qTime.h"
#include "qUEI.h"
#include "qVersion.h"

namespace {

using Quillmar::Keystrand::Link;
using Quillmar::Keystrand::Module;
using Quillmar::Keystrand::SystemClass;
const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

// The DESCRIBE build reply: 73, 255 and the build number, most significant
// byte first; a reply of any other length is not read.
const uint8_t BUILD_REPLY_LENGTH = 6;

// What the entity ran into, in the user's words.
std::string _fault_text(const UpdaterEntity& entity, qErr code) {
    char text[160];
    switch (entity.lastFault) {
    case UpdaterEntity::FAULT_SEND:
        return std::string("a packet could not be sent (") + ErrorName(code) + ")";
    case UpdaterEntity::FAULT_NO_REPLY:
        return "the module stopped answering";
    case UpdaterEntity::FAULT_BAD_REPLY:
        return "the module's answer was too short";
    case UpdaterEntity::FAULT_PREPARE_REFUSED:
        std::snprintf(text, sizeof text, "PREPARE refused by the module (status %u)",
                      entity.lastStatus);
        return text;
    case UpdaterEntity::FAULT_PORTION_ZERO:
        return "the module's loader asked for portions of 0 bytes";
    case UpdaterEntity::FAULT_DATA_REFUSED:
        std::snprintf(text, sizeof text,
                      "DATA given up: the module miscounted the same packet %u times",
                      UpdaterEntity::DATA_REPEATS + 1);
        return text;
    case UpdaterEntity::FAULT_SUM_MISMATCH:
        std::snprintf(text, sizeof text,
                      "SUM mismatch: the module summed %08X, the file's bytes sum to %08X",
                      entity.lastModuleSum, entity.lastSum);
        return text;
    case UpdaterEntity::FAULT_WRITE_REFUSED:
        std::snprintf(text, sizeof text, "WRITE refused by the module (status %u)",
                      entity.lastStatus);
        return text;
    case UpdaterEntity::FAULT_STOPPED:
        return "stopped on request";
    case UpdaterEntity::FAULT_NONE:
        break;
    }
    return ErrorName(code);
}

Outcome _entity_failure(const UpdaterEntity& entity, qErr code, const std::string& step) {
    if (code == qErrCancel || StopRequested())
        return Outcome::Fail(qErrCancel, "stopped on request").Within(step);
    return Outcome::Fail(code, _fault_text(entity, code)).Within(step);
}

void _report_count(UpdaterDisplayInterface& display, const TransferCount& count) {
    display.message(INFO, "Transferred %u blocks, %llu total bytes", count.blocks,
                    static_cast<unsigned long long>(count.bytes));
}

// Each block in turn through send(block, its step's name), announced and
// counted; the first failure ends the loop. Then the "Transferred" line.
template <typename Send>
Outcome _send_blocks(UpdaterDisplayInterface& display, const UpdaterEntity& entity,
                     const std::vector<BirdBlock>& blocks, const char* kind, Send send) {
    TransferCount count;
    Outcome out;
    for (const BirdBlock& block : blocks) {
        char step[80];
        std::snprintf(step, sizeof step, "Transferring %s block %u of %u", kind, count.blocks + 1,
                      static_cast<unsigned>(blocks.size()));
        display.message(INFO, "%s, %d bytes", step, static_cast<int>(block.length));
        const uint64_t before = entity.bytesAccepted;
        out = send(block, std::string(step));
        if (!out.ok()) {
            count.bytes += entity.bytesAccepted - before;
            break;
        }
        ++count.blocks;
        count.bytes += block.length;
    }
    _report_count(display, count);
    return out;
}

} // namespace

UpdateLimits& update_limits() {
    static UpdateLimits limits;
    return limits;
}

std::string RunningFirmware::Text() const {
    return (version.empty() ? std::string("?") : version) + " (" +
           (build == 0 ? std::string("?") : std::to_string(build)) + ")";
}

qErr _read_running(Module& module, RunningFirmware& running) {
    running = RunningFirmware();
    SystemClass system;
    system.init(&module, 0);
    uint32_t packed = 0;
    qErr err = system.getVersion(&packed);
    if (err != qErrNone)
        return err;
    char text[32];
    std::snprintf(text, sizeof text, "%u.%u.%u", qVersion_ParseMajor(packed),
                  qVersion_ParseMinor(packed), static_cast<unsigned>(qVersion_ParsePatch(packed)));
    running.version = text;
    Link* link = module.getLink();
    if (link == nullptr)
        return qErrConnection;
    const uint8_t address = module.getModuleAddress();
    const uint8_t request = Quillmar::Keystrand::val_DESCRIBE_BUILD;
    err = link->sendPacket(address, Quillmar::Keystrand::cmdDESCRIBE, 1, &request);
    if (err != qErrNone)
        return err;
    const uint8_t match[2] = {Quillmar::Keystrand::cmdDESCRIBE, request};
    uint8_t length = sizeof match;
    uint8_t reply[qPACKET_MAX_DATA];
    err = link->receivePacket(address, match, &length, reply);
    if (err != qErrNone)
        return err;
    if (length != BUILD_REPLY_LENGTH)
        return qErrPacket;
    running.build = qUEI_RetrieveInt(reply + 2);
    return qErrNone;
}

bool _find_entry(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                 uint32_t serialNumber, UpdaterStoreItem& item, bool& known) {
    try {
        UpdaterStore store(storeDirectory.c_str());
        known = store.FindDevice(serialNumber, &item);
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                        "Could not open the local store at %s", storeDirectory.c_str());
        return false;
    }
}

// An update must write firmware: a file without firmware blocks (possible
// only when the checks were overridden) would start the loader and reboot the
// module for nothing, and record a transfer that did not happen.
qErr _reach_module(Module& module, const std::vector<ReachWay>& ways, const char* what) {
    const UpdateLimits& limits = update_limits();
    for (int attempt = 1; attempt <= limits.loaderAttempts; ++attempt) {
        if (StopRequested())
            return qErrCancel;
        Log::log(DEBUG_Updater, "Looking for %s, attempt %d of %d\n", what, attempt,
                 limits.loaderAttempts);
        for (const ReachWay& way : ways) {
            (void)module.disconnect();
            if (way(module) == qErrNone && module.isConnected())
                return qErrNone;
        }
        (void)module.disconnect();
        if (attempt < limits.loaderAttempts)
            (void)qTime_MSSleep(limits.loaderPauseMs);
    }
    return qErrTimeout;
}

bool _has_firmware(UpdaterDisplayInterface& display, const BirdFile& file) {
    if (!file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty())
        return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Birdfile holds no firmware blocks; nothing to transfer");
    return false;
}

Outcome _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    qErr status = entity.LoaderInit();
    if (status != qErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", status,
                 qError_GetErrorText(status));
        return _entity_failure(entity, status, "Starting the update on the module");
    }
    display.message(INFO, "Transferring loader to device");
    display.display_progress(true);
    Outcome out =
        _send_blocks(display, entity, file.FindBlocks(BirdFile::BIRD_BLOCK_LOADER), "loader",
                     [&entity](const BirdBlock& block, const std::string& step) {
                         uint16_t portion = 0;
                         qErr err =
                             entity.TransferPrepare(block.data, block.length, block.flags, portion);
                         // A loader PREPARE may go unanswered (some modules answer it only
                         // once the block's data came); the DATA and SUM that follow decide.
                         if (err != qErrNone)
                             Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", err,
                                      qError_GetErrorText(err));
                         if (err == qErrNone || err == qErrTimeout)
                             err = entity.LoaderTransfer(block.data, block.length);
                         if (err == qErrNone)
                             return Outcome::Ok();
                         Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", err,
                                  qError_GetErrorText(err));
                         return _entity_failure(entity, err, step);
                     });
    display.display_progress(false);
    if (!out.ok())
        return out;
    if (StopRequested())
        return Outcome::Fail(qErrCancel, "stopped on request before the loader started");
    display.message(INFO, "Starting Load on Device");
    status = entity.LoaderStart();
    if (status == qErrTimeout) {
        // The loader restarted the link before its answer came through; the
        // reconnection that follows tells whether it runs.
        Log::log(DEBUG_Updater,
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        return Outcome::Ok();
    }
    if (status != qErrNone)
        return Outcome::Failf(status, "Error starting loader [%d, %s]", status,
                              qError_GetErrorText(status));
    return Outcome::Ok();
}

Outcome _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    entity.rebootWaitMs = update_limits().rebootGoneMs;
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.filename.c_str());
    Outcome out = _send_blocks(
        display, entity, file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE), "firmware",
        [&entity, &display](const BirdBlock& block, const std::string& step) {
            uint16_t portion = 0;
            qErr status = entity.TransferPrepare(block.data, block.length, block.flags, portion);
            if (status != qErrNone) {
                Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", status,
                         qError_GetErrorText(status));
                return _entity_failure(entity, status, step + ": PREPARE");
            }
            status = entity.FirmwareTransfer(block.data, block.length, portion, display);
            if (status == qErrNone)
                return Outcome::Ok();
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", status,
                     qError_GetErrorText(status));
            return _entity_failure(entity, status, step);
        });
    if (!out.ok())
        return out;
    if (StopRequested())
        return Outcome::Fail(qErrCancel, "stopped on request before the restart");
    qErr status = entity.LoaderReboot(display);
    if (status == qErrTimeout)
        return Outcome::Failf(qErrTimeout,
                              "The module did not restart within %u seconds after the update; "
                              "the new firmware cannot be confirmed",
                              static_cast<unsigned>(entity.rebootWaitMs / 1000))
            .Standing("The module received the whole firmware; see what it runs with -D");
    if (status != qErrNone)
        return Outcome::Fail(status, "Restarting the module into its new firmware").Because(status);
    return Outcome::Ok();
}

namespace {

// Between two looks for a module that restarts into new firmware.
const unsigned long RETURN_PAUSE_MS = 250;

// Whether a connect call reached the module; one that did not closes what it
// opened.
bool _reached(Module& module, qErr err) {
    if (err == qErrNone && module.isConnected())
        return true;
    (void)module.disconnect();
    return false;
}

// One attempt to reach the restarted module and read what it runs.
qErr _read_back(const ReturnPath& session, RunningFirmware& running) {
    Module& module = session.module;
    if (!session.router) {
        (void)module.disconnect();
        qErr err = session.origin.transport == linkTypeUSB
                       ? module.connect(linkTypeUSB, session.serialNumber)
                       : module.connectFromSpec(session.origin);
        if (!_reached(module, err))
            return err == qErrNone ? qErrConnection : err;
    }
    qErr err = _read_running(module, running);
    if (err != qErrNone && !session.router)
        (void)module.disconnect();
    return err;
}

} // namespace

Outcome _verify_running(UpdaterDisplayInterface& display, const ReturnPath& session,
                        const BirdFile& file) {
    const uint32_t serialNumber = session.serialNumber;
    const unsigned long start = qTime_GetMSTicks();
    const uint32_t limit = update_limits().returnMs;
    RunningFirmware running;
    qErr err = qErrTimeout;
    while (!StopRequested()) {
        err = _read_back(session, running);
        if (err == qErrNone || qTime_GetMSTicks() - start >= limit)
            break;
        (void)qTime_MSSleep(RETURN_PAUSE_MS);
    }
    if (StopRequested())
        return Outcome::Fail(qErrCancel, "stopped on request");
    if (err != qErrNone)
        return Outcome::Failf(err,
                              "%08X did not answer within %u seconds after its restart into the "
                              "new firmware",
                              serialNumber, static_cast<unsigned>(limit / 1000))
            .Because(err);
    const uint32_t expected = file.GetBuild();
    if (expected != 0 && running.build != expected) {
        RunningFirmware next;
        next.version = file.GetVersion();
        next.build = expected;
        return Outcome::Failf(qErrVersion,
                              "%08X came back running %s, not the update's %s: the new "
                              "firmware did not take",
                              serialNumber, running.Text().c_str(), next.Text().c_str());
    }
    display.message(INFO, "%08X now runs %s", serialNumber, running.Text().c_str());
    return Outcome::Ok();
}
