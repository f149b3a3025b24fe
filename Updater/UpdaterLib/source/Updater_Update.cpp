// The update (-U) operation: firmware written into a running module over its
// packet link, directly or through a router.
//
// Each step is a small function that returns an Outcome: what failed, in the
// user's words, and where the module stands. The operation strings the steps
// together and prints the one failure once. The module's attributes change
// only after the new firmware was seen running.
//
// Ctrl-C and SIGTERM: the operation runs inside an InterruptScope; the
// transfer stops at its next packet, the session switches a router's routing
// off and closes the links, and one line says where the module stands.
//
// Threads: any one thread per update (a fleet runs several at once, each with
// its own Updater and display); the link's own threads carry the packets.
#include "Updater.h"

#include <cstdio>
#include <memory>
#include <stdexcept>

#include "BuildChoice.h"
#include "ConnectCause.h"
#include "Interrupt.h"
#include "Log.h"
#include "Outcome.h"
#include "SerialNumber.h"
#include "SystemClass.h"
#include "UpdateServerRequest.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "UpdaterTransfer.h"
#include "VisibleText.h"
#include "qDefs.h"
#include "qError.h"
#include "qTime.h"

namespace {

using Quillmar::Keystrand::Module;
using Quillmar::Keystrand::SystemClass;
const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// After the loader start: how long the module gets to drop its link (its
// loader restarting it); how it is looked for afterwards is in UpdateLimits.
const uint32_t LOADER_RESTART_WAIT_MS = 2000;
// Between two attempts to reach the module after its restart.

// The module handle of one update and, through a router, the router's
// handle. Leaving the scope switches the router's routing off again, on every
// path, and closes both links.
struct Session {
    Session(uint32_t serial, uint8_t moduleAddress, uint32_t routerSerial)
        : module(moduleAddress, static_cast<uint8_t>(0)), serialNumber(serial),
          routerSerialNumber(routerSerial), address(moduleAddress) {}
    ~Session() {
        if (routing) {
            SystemClass system;
            system.init(router.get(), 0);
            qErr err = system.routeToMe(0);
            Log::log(DEBUG_Updater, "Routing off at the link module: %d\n", err);
        }
        (void)module.disconnect();
        if (router)
            (void)router->disconnect();
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;

    Module module;
    std::unique_ptr<Module> router;
    bool routing = false;
    linkSpec origin{}; // how the module was first reached
    uint32_t serialNumber = 0;
    uint32_t routerSerialNumber = 0;
    uint8_t address = 0;
};

bool _stored(UpdaterStoreItem& item, bool known, uint32_t build) {
    if (!known)
        return false;
    try {
        item.ReadBirdFile(BuildFileName(build).c_str());
        return true;
    } catch (const std::runtime_error&) {
        return false;
    }
}

// A build named by an attribute ("1234.bird"); 0 when there is none.
uint32_t _attribute_build(const UpdaterStoreItem& item, const char* key) {
    uint32_t build = 0;
    if (!BuildOfFileName(item.attributes.GetString(key, ""), build))
        return 0;
    return build;
}

// The build to write when none was given: the server's latest when it is
// stored, else the latest download, else the latest transfer.
bool _choose_build(UpdaterDisplayInterface& display, const std::string& serverUrl,
                   uint32_t serialNumber, UpdaterStoreItem& item, bool known, uint32_t& build) {
    std::string unasked; // why the server could not be asked, when it could not
    if (build == 0) {
        std::string firmware;
        uint32_t latest = 0;
        const char* url = serverUrl.empty() ? nullptr : serverUrl.c_str();
        if (QueryLatestBuild(serialNumber, url, latest, firmware) && latest != 0) {
            if (_stored(item, known, latest))
                build = latest;
            else
                display.message(INFO, "New firmware is available.  Updater will proceed if "
                                      "valid firmware is found locally.");
        } else if (!UpdateServerRequest::ping(url, &unasked) && unasked.empty()) {
            unasked = "no answer";
        }
    }
    if (build == 0 && (build = _attribute_build(item, UpdaterStore::KEY_LATEST_DOWNLOAD)) != 0)
        display.message(INFO, "Updating with the Latest Download");
    if (build == 0 && (build = _attribute_build(item, UpdaterStore::KEY_LATEST_TRANSFER)) != 0)
        display.message(INFO, "Updating with the Latest Transfer");
    if (build == 0) {
        if (unasked.empty())
            display.message(ERROR, "Could not find valid build for this device.");
        else
            display.message(ERROR,
                            "Could not find valid build for this device. The update server %s "
                            "could not be asked: %s",
                            serverUrl.c_str(), VisibleText(unasked).c_str());
        return false;
    }
    return true;
}

// Where the module stands, for the last line of a failure.
std::string _unchanged(uint32_t serialNumber) {
    char text[64];
    std::snprintf(text, sizeof text, "%08X is unchanged", serialNumber);
    return text;
}

std::string _in_loader(uint32_t serialNumber) {
    char text[128];
    std::snprintf(text, sizeof text,
                  "%08X is in its loader; run the same command again to finish the update",
                  serialNumber);
    return text;
}

std::string _written(uint32_t serialNumber) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "%08X received the whole update; see what it runs with -D, and run the same "
                  "command again if it is not the new build",
                  serialNumber);
    return text;
}

