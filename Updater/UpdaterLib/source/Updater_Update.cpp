// The update (-U) operation: firmware written into a running module over its
// packet link, directly or through a router.
//
// Each step is a small function that returns whether it succeeded (or the
// transfer's qErr) and, when it failed, has told the user once; the operation
// strings the steps together. The module's attributes change only after the
// whole transfer went through.
//
// Threads: the main thread only; the link's own threads carry the packets.
#include "Updater.h"

#include <memory>
#include <stdexcept>

#include "BuildChoice.h"
#include "Log.h"
#include "SerialNumber.h"
#include "SystemClass.h"
#include "UpdaterEntity.h"
#include "UpdaterStore.h"
#include "UpdaterTransfer.h"
#include "qDefs.h"
#include "qError.h"
#include "qTime.h"

namespace {

using Quillmar::Keystrand::Module;
using Quillmar::Keystrand::SystemClass;
const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// After the loader start: how long the module gets to drop its link (its
// loader restarting it), and how it is looked for afterwards.
const uint32_t LOADER_RESTART_WAIT_MS = 2000;
const int LOADER_RECONNECT_ATTEMPTS = 15;
const unsigned long LOADER_RECONNECT_PAUSE_MS = 1000;

// The module handle of one update and, through a router, the router's
// handle. Leaving the scope switches the router's routing off again, on every
// path, and closes both links.
struct Session {
    explicit Session(uint8_t moduleAddress) : module(moduleAddress, static_cast<uint8_t>(0)) {}
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
        }
    }
    if (build == 0 && (build = _attribute_build(item, UpdaterStore::KEY_LATEST_DOWNLOAD)) != 0)
        display.message(INFO, "Updating with the Latest Download");
    if (build == 0 && (build = _attribute_build(item, UpdaterStore::KEY_LATEST_TRANSFER)) != 0)
        display.message(INFO, "Updating with the Latest Transfer");
    if (build == 0) {
        display.message(ERROR, "Could not find valid build for this device.");
        return false;
    }
    return true;
}

// A generic image gets the module's serial number.
bool _write_serial(BirdFile& file, uint32_t serialNumber) {
    if (!file.hasSerialOffsets)
        return true;
    Log::log(DEBUG_Updater, "Setting serial number into firmware... ");
    if (!file.ReplaceSerialNumber(serialNumber)) {
        Log::log(DEBUG_Updater, "Error: Unable to modify serial number in bird.\n");
        return false;
    }
    Log::log(DEBUG_Updater, " Serial Number inserted into firmware.\n");
    return true;
}

qErr _connect_usb_then_tcp(Module& module, uint32_t serialNumber) {
    qErr err = module.connect(linkTypeUSB, serialNumber);
    if (err == qErrNotFound)
        err = module.connect(linkTypeTCPIP, serialNumber);
    return err;
}

// The router, with its routing switched on for its link.
bool _connect_router(UpdaterDisplayInterface& display, Session& session,
                     uint32_t routerSerialNumber) {
    session.router.reset(new Module(0, static_cast<uint8_t>(0)));
    if (_connect_usb_then_tcp(*session.router, routerSerialNumber) != qErrNone) {
        display.message(ERROR, "Failed to connect to link module [%08X]", routerSerialNumber);
        return false;
    }
    SystemClass system;
    system.init(session.router.get(), 0);
    qErr err = system.routeToMe(1);
    if (err != qErrNone) {
        display.message(ERROR, "Link module [%08X] refused to route to its network [%d, %s]",
                        routerSerialNumber, err, qError_GetErrorText(err));
        return false;
    }
    session.routing = true;
    return true;
}

qErr _connect_module(UpdaterDisplayInterface& display, Session& session, uint32_t serialNumber) {
    qErr err = session.router ? session.module.connectThroughLinkModule(session.router.get())
                              : _connect_usb_then_tcp(session.module, serialNumber);
    if (err != qErrNone) {
        display.message(ERROR, "Failed to connect to module [%08X]", serialNumber);
        return err;
    }
    if (session.module.getLinkSpecifier(&session.origin) != qErrNone)
        Log::log(DEBUG_Updater, "No link specifier after connecting: the loader is looked for "
                                "on USB only\n");
    return qErrNone;
}

bool _validate_birdfile(UpdaterDisplayInterface& display, BirdFile& file, Module& module,
                        uint32_t serialNumber) {
    if (file.blockCount == 0)
        return false;
    if (!file.hasSerialOffsets && !file.ValidateSerialNumber(serialNumber))
        return false;
    Log::log(DEBUG_Updater, "UpdateFirmware() Connecting to device\n");
    SystemClass system;
    system.init(&module, 0);
    uint32_t connected = 0;
    qErr read = system.getSerialNumber(&connected);
    if (read != qErrNone) {
        display.message(ERROR, "The module did not give its serial number: %s",
                        qError_GetErrorDescription(read));
        return false;
    }
    if (connected != serialNumber) {
        Log::log(DEBUG_Updater, "Bird serial number and connected device don't match.\n");
        return false;
    }
    uint8_t model = 0;
    read = system.getModel(&model);
    if (read != qErrNone) {
        display.message(ERROR, "The module did not give its model: %s",
                        qError_GetErrorDescription(read));
        return false;
    }
    const char* name = qDefs_GetModelName(model);
    if (!file.ValidateModel(name)) {
        display.message(ERROR, "Connected device model and Bird file model do not match [%s]",
                        name);
        return false;
    }
    return true;
}

