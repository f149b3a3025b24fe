// Discovery is not part of this build yet: main reports -D as not available
// and never calls these. This file goes away when discovery arrives.
#include "Updater.h"

std::vector<DeviceInfo> Updater::Discover_Devices(linkType) {
    return {};
}

std::vector<DeviceInfo> Updater::Discover_KSNetwork_Devices(uint32_t, linkType) {
    return {};
}