Outcome _stopped() {
    return Outcome::Fail(qErrCancel, "stopped on request");
}

// A generic image gets the module's serial number.
Outcome _write_serial(BirdFile& file, uint32_t serialNumber) {
    if (!file.hasSerialOffsets)
        return Outcome::Ok();
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (file.ReplaceSerialNumber(serialNumber)) {
        Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
        return Outcome::Ok();
    }
    Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
    return Outcome::Failf(qErrParse,
                          "Birdfile failed validation: the serial number %08X cannot be set "
                          "into its generic image",
                          serialNumber);
}

// Over USB, then TCP/IP when no USB module has the serial number; transport
// says which one answered (or failed last). A USB module this user may not
// open cannot be told from one that is not there (its serial number cannot
// be read): TCP/IP is tried then too, and the permission error stands when
// the module is not found there either.
qErr _connect_usb_then_tcp(Module& module, uint32_t serialNumber, linkType& transport) {
    transport = linkTypeUSB;
    qErr err = module.connect(linkTypeUSB, serialNumber);
    if (err == qErrNotFound || err == qErrPermission) {
        qErr tcp = module.connect(linkTypeTCPIP, serialNumber);
        if (tcp != qErrNotFound || err == qErrNotFound) {
            transport = linkTypeTCPIP;
            err = tcp;
        }
    }
    if (err != qErrNone)
        (void)module.disconnect(); // a failed open may leave a link behind
    return err;
}

// The router, with its routing switched on for its link.
Outcome _connect_router(Session& session) {
    const uint32_t routerSerial = session.routerSerialNumber;
    session.router.reset(new Module(0, static_cast<uint8_t>(0)));
    linkType transport = linkTypeUSB;
    qErr err = _connect_usb_then_tcp(*session.router, routerSerial, transport);
    if (err != qErrNone)
        return Outcome::Failf(err, "Failed to connect to link module [%08X]", routerSerial)
            .Because(ConnectCause(err, transport));
    SystemClass system;
    system.init(session.router.get(), 0);
    err = system.routeToMe(1);
    if (err != qErrNone)
        return Outcome::Failf(err, "Link module [%08X] refused to route to its network",
                              routerSerial)
            .Because(err);
    session.routing = true;
    return Outcome::Ok();
}

Outcome _connect_module(Session& session) {
    linkType transport = linkTypeUSB;
    qErr err = qErrNone;
    if (session.router) {
        err = session.module.connectThroughLinkModule(session.router.get());
        if (err != qErrNone)
            return Outcome::Failf(err,
                                  "Failed to connect to module [%08X] at address %u behind link "
                                  "module [%08X]",
                                  session.serialNumber, session.address, session.routerSerialNumber)
                .Because(err);
    } else {
        err = _connect_usb_then_tcp(session.module, session.serialNumber, transport);
        if (err != qErrNone)
            return Outcome::Failf(err, "Failed to connect to module [%08X]", session.serialNumber)
                .Because(ConnectCause(err, transport));
    }
    if (session.module.getLinkSpecifier(&session.origin) != qErrNone)
        Log::log(DEBUG_Updater, "No link specifier after connecting: the loader is looked for "
                                "on USB only\n");
    return Outcome::Ok();
}

// Who did not answer: the module itself, or nobody at its address.
Outcome _no_answer(const Session& session, qErr err) {
    Outcome out = Outcome::Fail(err, "Birdfile failed validation");
    char text[160];
    if (session.router)
        std::snprintf(text, sizeof text,
                      "no module answered at address %u behind link module [%08X]", session.address,
                      session.routerSerialNumber);
    else
        std::snprintf(text, sizeof text, "module [%08X] did not answer", session.serialNumber);
    return out.Because(text).Because(err);
}