qErr _transfer_loader(UpdaterDisplayInterface& display, Module& module, BirdFile& file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    qErr status = entity.LoaderInit();
    if (status != qErrNone) {
        Log::log(DEBUG_Updater, "Error starting loader [%d, %s].\n", status,
                 qError_GetErrorText(status));
        return status;
    }
    display.message(INFO, "Transferring loader to device");
    std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    display.display_progress(true);
    int counter = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring loader block %d of %d, %d bytes", counter,
                        static_cast<int>(blocks.size()), static_cast<int>(block.length));
        uint16_t portion = 0;
        status = entity.TransferPrepare(block.data, block.length, block.flags, portion);
        if (status != qErrNone && status != qErrTimeout) {
            Log::log(DEBUG_Updater, "Error Preparing transfer [%d, %s].\n", status,
                     qError_GetErrorText(status));
            break;
        }
        status = entity.LoaderTransfer(block.data, block.length);
        if (status != qErrNone) {
            Log::log(DEBUG_Updater, "Error loader transfer [%d, %s].\n", status,
                     qError_GetErrorText(status));
            break;
        }
        total += block.length;
        ++counter;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", counter - 1,
                    static_cast<int>(total));
    display.display_progress(false);
    if (status != qErrNone)
        return status;
    display.message(INFO, "Starting Load on Device");
    status = entity.LoaderStart();
    if (status == qErrTimeout) {
        Log::log(DEBUG_Updater,
                 "Timeout on LoaderStart. Usually indicates this is an iMX Load ignore err.\n");
        status = qErrNone;
    } else if (status != qErrNone) {
        display.message(ERROR, "Error starting loader [%d, %s]", status,
                        qError_GetErrorText(status));
    }
    return status;
}

// One way of reaching the module again, from a closed link.
bool _reached(Module& module, qErr err) {
    return err == qErrNone && module.isConnected();
}

// The loader restarted the module and it left its link: looks for it again,
// over USB under its own serial number (where a loader usually comes back),
// then over the transport it was reached with, then, on USB, under the
// default serial number a loader without a serial of its own presents. A
// module that does not come back makes the firmware transfer fail.
void _reconnect_loader(Session& session, uint32_t serialNumber) {
    Module& module = session.module;
    const linkType origin = session.origin.transport;
    for (int attempt = 1; attempt <= LOADER_RECONNECT_ATTEMPTS; ++attempt) {
        Log::log(DEBUG_Updater, "Reconnecting to the loader of [%08X], attempt %d of %d\n",
                 serialNumber, attempt, LOADER_RECONNECT_ATTEMPTS);
        (void)module.disconnect();
        if (_reached(module, module.discoverAndConnect(linkTypeUSB, serialNumber)))
            return;
        (void)module.disconnect();
        if (origin == linkTypeTCPIP && _reached(module, module.connectFromSpec(session.origin)))
            return;
        (void)module.disconnect();
        if (origin == linkTypeUSB &&
            _reached(module, module.connect(linkTypeUSB, ANY_MODULE_SERIAL)))
            return;
        (void)module.disconnect();
        (void)qTime_MSSleep(LOADER_RECONNECT_PAUSE_MS);
    }
    Log::log(DEBUG_Updater, "The loader of [%08X] did not come back\n", serialNumber);
}

// Waits for the loader's restart: a module that drops its link is looked for
// again; one behind a router, whose link stays up, is waited for until it
// answers again; a loader that keeps the link runs as it is.
void _await_loader(Session& session, uint32_t serialNumber) {
    UpdaterEntity watch;
    watch.init(&session.module, 0, true);
    if (!watch.WaitUntilGone(LOADER_RESTART_WAIT_MS, nullptr)) {
        Log::log(DEBUG_Updater, "The loader runs on the same link\n");
        return;
    }
    if (!session.router) {
        _reconnect_loader(session, serialNumber);
        return;
    }
    for (int attempt = 1; attempt <= LOADER_RECONNECT_ATTEMPTS; ++attempt) {
        if (watch.Answers())
            return;
    }
    Log::log(DEBUG_Updater, "The loader of [%08X] did not answer again\n", serialNumber);
}

