// A module whose firmware is dead: its chip sits in its boot ROM until the
// ROM starts a loader (an i.MX chip, leaveRom in Module.cpp) or an image is
// written into the flash and started (an LPC chip).
#include "modsim/Module.h"

namespace modsim {

void Module::enterRom(uint64_t nowUs) {
    now_ = nowUs;
    st_.mode = Mode::Rom;
    st_.present = false;
    st_.linkStarted = false;
    st_.romEntries++;
    away_ = true;
    gone_ = true; // stays away until a loader or an image runs
    out_.clear();
    epoch_++;
    if (trace_)
        trace_(cfg_.name + " dead: the chip waits in its ROM");
}

void Module::bootImage(const std::vector<uint8_t>& image, uint64_t nowUs) {
    now_ = nowUs;
    st_.firmwareImages = {Block{0, 0, image}};
    takeDescriptor();
    st_.runningFirmware = st_.firmwareImages;
    st_.options[7] = st_.version;
    gone_ = false;
    dropPending_ = false;
    awayScheduled_ = true;
    nextMode_ = Mode::Firmware;
    comeBack();
}

} // namespace modsim
