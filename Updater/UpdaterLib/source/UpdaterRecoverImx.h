// What the two i.MX ROM backends (Recover_ImxHid.cpp, Recover_ImxSerial.cpp)
// share: everything after their transport is open.
//
// The chip's ROM, in serial download mode on USB HID or a serial line, is
// given a live loader (the loader blocks of a BIRD file) and starts it; the
// live loader then runs as an ordinary module on USB, whose system entity
// tells the chip's identifier and whose upgrade entity takes the firmware.
//
// Bootloader detail goes to the diagnostic log. Threads: the caller's only.
#pragma once

#include <memory>
#include <string>

#include "BirdFile.h"
#include "Fingerprint.h"
#include "Outcome.h"
#include "RomBackend.h"
#include "SDPLoader.h"

// Ok when the i.MX path can serve the request; otherwise (a file named
// without a serial number: the default recovery image would not be that
// file) a failure already told the user. Asked before the ROM is touched.
Outcome _imx_refusal(const RomRequest& request);

// The rest of a probe once the backend tried to open its transport: open
// failed (rom null), or rom is open. Present when the ROM answers, or when
// a live loader that an interrupted run left running is on USB; otherwise
// Unusable with open's failure, or Other with the text silent.
RomProbe _imx_probe(const RomRequest& request, std::unique_ptr<SDPLoader> rom, Outcome open,
                    const std::string& silent);

// The chip's identifier through the live loader: word 3 - i holds subindex
// i of its system option 39. The live loader comes from the request's file,
// else from the module's store entry, else (silently) from the update
// server; the ROM the probe opened writes and starts it. A live loader the
// probe found running is used as it is. Failures other than the live
// loader's absence have been told to the user: their Outcome has no text.
Outcome _imx_fingerprint(const RomRequest& request, RomSession& session, Fingerprint& out,
                         bool resetAfter);

// Writes the image's firmware blocks through the running live loader, found
// on USB under ANY_MODULE_SERIAL or the request's serial number, and
// reboots it into them (the update's own transfer, UpdaterTransfer.h).
Outcome _imx_recover(const RomRequest& request, BirdFile& image, const Fingerprint& fingerprint);