Outcome _validate_birdfile(BirdFile& file, Session& session) {
    const uint32_t serialNumber = session.serialNumber;
    if (file.blockCount == 0)
        return Outcome::Fail(qErrParse, "Birdfile failed validation: the file holds no blocks");
    if (!file.hasSerialOffsets && !file.ValidateSerialNumber(serialNumber))
        return Outcome::Failf(qErrParam,
                              "Birdfile failed validation: the file is for module %08X, not "
                              "%08X (-OVERRIDE skips this check)",
                              file.GetSerialNumber(), serialNumber);
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&session.module, 0);
    uint32_t connected = 0;
    qErr err = system.getSerialNumber(&connected);
    if (err != qErrNone)
        return _no_answer(session, err);
    if (connected != serialNumber) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match.\n");
        return Outcome::Failf(qErrParam,
                              "Birdfile failed validation: the module at address %u is %08X, "
                              "not %08X",
                              session.address, connected, serialNumber);
    }
    uint8_t model = 0;
    err = system.getModel(&model);
    if (err != qErrNone)
        return _no_answer(session, err);
    const char* name = qDefs_GetModelName(model);
    if (!file.ValidateModel(name))
        return Outcome::Failf(qErrParam,
                              "Birdfile failed validation: Connected device model and Bird file "
                              "model do not match [%s] (-OVERRIDE skips this check)",
                              name);
    return Outcome::Ok();
}

// "40F5849A: 2.9.28 (1201) -> 2.9.29 (1234)": what runs, and what the file
// brings (from its descriptor), also into report.
void _describe_change(UpdaterDisplayInterface& display, Session& session, const BirdFile& file,
                      UpdateReport& report) {
    RunningFirmware now, next;
    if (_read_running(session.module, now) != qErrNone)
        Log::log(DEBUG_Updater, "The running firmware could not be read in full\n");
    next.version = file.GetVersion();
    next.build = file.GetBuild();
    report.reached = true;
    report.transport = session.origin.transport;
    report.from = now.Text();
    report.to = next.Text();
    report.build = next.build;
    display.message(INFO, "%08X: %s -> %s", session.serialNumber, report.from.c_str(),
                    report.to.c_str());
}

// The loader restarted the module and it left its link: looks for it again,
// over USB under its own serial number (where a loader usually comes back),
// then over the transport it was reached with, then, on USB, under the
// default serial number a loader without a serial of its own presents. Every
// failed attempt closes what it opened.
Outcome _reconnect_loader(Session& session) {
    const uint32_t serialNumber = session.serialNumber;
    const linkSpec origin = session.origin;
    std::vector<ReachWay> ways = {
        [serialNumber](Module& m) { return m.discoverAndConnect(linkTypeUSB, serialNumber); }};
    if (origin.transport == linkTypeTCPIP)
        ways.push_back([origin](Module& m) { return m.connectFromSpec(origin); });
    if (origin.transport == linkTypeUSB)
        ways.push_back([](Module& m) { return m.connect(linkTypeUSB, ANY_MODULE_SERIAL); });
    char what[64];
    std::snprintf(what, sizeof what, "the loader of [%08X]", serialNumber);
    qErr e = _reach_module(session.module, ways, what);
    if (e == qErrCancel)
        return _stopped();
    if (e != qErrNone)
        return Outcome::Failf(qErrTimeout,
                              "The module did not come back after its loader started (%d "
                              "attempts)",
                              update_limits().loaderAttempts);
    return Outcome::Ok();
}

// Waits for the loader's restart: a module that drops its link is looked for
// again; one behind a router, whose link stays up, is waited for until it
// answers again; a loader that keeps the link runs as it is.
Outcome _await_loader(Session& session) {
    UpdaterEntity watch;
    watch.init(&session.module, 0, true);
    if (!watch.WaitUntilGone(LOADER_RESTART_WAIT_MS, nullptr)) {
        Log::log(DEBUG_Updater, "The loader runs on the same link\n");
        return Outcome::Ok();
    }
    if (!session.router)
        return _reconnect_loader(session);
    const UpdateLimits& limits = update_limits();
    for (int attempt = 1; attempt <= limits.loaderAttempts; ++attempt) {
        if (StopRequested())
            return _stopped();
        if (watch.Answers())
            return Outcome::Ok();
    }
    return Outcome::Failf(qErrTimeout,
                          "The module did not answer again after its loader started (%d "
                          "attempts)",
                          limits.loaderAttempts);
}