bool _record_transfer(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                      uint32_t serialNumber, UpdaterStoreItem& item, bool known,
                      const std::string& name) {
    try {
        if (!known)
            item = UpdaterStore(storeDirectory.c_str()).AddDevice(serialNumber);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Updated the device but could not record it in the local store");
        return false;
    }
    item.attributes.Add(UpdaterStore::KEY_LATEST_TRANSFER, name.c_str());
    item.attributes.Add(UpdaterStore::KEY_LAST_TRANSFER_DATE, KeyValueStore::TimeStamp().c_str());
    if (!item.attributes.Save(nullptr)) {
        display.message(ERROR, "Updated the device but could not record it in the device settings");
        return false;
    }
    return true;
}

} // namespace

bool _find_entry(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                 uint32_t serialNumber, UpdaterStoreItem& item, bool& known) {
    try {
        UpdaterStore store(storeDirectory.c_str());
        known = store.FindDevice(serialNumber, &item);
        return true;
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Could not open the local store at %s", storeDirectory.c_str());
        return false;
    }
}

// An update must write firmware: a file without firmware blocks (possible
// only when the checks were overridden) would start the loader and reboot the
// module for nothing, and record a transfer that did not happen.
bool _has_firmware(UpdaterDisplayInterface& display, const BirdFile& file) {
    if (!file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE).empty())
        return true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Birdfile holds no firmware blocks; nothing to transfer");
    return false;
}

qErr _transfer_firmware(UpdaterDisplayInterface& display, Module& module, BirdFile& file) {
    UpdaterEntity entity;
    entity.init(&module, 0, true);
    Log::log(DEBUG_Updater, "Transferring firmware to device %s\n", file.filename.c_str());
    std::vector<BirdBlock> blocks = file.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    qErr status = qErrNone;
    unsigned counter = 1;
    uint32_t total = 0;
    for (const BirdBlock& block : blocks) {
        display.message(INFO, "Transferring firmware block %u of %u, %d bytes", counter,
                        static_cast<unsigned>(blocks.size()), static_cast<int>(block.length));
        uint16_t portion = 0;
        status = entity.TransferPrepare(block.data, block.length, block.flags, portion);
        if (status != qErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer init: [%d, %s].\n", status,
                     qError_GetErrorText(status));
            break;
        }
        status = entity.FirmwareTransfer(block.data, block.length, portion, display);
        if (status != qErrNone) {
            Log::log(DEBUG_Updater, "Error firmware transfer [%d, %s].\n", status,
                     qError_GetErrorText(status));
            break;
        }
        total += block.length;
        ++counter;
    }
    display.message(INFO, "Transferred %d blocks, %d total bytes", static_cast<int>(counter - 1),
                    static_cast<int>(total));
    if (status == qErrNone)
        status = entity.LoaderReboot(display);
    return status;
}

bool Updater::Update_Firmware(uint32_t serialNumber, uint32_t build, std::string firmwareFile,
                              uint8_t moduleAddress, uint32_t routerSerialNumber,
                              bool overrideModelCheck) {
    if (serialNumber == 0) {
        display.message(ERROR, "Update command must specify the specific device");
        return false;
    }
    UpdaterStoreItem item;
    bool known = false;
    if (!_find_entry(display, storeDirectory, serialNumber, item, known))
        return false;
    const unsigned long start = qTime_GetMSTicks();
    if (firmwareFile.empty() &&
        !_choose_build(display, serverUrl, serialNumber, item, known, build))
        return false;
    BirdFile file;
    try {
        file = load_bird("Updating", firmwareFile, serialNumber, build, false);
    } catch (const std::runtime_error& e) {
        Log::log(DEBUG_Updater, "%s\n", e.what());
        display.message(ERROR, "Failed to load bird file");
        return false;
    }
    if (!_write_serial(file, serialNumber))
        return false;
    if (routerSerialNumber != 0 && moduleAddress == 0) {
        display.message(ERROR, "Module address required for indirect firmware update");
        return false;
    }
    Session session(moduleAddress);
    if (routerSerialNumber != 0 && !_connect_router(display, session, routerSerialNumber))
        return false;

    qErr status = _connect_module(display, session, serialNumber);
    if (status == qErrNone) {
        if (!overrideModelCheck &&
            !_validate_birdfile(display, file, session.module, serialNumber)) {
            display.message(ERROR, "Birdfile failed validation");
            return false;
        }
        if (!_has_firmware(display, file))
            return false;
        status = _transfer_loader(display, session.module, file);
        if (status == qErrNone)
            _await_loader(session, serialNumber);
        if (status == qErrNone)
            status = _transfer_firmware(display, session.module, file);
        if (status == qErrNone &&
            !_record_transfer(display, storeDirectory, serialNumber, item, known,
                              firmwareFile.empty() ? BuildFileName(build) : firmwareFile))
            status = qErrWrite;
    }
    Log::log(DEBUG_Updater, "Updating device firmware: \n");
    display.message(INFO, "Update time: %.4f sec",
                    static_cast<double>(qTime_GetMSTicks() - start) / 1000.0);
    return status == qErrNone;
}
