// The ROM backend of an i.MX chip in serial download mode on a serial line
// (Serial_SDPLoader.h): the Serial Download Protocol without HID report
// numbers. Asked on a serial port after the LPC ROM; the rest is shared
// with USB HID (UpdaterRecoverImx.h).
#include <memory>

#include "Serial_SDPLoader.h"
#include "UpdaterRecoverImx.h"

namespace {

bool _serves_serial(const std::string& port) {
    return port != ROM_HID_PORT;
}

RomProbe _probe_serial(const RomRequest& request) {
    Outcome refused = _imx_refusal(request);
    if (!refused.ok())
        return {RomPresence::Unusable, refused, nullptr};
    std::unique_ptr<SDPLoader> rom(new SDPLoader);
    rom->setLoader(new Serial_SDPLoader(request.port.c_str()));
    Outcome open = Outcome::Ok();
    if (rom->init() != SDP_OK) {
        rom.reset();
        open = Outcome::Fail(qErrNotFound, "cannot open " + request.port + " as a serial port");
    }
    return _imx_probe(request, std::move(rom), open,
                      "neither an LPC boot ROM nor an i.MX ROM answered on " + request.port);
}

} // namespace

const RomBackend IMX_SDP_SERIAL_ROM = {"i.MX SDP on a serial line", _serves_serial, _probe_serial,
                                       _imx_fingerprint, _imx_recover};
