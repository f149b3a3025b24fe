// Recovery and fingerprinting are not part of this build yet. Recovery says
// so once and fails; main reports -N as not available and never calls
// Get_Fingerprint. This file goes away when they arrive.
#include "Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool) {
    return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool) {
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Recover is not available in this build");
    return false;
}
