// The chip ROMs that fingerprinting (-N) and recovery (-U -t RECOVER) know,
// one table entry each: the LPC serial ISP ROM (Recover_Lpc.cpp), the i.MX
// Serial Download Protocol ROM over USB HID (Recover_ImxHid.cpp) and over a
// serial line (Recover_ImxSerial.cpp). Updater_Recover.cpp walks the table
// in its order: on a serial port the LPC ROM is asked first, then the i.MX
// ROM; on the port "USB" only the i.MX ROM on HID.
//
// A backend's operations are called from the main thread only, in this
// order for one command: serves, probe, and when the probe found its ROM,
// fingerprint (with the probe's session), then for a recovery recover.
// None of them prints a failure: each returns an Outcome for the operation
// to report once. An Outcome whose text is empty has been told to the user
// already (the i.MX live loader's choice prints its own messages).
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "BirdFile.h"
#include "Fingerprint.h"
#include "Outcome.h"
#include "UpdaterDisplayInterface.h"

class Updater;

// The port name that selects the i.MX ROM on USB HID. Any other name, "usb"
// included, is the path of a serial port.
constexpr const char* ROM_HID_PORT = "USB";

// What one command asks of the ROM: where it is, and the command line's
// choices.
struct RomRequest {
    UpdaterDisplayInterface& display;
    Updater& updater;
    std::string port;         // a tty path, or "USB" for the i.MX ROM on HID
    uint32_t baudRate;        // the LPC line rate
    uint32_t serialNumber;    // 0 or ANY_MODULE_SERIAL: none given
    std::string firmwareFile; // "": none given
};

// What a probe found.
enum class RomPresence {
    // The port cannot be used (the Outcome names it and the OS reason), or
    // this ROM cannot serve the request: no other ROM is asked.
    Unusable,
    // Nothing, or something that is not this ROM, answers: the next
    // backend of the table may ask.
    Other,
    // This ROM is there (or, for an i.MX chip, the live loader it started).
    Present,
};

// What a probe leaves open for its fingerprint: a synchronised line, an
// open ROM device, a connected live loader. Each backend derives its own.
class RomSession {
  public:
    virtual ~RomSession() = default;
};

struct RomProbe {
    RomPresence presence = RomPresence::Other;
    // Unusable, Other: what the port showed. Present: Ok, or why the ROM
    // that is there cannot go on (an LPC chip stuck in a RAM write).
    Outcome why;
    std::unique_ptr<RomSession> session; // Present and why.ok() only
};

struct RomBackend {
    const char* name; // for the diagnostic log
    // Whether this ROM can be reached through port at all.
    bool (*serves)(const std::string& port);
    // Opens the port and asks whether this ROM answers. Touches neither the
    // store nor the update server.
    RomProbe (*probe)(const RomRequest& request);
    // The chip's identifier, through what the probe left open. resetAfter:
    // an i.MX live loader restarts afterwards (the chip goes back to its
    // ROM); without it, it keeps running for the recovery.
    Outcome (*fingerprint)(const RomRequest& request, RomSession& session, Fingerprint& out,
                           bool resetAfter);
    // Writes image's firmware into the chip whose fingerprint this backend
    // read in the same command, and starts it.
    Outcome (*recover)(const RomRequest& request, BirdFile& image, const Fingerprint& fingerprint);
};

extern const RomBackend LPC_ISP_ROM;
extern const RomBackend IMX_SDP_HID_ROM;
extern const RomBackend IMX_SDP_SERIAL_ROM;
