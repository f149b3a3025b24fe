// The i.MX half of fingerprinting and recovery, which the recovery operations
// of the Updater (Updater_Recover.cpp) call once no LPC bootloader answered.
//
// The chip's ROM, in serial download mode on USB HID or a serial line, is
// given a live loader (the loader blocks of a BIRD file) and starts it; the
// live loader then runs as an ordinary module on USB, whose system entity
// tells the chip's identifier and whose upgrade entity takes the firmware.
//
// Both print one user message where they fail and return false; bootloader
// detail goes to the diagnostic log. Threads: the caller's only.
#pragma once

#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "Fingerprint.h"
#include "Outcome.h"
#include "UpdaterDisplayInterface.h"

class Updater;

// The chip's identifier through the live loader: word 3 - i holds subindex i
// of its system option 39. serialNumber 0 stands for ANY_MODULE_SERIAL. The
// live loader comes from firmwareFile, else from the module's store entry,
// else (silently) from the update server. resetAfter resets the live loader
// afterwards; otherwise it keeps running for _recover_firmware_imx.
//
// The ROM is asked first: when it cannot be reached or does not answer (and
// no live loader runs already), the Outcome says so and neither the store nor
// the update server was asked. A live loader that an interrupted run left
// running is used as it is. Other failures have been told to the user
// already: their Outcome has no text.
Outcome _get_fingerprint_imx(UpdaterDisplayInterface& display, Updater& updater,
                             std::string serialPort, uint32_t serialNumber,
                             std::string firmwareFile, Fingerprint& out, bool resetAfter);

// Writes the image's firmware blocks through the running live loader, found
// on USB under ANY_MODULE_SERIAL or serialNumber, and reboots it into them.
bool _recover_firmware_imx(UpdaterDisplayInterface& display, BirdFile& image,
                           uint32_t serialNumber);
