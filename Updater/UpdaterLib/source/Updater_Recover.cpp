// Fingerprinting (-N) and recovery (-U -t RECOVER) of a module whose firmware
// no longer runs, through its chip's ROM bootloader.
//
// An NXP LPC chip answers the serial ISP protocol: its ROM reports the chip's
// identifier and writes the flash itself. An i.MX chip is reached through a
// live loader that its ROM starts (Updater_RecoverImx.cpp).
//
// Each step is a small function that returns whether it succeeded and, when
// it did not, has told the user why in one message. Nothing on the chip is
// erased before the image to write is known to be writable whole.
#include <stdexcept>
#include <string>
#include <vector>

#include "Log.h"
#include "RecoverLpc.h"
#include "UpdateServerRequest.h"
#include "Updater.h"
#include "UpdaterRecoverImx.h"
#include "qTime.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;
const UpdaterDisplayInterface::Level ERROR = UpdaterDisplayInterface::LEVEL_ERROR;

const uint8_t CHIP_IMX = 1;
const uint8_t CHIP_LPC = 2;

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

} // namespace

Outcome Updater::Read_Fingerprint(Fingerprint& out, std::string serialPort, uint32_t serialNumber,
                                  std::string firmwareFile, uint32_t baudRate, bool resetAfter) {
    Outcome lpc = _get_fingerprint_lpc(serialPort, baudRate, out);
    if (lpc.ok()) {
        chipType = CHIP_LPC;
        return lpc;
    }
    // A port that cannot be opened, or an LPC chip that answered, is no
    // i.MX ROM either; the ROM on USB has no serial port to open.
    if (serialPort != "USB" && lpc.code() != qErrNotReady)
        return lpc;
    chipType = CHIP_IMX;
    return _get_fingerprint_imx(display, *this, serialPort, serialNumber, firmwareFile, out,
                                resetAfter);
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
    Outcome read =
        Read_Fingerprint(fingerprint, serialPort, serialNumber, firmwareFile, baudRate, false);
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
    bool ok;
    if (chipType == CHIP_IMX) {
        ok = _recover_firmware_imx(display, image, serialNumber);
    } else {
        image.DecodeFirmwareBlocks(fingerprint.words);
        Outcome out = _recover_firmware_lpc(display, image, serialPort, baudRate);
        out.Report(display);
        ok = out.ok();
    }
    display.message(INFO, "Update time: %.4f sec",
                    static_cast<double>(qTime_GetMSTicks() - started) / 1000.0);
    return ok;
}
