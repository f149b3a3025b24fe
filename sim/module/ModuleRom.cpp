// A module whose firmware is dead: its chip sits in its boot ROM until an
// image is written into the flash and started.
#include "modsim/Module.h"

namespace modsim {

void Module::enterRom(uint64_t nowUs) {
    now_ = nowUs;
    away_ = true;
    gone_ = true; // stays away until bootImage
    st_.present = false;
    st_.linkStarted = false;
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
