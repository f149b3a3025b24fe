// Recovery and fingerprinting are not part of this build yet. Each says so
// once and fails; this file goes away when they arrive.
#include "Updater.h"

bool Updater::Get_Fingerprint(Fingerprint&, std::string, uint32_t, std::string, uint32_t, bool) {
    notAvailable = true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Fingerprint is not available in this build");
    return false;
}

bool Updater::Recover_Firmware(std::string, uint32_t, uint32_t, uint32_t, std::string, bool) {
    notAvailable = true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR, "Recover is not available in this build");
    return false;
}
