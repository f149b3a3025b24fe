// Download and build-list operations are not part of this build yet. Each
// says so once and fails; this file goes away when they arrive.
#include "Updater.h"

uint32_t Updater::Download_Firmware(uint32_t, std::string, bool, bool) {
    notAvailable = true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Download is not available in this build");
    return 0;
}

uint32_t Updater::Download_Firmware(Fingerprint, std::string, bool) {
    notAvailable = true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Download is not available in this build");
    return 0;
}

std::map<std::string, std::string> Updater::Get_BuildList(uint32_t) {
    notAvailable = true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "List Builds is not available in this build");
    return {};
}

std::map<std::string, std::string> Updater::Get_BuildListLocal(uint32_t) {
    return {};
}
