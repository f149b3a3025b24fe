// The LPC half of fingerprinting and recovery: an NXP LPC17xx chip whose boot
// ROM answers the serial ISP protocol (NXPSerial.h) reports its identifier and
// writes its own flash.
//
// The recovery never leaves a chip that would start a fragment of an image:
// the whole flash (sector 0 with the vector table and its checksum included)
// is erased before anything is written, sector 0 is written last, and only
// then is the chip told to start. A stop on the user's request (Ctrl-C,
// SIGTERM) lets the ISP command in flight finish and leaves the chip in its
// command handler, where a second run finds it.
//
// Both steps return an Outcome and print nothing of a failure; the operation
// reports it. Threads: the caller's only.
#pragma once

#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "Fingerprint.h"
#include "Outcome.h"
#include "UpdaterDisplayInterface.h"

// The chip's identifier (ISP command N) on serialPort at baudRate. On
// failure the code tells what the port showed: qErrNotFound, qErrPermission,
// qErrBusy... the port cannot be used (the text names it and the OS reason);
// qErrNotReady nothing answered like an LPC boot ROM; qErrMode an LPC ROM is
// there but stuck in the data phase of a RAM write (it needs a reset into
// ISP); anything else the chip answered but not in full.
Outcome _get_fingerprint_lpc(const std::string& serialPort, uint32_t baudRate, Fingerprint& out);

// Writes the (descrambled) firmware blocks of image into the chip's flash,
// sector 0 last, checks each copy on the chip and starts the image. An image
// that cannot be written whole is refused before the chip is touched.
Outcome _recover_firmware_lpc(UpdaterDisplayInterface& display, const BirdFile& image,
                              const std::string& serialPort, uint32_t baudRate);
