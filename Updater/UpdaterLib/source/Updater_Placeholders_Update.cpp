// Firmware update over the device link is not part of this build yet. It
// says so once and fails; this file goes away when it arrives.
#include "Updater.h"

#include <stdexcept>

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
    notAvailable = true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Update is not available in this build");
    return false;
}

BirdFile Updater::load_bird(const char*, std::string, uint32_t, uint32_t, bool) {
    throw std::runtime_error("Loading firmware for an update is not available in this build");
}