// After REBOOT: the module answers again running the file's build.
Outcome _verify_update(UpdaterDisplayInterface& display, Session& session, const BirdFile& file) {
    return _verify_running(
        display,
        {session.module, session.serialNumber, session.origin, static_cast<bool>(session.router)},
        file);
}

Outcome _record_transfer(const std::string& storeDirectory, uint32_t serialNumber,
                         UpdaterStoreItem& item, bool known, const std::string& name) {
    try {
        if (!known)
            item = UpdaterStore(storeDirectory.c_str()).AddDevice(serialNumber);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        return Outcome::Fail(qErrWrite,
                             "Updated the device but could not record it in the local store");
    }
    item.attributes.Add(UpdaterStore::KEY_LATEST_TRANSFER, name.c_str());
    item.attributes.Add(UpdaterStore::KEY_LAST_TRANSFER_DATE, KeyValueStore::TimeStamp().c_str());
    if (!item.attributes.Save(nullptr))
        return Outcome::Fail(qErrWrite,
                             "Updated the device but could not record it in the device settings");
    return Outcome::Ok();
}

// Connect, check the file against the module, say what will change.
Outcome _prepare(UpdaterDisplayInterface& display, Session& session, BirdFile& file,
                 bool overrideModelCheck, UpdateReport& report) {
    Outcome out = session.routerSerialNumber != 0 ? _connect_router(session) : Outcome::Ok();
    if (out.ok())
        out = _connect_module(session);
    if (out.ok() && !overrideModelCheck)
        out = _validate_birdfile(file, session);
    if (!out.ok())
        return out;
    if (!_has_firmware(display, file))
        return Outcome::Fail(qErrParse, ""); // said by _has_firmware
    _describe_change(display, session, file, report);
    return StopRequested() ? _stopped() : Outcome::Ok();
}

// Loader, firmware, restart, check: where the module stands on a failure.
Outcome _transfer(UpdaterDisplayInterface& display, Session& session, BirdFile& file) {
    const uint32_t serialNumber = session.serialNumber;
    Outcome out = _transfer_loader(display, session.module, file);
    if (!out.ok())
        return out.Standing(_unchanged(serialNumber));
    out = _await_loader(session);
    if (out.ok())
        out = _transfer_firmware(display, session.module, file);
    if (!out.ok())
        return out.StandingIfUnset(_in_loader(serialNumber));
    return _verify_update(display, session, file).Standing(_written(serialNumber));
}

} // namespace

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string firmwareFile,
                              uint8_t moduleAddress, uint32_t routerSerialNumber,
                              bool overrideModelCheck, UpdateReport* report) {
    UpdateReport unused;
    UpdateReport& told = report != nullptr ? *report : unused;
    if (serialNumber == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }
    UpdaterStoreItem item;
    bool known = false;
    if (!_find_entry(display, storeDirectory, serialNumber, item, known))
        return false;
    if (firmwareFile.empty() &&
        !_choose_build(display, serverUrl, serialNumber, item, known, build))
        return false;
    BirdFile file;
    try {
        file = load_bird("Updating", firmwareFile, serialNumber, build, false);
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Failed to load bird file: %s", e.what());
        return false;
    }
    Outcome out = _write_serial(file, serialNumber);
    if (out.ok() && routerSerialNumber != 0 && moduleAddress == 0)
        out = Outcome::Fail(qErrParam, "Module address required for indirect firmware update");
    if (!out.ok()) {
        told.outcome = out;
        out.Report(display);
        return false;
    }
    InterruptScope interruptible;
    const unsigned long start = qTime_GetMSTicks();
    bool transferred = false;
    {
        // Leaving this scope switches a router's routing off and closes the links.
        Session session(serialNumber, moduleAddress, routerSerialNumber);
        out = _prepare(display, session, file, overrideModelCheck, told);
        if (!out.ok()) {
            out.StandingIfUnset(_unchanged(serialNumber));
        } else {
            transferred = true;
            out = _transfer(display, session, file);
        }
    }
    if (out.ok())
        out = _record_transfer(storeDirectory, serialNumber, item, known,
                               firmwareFile.empty() ? BuildFileName(build) : firmwareFile);
    if (transferred) {
        told.seconds = static_cast<double>(qTime_GetMSTicks() - start) / 1000.0;
        display.message(INFO, "Update time: %.4f sec", told.seconds);
    }
    told.outcome = out;
    if (out.interrupted())
        display.message(ERROR, "Stopped on request: %s", out.standing().c_str());
    else if (!out.text().empty())
        out.Report(display);
    return out.ok();
}
