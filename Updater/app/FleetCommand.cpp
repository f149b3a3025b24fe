// -U for many modules (-d LIST or -d all): which modules, how they are
// reached, the list shown (and confirmed on a terminal), the run, the table.
#include <unistd.h>

#include <cstdio>
#include <stdexcept>
#include <string>
#include <vector>

#include "BuildChoice.h"
#include "Commands.h"
#include "Fleet.h"
#include "FleetPrinter.h"
#include "JsonOutput.h"
#include "Printers.h"
#include "SerialNumber.h"
#include "qDefs.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// Exit status of a fleet the command line cannot have (as for a refused word).
const int REFUSED = 2;

// A module found by discovery, with its model for a check against -f.
struct Found {
    FleetModule module;
    std::string model; // "" unknown
};

FleetModule _direct(const DeviceInfo& d) {
    FleetModule m;
    m.serial = d.serialNumber;
    m.transport = d.transport;
    return m;
}

void _add_found(std::vector<Found>& found, const FleetModule& m, uint32_t modelCode) {
    for (const Found& f : found)
        if (f.module.serial == m.serial)
            return; // USB first: a module on both transports is updated once
    found.push_back({m, modelCode != 0 ? qDefs_GetModelName(modelCode) : ""});
}

// What -D (and -D -t TCPIP) would list, and with -r what -D -r lists. False
// when the router cannot be walked (after its message).
bool _discover(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params,
               std::vector<Found>& found) {
    const bool onlyOne = params.transportGiven && params.transport != TRANSPORT_RECOVER;
    for (linkType type : {linkTypeUSB, linkTypeTCPIP}) {
        if (onlyOne && params.transport != static_cast<uint32_t>(type))
            continue;
        for (const DeviceInfo& d : updater.Discover_Devices(type))
            _add_found(found, _direct(d), d.modelCode);
    }
    if (params.routerSerialNumber == 0)
        return true;
    std::vector<DeviceInfo> network;
    Outcome walked = updater.Discover_KSNetwork_Devices(params.routerSerialNumber,
                                                        static_cast<linkType>(0), network);
    if (!walked.ok()) {
        walked.Report(display);
        return false;
    }
    for (const DeviceInfo& d : network) {
        FleetModule m = _direct(d);
        m.routerSerial = params.routerSerialNumber;
        m.address = static_cast<uint8_t>(d.moduleAddress);
        // A router found directly too is updated in its own lane's place: last
        // of its network's, so that its restart cuts no child's transfer.
        _add_found(found, m, d.modelCode);
    }
    return true;
}

const Found* _lookup(const std::vector<Found>& found, uint32_t serial) {
    for (const Found& f : found)
        if (f.module.serial == serial)
            return &f;
    return nullptr;
}

// -f with several modules: only a generic file (serial offsets), and only
// when every module is of its model. 0, or the exit status of the refusal.
int _check_file(UpdaterDisplayInterface& display, const std::string& path,
                const std::vector<Found>& modules) {
    try {
        BirdFile file(path.c_str());
        if (!file.hasSerialOffsets) {
            display.message(ERROR,
                            "Refused: %s is one module's file (no serial offsets); -f with a list "
                            "of modules needs a generic file",
                            path.c_str());
            return REFUSED;
        }
        for (const Found& f : modules)
            if (f.model.empty() || !file.ValidateModel(f.model.c_str())) {
                display.message(
                    ERROR, "Refused: %08X is %s, not of the model of %s", f.module.serial,
                    f.model.empty() ? "of an unknown model" : f.model.c_str(), path.c_str());
                return REFUSED;
            }
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Failed to load bird file: %s", e.what());
        return 1;
    }
    return 0;
}

