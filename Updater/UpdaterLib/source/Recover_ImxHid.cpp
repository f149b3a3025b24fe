// The ROM backend of an i.MX chip in serial download mode on USB: its ROM
// presents a HID device (NXP's vendor id, product 0130) and answers the
// Serial Download Protocol in HID reports (HID_SDPLoader.h). Selected by the
// port name "USB" alone; the rest is shared with the serial line
// (UpdaterRecoverImx.h).
#include <memory>

#include "HID_SDPLoader.h"
#include "UpdaterRecoverImx.h"
#include "qTime.h"

namespace {

const uint16_t ROM_VENDOR_ID = 0x1FC9; // NXP
const uint16_t ROM_PRODUCT_ID = 0x0130;
// A chip restarting into its ROM (a live loader that -N just reset) needs
// a moment to enumerate on USB: its HID device is waited for this long.
const unsigned long ROM_APPEAR_MS = 3000;
const unsigned long ROM_APPEAR_PAUSE_MS = 200;

bool _serves_hid(const std::string& port) {
    return port == ROM_HID_PORT;
}

// The ROM's HID device, looked for until it appears or ROM_APPEAR_MS
// passed.
Outcome _open_hid(std::unique_ptr<SDPLoader>& rom) {
    const unsigned long started = qTime_GetMSTicks();
    for (;;) {
        rom.reset(new SDPLoader);
        rom->setLoader(new HID_SDPLoader(ROM_VENDOR_ID, ROM_PRODUCT_ID));
        if (rom->init() == SDP_OK)
            return Outcome::Ok();
        rom.reset();
        if (qTime_GetMSTicks() - started >= ROM_APPEAR_MS)
            return Outcome::Failf(qErrNotFound,
                                  "no i.MX ROM in serial download mode found on USB (HID device "
                                  "%04X:%04X)",
                                  ROM_VENDOR_ID, ROM_PRODUCT_ID);
        (void)qTime_MSSleep(ROM_APPEAR_PAUSE_MS);
    }
}

RomProbe _probe_hid(const RomRequest& request) {
    Outcome refused = _imx_refusal(request);
    if (!refused.ok())
        return {RomPresence::Unusable, refused, nullptr};
    std::unique_ptr<SDPLoader> rom;
    Outcome open = _open_hid(rom);
    return _imx_probe(request, std::move(rom), open, "the i.MX ROM on USB did not answer");
}

} // namespace

const RomBackend IMX_SDP_HID_ROM = {"i.MX SDP on USB HID", _serves_hid, _probe_hid,
                                    _imx_fingerprint, _imx_recover};
