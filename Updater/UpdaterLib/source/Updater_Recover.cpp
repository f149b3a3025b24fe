// Fingerprinting (-N) and recovery (-U -t RECOVER) of a module whose firmware
// no longer runs, through its chip's ROM bootloader.
//
// The chip ROMs are a table of backends (RomBackend.h), asked in its order:
// the first that serves the port and finds its ROM there reads the
// fingerprint and, for a recovery, writes the firmware. A port that cannot
// be used ends the search with the OS reason. Nothing on the chip is
// erased before the image to write is known to be writable whole.
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "RomBackend.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "qTime.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

// In the order they are asked.
const RomBackend* const ROM_BACKENDS[] = {&LPC_ISP_ROM, &IMX_SDP_HID_ROM, &IMX_SDP_SERIAL_ROM};

// The module's serial number and recovery build from the update server, by
// fingerprint. A failed request leaves both as they were; it ends the
// recovery only when they do not name a build.
bool _recovery_info(UpdaterDisplayInterface& display, const std::string& serverUrl,
                    const Fingerprint& fingerprint, uint32_t& serialNumber,
                    uint32_t& recoveryBuild) {
    const char* url = serverUrl.empty() ? nullptr : serverUrl.c_str();
    if (UpdateServerRequest::GetRecoveryInfo(fingerprint.words, &serialNumber, &recoveryBuild,
                                             url) ||
        (serialNumber != 0 && recoveryBuild != 0))
        return true;
    display.message(ERROR, "Failed to retreive recovery information from Quillmar update server");
    return false;
}

// Asks each backend that serves the request's port whether its ROM is
// there; the first that finds it reads the fingerprint (used names it).
Outcome _identify(const RomRequest& request, Fingerprint& out, bool resetAfter,
                  const RomBackend*& used) {
    Outcome nothing = Outcome::Fail(qErrNotFound, "no chip ROM serves " + request.port);
    for (const RomBackend* backend : ROM_BACKENDS) {
        if (!backend->serves(request.port))
            continue;
        Log::log(DEBUG_APP, "Asking for the %s ROM on %s\n", backend->name, request.port.c_str());
        RomProbe probe = backend->probe(request);
        if (probe.presence == RomPresence::Other) {
            nothing = probe.why;
            continue;
        }
        if (probe.presence == RomPresence::Unusable || !probe.why.ok())
            return probe.why;
        used = backend;
        return backend->fingerprint(request, *probe.session, out, resetAfter);
    }
    return nothing;
}

// Prints a failure the backends have not told yet.
void _report(UpdaterDisplayInterface& display, const Outcome& out) {
    if (!out.text().empty())
        out.Report(display);
}

} // namespace

Outcome Updater::Read_Fingerprint(Fingerprint& out, std::string serialPort, uint32_t serialNumber,
                                  std::string firmwareFile, uint32_t baudRate, bool resetAfter) {
    const RomRequest request{display, *this, serialPort, baudRate, serialNumber, firmwareFile};
    const RomBackend* used = nullptr;
    return _identify(request, out, resetAfter, used);
}

bool Updater::Get_Fingerprint(Fingerprint& out, std::string serialPort, uint32_t serialNumber,
                              std::string firmwareFile, uint32_t baudRate, bool resetAfter) {
    return Read_Fingerprint(out, serialPort, serialNumber, firmwareFile, baudRate, resetAfter).ok();
}

bool Updater::Recover_Firmware(std::string serialPort, uint32_t build, uint32_t baudRate,
                               uint32_t serialNumber, std::string firmwareFile, bool) {
    unsigned long started = qTime_GetMSTicks();
    if (serialPort.empty()) {
        display.message(ERROR, "Must specify the serial port used for connecting");
        return false;
    }
    Fingerprint fingerprint;
    // The fingerprint is read at the rate the recovery writes at: the chip
    // keeps the rate it detected when it synchronised.
    RomRequest request{display, *this, serialPort, baudRate, serialNumber, firmwareFile};
    const RomBackend* backend = nullptr;
    Outcome read = _identify(request, fingerprint, false, backend);
    if (!read.ok()) {
        read.Within("Could not get Device Identifier").Report(display);
        return false;
    }
    uint32_t recoveryBuild = 0;
    if (firmwareFile.empty() &&
        !_recovery_info(display, serverUrl, fingerprint, serialNumber, recoveryBuild))
        return false;
    if (build != 0)
        recoveryBuild = build;
    BirdFile image;
    try {
        image = load_bird("Recovering", firmwareFile, serialNumber, recoveryBuild, true);
    } catch (const std::runtime_error& e) {
        display.message(ERROR, "Failed to load bird file: %s", e.what());
        return false;
    }
    if (image.hasSerialOffsets) {
        display.message(ERROR, "Updater does not support offline recovery");
        return false;
    }
    request.serialNumber = serialNumber; // the server may have named it
    Outcome out = backend->recover(request, image, fingerprint);
    _report(display, out);
    display.message(INFO, "Update time: %.4f sec",
                    static_cast<double>(qTime_GetMSTicks() - started) / 1000.0);
    return out.ok();
}