// The modules of the run, in the order given (or found). 0, or the exit status.
int _plan(UpdaterDisplayInterface& display, Updater& updater, const Parameters& params,
          std::vector<Found>& modules) {
    // Discovery is needed to list all, to find the addresses behind a router
    // and to know the models a file must fit; a plain list goes without it.
    const bool discover =
        params.allModules || params.routerSerialNumber != 0 || !params.firmwareFile.empty();
    std::vector<Found> found;
    if (discover) {
        display.message(INFO, "Searching for Keystrand devices");
        if (!_discover(display, updater, params, found))
            return 1;
    }
    if (params.allModules) {
        modules = found;
    } else {
        for (uint32_t serial : params.serialList) {
            const Found* f = _lookup(found, serial);
            Found direct{FleetModule(), ""};
            direct.module.serial = serial;
            modules.push_back(f != nullptr ? *f : direct);
        }
    }
    if (modules.empty()) {
        display.message(ERROR, "No modules found to update");
        return 1;
    }
    return params.firmwareFile.empty() ? 0 : _check_file(display, params.firmwareFile, modules);
}

std::string _where(const FleetModule& m) {
    std::string where = m.transport == linkTypeUSB     ? "USB"
                        : m.transport == linkTypeTCPIP ? "TCPIP"
                                                       : "USB or TCPIP";
    if (m.routerSerial != 0) {
        char text[64];
        std::snprintf(text, sizeof text, " via %08X at address %u", m.routerSerial, m.address);
        where += text;
    }
    return where;
}

// The list the run will update; on a terminal, -d all asks first unless --yes.
bool _confirmed(UpdaterDisplayInterface& display, const Parameters& params,
                const std::vector<FleetLane>& lanes, size_t count) {
    display.message(INFO, "Updating %zu modules, at most %u at a time:", count,
                    std::min<unsigned>(params.jobs, static_cast<unsigned>(lanes.size())));
    for (const FleetLane& lane : lanes)
        for (const FleetModule& m : lane.modules)
            display.message(INFO, "  %08X  %s", m.serial, _where(m).c_str());
    if (!params.allModules || params.assumeYes || !isatty(STDIN_FILENO))
        return true;
    std::fprintf(stderr, "Update these %zu modules? [y/N] ", count);
    char answer[16] = "";
    if (std::fgets(answer, sizeof answer, stdin) != nullptr &&
        (answer[0] == 'y' || answer[0] == 'Y'))
        return true;
    display.message(ERROR, "Nothing was updated");
    return false;
}

} // namespace

int _run_fleet(UpdaterDisplayInterface& display, Updater& updater, Parameters& params) {
    std::vector<Found> found;
    int status = _plan(display, updater, params, found);
    if (status != 0)
        return status;
    // Each router's network runs in one lane, its router (when listed) last.
    std::vector<FleetModule> modules, routers;
    for (const Found& f : found)
        (f.module.serial == params.routerSerialNumber ? routers : modules).push_back(f.module);
    for (FleetModule& r : routers)
        modules.push_back(r);
    std::vector<FleetLane> lanes = PlanLanes(modules);
    if (!_confirmed(display, params, lanes, modules.size()))
        return 1;
    _display_notice(display); // the work starts: keep the modules powered

    FleetRequest request;
    request.serverUrl = updater.serverUrl;
    request.storeDirectory = updater.storeDirectory;
    (void)ParseBuildNumber(params.buildNumber, request.build);
    request.firmwareFile = params.firmwareFile;
    request.download = params.commands.IsSet(CMD_GET);
    request.overrideModelCheck = params.overrideModelCheck;
    request.jobs = params.jobs;
    const bool terminal = !params.jsonOutput && isatty(STDOUT_FILENO);
    FleetPrinter printer(params.jsonOutput ? stderr : stdout, stderr, terminal);
    std::vector<FleetResult> results = RunFleet(request, lanes, printer);

    if (params.jsonOutput) {
        _print_json(_fleet_json(results, params.jobs));
    } else {
        std::string table = "\n" + _fleet_table(results);
        std::fwrite(table.data(), 1, table.size(), stdout);
    }
    for (const FleetResult& r : results)
        if (r.state != FleetResult::UPDATED)
            return 1;
    return 0;
}
