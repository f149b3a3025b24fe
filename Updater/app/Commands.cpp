#include "Commands.h"

#include <stdexcept>
#include <string>

#include "Printers.h"
#include "SerialNumber.h"
#include "UpdaterDisplayInterface.h"
#include "qDirectory.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// -N. False when the command line lacks its serial port (stop at once);
// otherwise true, with *status set to 1 when no fingerprint was read.
bool _run_fingerprint(UpdaterDisplayInterface& display, Updater& updater, Parameters& params,
                      int* status) {
    if (params.serialPort.empty()) {
        display.message(ERROR, "Must specify the serial port used for connecting");
        return false;
    }
    Fingerprint fingerprint;
    if (updater.Get_Fingerprint(fingerprint, params.serialPort, ANY_MODULE_SERIAL,
                                params.firmwareFile, params.baudRate, true)) {
        _display_fingerprint(display, fingerprint);
    } else {
        display.message(ERROR, "Got no response from chip");
        *status = 1;
    }
    return true;
}

// -G. False when no device was given (stop at once). A stored build
// replaces buildNumber, so that a following -U uses exactly that build.
bool _run_get(UpdaterDisplayInterface& display, Updater& updater, Parameters& params, int* status) {
    if (params.serialNumber == 0) {
        display.message(ERROR, "-G must specify a specific device via -d");
        display.message(ERROR, "--help for usage information");
        return false;
    }
    display.message(INFO, "Retrieving firmware for device with serial number %08X",
                    params.serialNumber);
    if (params.buildNumber.empty()) {
        display.message(INFO, "No build specified");
        display.message(INFO, "Using Latest build");
    } else {
        display.message(INFO, "Retrieving firmware build %s", params.buildNumber.c_str());
    }
    uint32_t stored = updater.Download_Firmware(params.serialNumber, params.buildNumber,
                                                params.overrideModelCheck, false);
    if (stored != 0) {
        params.buildNumber = std::to_string(stored);
        *status = 0;
    } else {
        *status = 1;
    }
    return true;
}

// The -t choice for discovery; 0 when none was made or it was recovery.
uint32_t _chosen_link_type(const Parameters& params) {
    return (params.transportGiven && params.transport != TRANSPORT_RECOVER) ? params.transport : 0;
}

int _run_discover(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    (void)updater;
    if (params.routerSerialNumber != 0) {
        display.message(INFO, "Searching for Keystrand Network devices connected to %08X",
                        params.routerSerialNumber);
    } else {
        display.message(INFO, "Searching for Keystrand devices");
    }
    // Discovery is not part of this build yet.
    display.message(ERROR, "Discover is not available in this build");
    return 1;
}

uint32_t _build_from_text(const std::string& text) {
    try {
        return static_cast<uint32_t>(std::stoul(text, nullptr, 10));
    } catch (const std::exception&) {
        return 0; // empty or not a number: the method chooses
    }
}

int _run_update(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    uint32_t build = _build_from_text(params.buildNumber);
    bool ok;
    if (params.transport == TRANSPORT_RECOVER) {
        ok =
            updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                     params.firmwareFile, params.overrideModelCheck);
    } else if (params.serialNumber == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return 1;
    } else {
        ok = updater.Update_Firmware(params.serialNumber, build, params.firmwareFile,
                                     params.moduleAddress, params.routerSerialNumber,
                                     params.overrideModelCheck);
    }
    return ok ? 0 : 1;
}

int _run_builds(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    if (params.serialNumber == 0) {
        display.message(ERROR, "Error must supply a serial number for the List Builds command");
        _display_usage(false, false);
        return 1;
    }
    // An empty list is an answer only when the request did not fail;
    // otherwise "No builds found" would be a failure reported as success.
    std::map<std::string, std::string> builds;
    if (!updater.Get_BuildList(params.serialNumber, builds)) {
        return 1;
    }
    _display_builds(display, builds, params.serialNumber);
    return 0;
}

} // namespace

linkType _discovery_link_type(const Parameters& params) {
    uint32_t type = _chosen_link_type(params);
    return static_cast<linkType>(type != 0 ? type : 1);
}

bool _ensure_store_directory(UpdaterDisplayInterface& display, const std::string& path) {
    if (path.empty() || qDirectory_Ensure(path.c_str(), 0755) != qErrNone ||
        !qDirectory_Exists(path.c_str())) {
        display.message(ERROR, "Could not find updater directory at %s", path.c_str());
        return false;
    }
    return true;
}

int _run_commands(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    int status = 0;
    if (params.commands.IsSet(CMD_FINGERPRINT) &&
        !_run_fingerprint(display, updater, params, &status)) {
        return 1;
    }
    if (params.commands.IsSet(CMD_GET) && !_run_get(display, updater, params, &status)) {
        return 1;
    }
    if (params.commands.IsSet(CMD_DISCOVER)) {
        return _run_discover(display, updater, params);
    }
    if (params.commands.IsSet(CMD_UPDATE)) {
        return _run_update(display, updater, params);
    }
    if (params.commands.IsSet(CMD_BUILDS)) {
        return _run_builds(display, updater, params);
    }
    return status;
}
