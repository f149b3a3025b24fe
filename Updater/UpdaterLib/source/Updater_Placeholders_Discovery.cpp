// Discovery is not part of this build yet. Each operation says so once and
// returns nothing; this file goes away when discovery arrives.
#include "Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    notAvailable = true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Discover is not available in this build");
    return {};
}

std::vector<DeviceInfo> Updater::Discover_KSNetwork_Devices(uint32_t, linkType) {
    notAvailable = true;
    display.message(UpdaterDisplayInterface::LEVEL_ERROR,
                    "Discover is not available in this build");
    return {};
}
