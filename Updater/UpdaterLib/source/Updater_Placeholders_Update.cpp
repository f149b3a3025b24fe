// Firmware update over the device link is not part of this build yet. It
// says so once and fails; this file goes away when it arrives.
#include "Updater.h"

bool Updater::Update_Firmware(uint32_t, uint32_t, std::string, uint8_t, uint32_t, bool) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Update is not available in this build");
    return false;
}
