#include "Commands.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

#include "BuildChoice.h"
#include "JsonOutput.h"
#include "Printers.h"
#include "ReportPrinters.h"
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
    Outcome read = updater.Read_Fingerprint(fingerprint, params.serialPort, ANY_MODULE_SERIAL,
                                            params.firmwareFile, params.baudRate, true);
    if (read.ok()) {
        if (params.jsonOutput)
            _print_json(_fingerprint_json(fingerprint));
        else
            _display_fingerprint(display, fingerprint);
    } else {
        Outcome::Fail(read.code(), "Got no response from chip")
            .Because(read.text())
            .Standing(read.standing())
            .Report(display);
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

// -D. Lists what discovery found; an empty list is an answer, not a failure.
// The table, or with --json the JSON document on standard output.
void _show_devices(UpdaterDisplayInterface& display, const Parameters& params,
                   std::vector<DeviceInfo>& devices, linkType type) {
    if (params.jsonOutput)
        _print_json(_devices_json(devices));
    else
        _display_device_list(display, devices, type);
}

int _run_discover(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    if (params.routerSerialNumber != 0) {
        display.message(INFO, "Searching for Keystrand Network devices connected to %08X",
                        params.routerSerialNumber);
        linkType chosen = static_cast<linkType>(_chosen_link_type(params));
        std::vector<DeviceInfo> devices;
        Outcome walked =
            updater.Discover_KSNetwork_Devices(params.routerSerialNumber, chosen, devices);
        if (!walked.ok()) {
            walked.Report(display);
            if (params.jsonOutput)
                _print_json(_failure_json(walked));
            return 1;
        }
        // Shown for the router's transport, which every record carries; with
        // nothing found, the one asked for (Unknown when none was).
        _show_devices(display, params, devices, devices.empty() ? chosen : devices[0].transport);
        return 0;
    }
    display.message(INFO, "Searching for Keystrand devices");
    linkType type = _discovery_link_type(params);
    std::vector<DeviceInfo> devices = updater.Discover_Devices(type);
    _show_devices(display, params, devices, type);
    return 0;
}

// -b was checked when it was read (or replaced by -G's build); empty: the
// method chooses.
uint32_t _build_from_text(const std::string& text) {
    uint32_t build = 0;
    return ParseBuildNumber(text, build) ? build : 0;
}

int _run_update(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    uint32_t build = _build_from_text(params.buildNumber);
    bool ok;
    if (params.transport == TRANSPORT_RECOVER) {
        if (!params.serialPort.empty())
            _display_notice(display); // the work starts: keep the module powered
        ok =
            updater.Recover_Firmware(params.serialPort, build, params.baudRate, params.serialNumber,
                                     params.firmwareFile, params.overrideModelCheck);
    } else if (params.serialNumber == 0) {
        display.message(ERROR, "Must specify the specific device to be updated");
        return 1;
    } else {
        _display_notice(display); // the work starts: keep the module powered
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
    if (params.jsonOutput)
        _print_json(_builds_json(builds));
    else
        _display_builds(display, builds, params.serialNumber);
    return 0;
}

// -C -f FILE: what the file holds and whether an update could use it.
int _run_check(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    BirdCheckReport report;
    bool ok = updater.Check_BirdFile(params.firmwareFile, report);
    if (params.jsonOutput)
        _print_json(_bird_check_json(report));
    else if (!params.firmwareFile.empty())
        _display_bird_check(display, report);
    return ok ? 0 : 1;
}

// -I -d SERIAL: the module's store entry.
int _run_info(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    if (params.serialNumber == 0) {
        display.message(ERROR, "-I must specify a specific device via -d");
        return 1;
    }
    DeviceRecordReport report;
    bool ok = updater.Get_DeviceRecord(params.serialNumber, report);
    if (params.jsonOutput)
        _print_json(_device_record_json(report));
    else
        _display_device_record(display, report);
    return ok ? 0 : 1;
}

} // namespace

linkType _discovery_link_type(const Parameters& params) {
    uint32_t type = _chosen_link_type(params);
    return static_cast<linkType>(type != 0 ? type : 1);
}

bool _ensure_store_directory(UpdaterDisplayInterface& display, const std::string& path) {
    errno = 0;
    bool made = !path.empty() && qDirectory_Ensure(path.c_str(), 0755) == qErrNone;
    int why = errno;
    if (made && qDirectory_Exists(path.c_str()))
        return true;
    // EEXIST: something that is no directory stands in the way.
    std::string reason = path.empty() ? "the home directory is unknown"
                                      : std::strerror(why != 0 && why != EEXIST ? why : ENOTDIR);
    display.message(ERROR, "Could not find updater directory at %s: %s", path.c_str(),
                    reason.c_str());
    return false;
}

// The commands in their fixed order; the exit status is the worst of those
// that ran. An update after a -G whose download failed does not run: it
// would write another build than the one asked for.
int _run_commands(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    if (params.IsFleet()) // -U (and -G -U) for several modules; the command line checked it
        return _run_fleet(display, updater, params);
    int status = 0;
    if (params.commands.IsSet(CMD_FINGERPRINT) &&
        !_run_fingerprint(display, updater, params, &status)) {
        return 1;
    }
    int got = 0;
    if (params.commands.IsSet(CMD_GET) && !_run_get(display, updater, params, &got)) {
        return 1;
    }
    status = std::max(status, got);
    if (params.commands.IsSet(CMD_DISCOVER)) {
        return std::max(status, _run_discover(display, updater, params));
    }
    if (params.commands.IsSet(CMD_UPDATE)) {
        if (got != 0) {
            display.message(ERROR, "The download failed; nothing was written to the module");
            return status;
        }
        return std::max(status, _run_update(display, updater, params));
    }
    if (params.commands.IsSet(CMD_BUILDS)) {
        return std::max(status, _run_builds(display, updater, params));
    }
    if (params.commands.IsSet(CMD_CHECK)) {
        return std::max(status, _run_check(display, updater, params));
    }
    if (params.commands.IsSet(CMD_INFO)) {
        return std::max(status, _run_info(display, updater, params));
    }
    return status;
}
