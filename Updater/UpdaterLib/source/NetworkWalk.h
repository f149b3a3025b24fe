// The walk of the modules behind a router, with its choices made explicit.
//
// Updater::Discover_KSNetwork_Devices always walks the whole network with the
// overlapped walk. The one-by-one walk (every address asked and waited for in
// turn) and a narrower address range exist only for scripts/bench-discover.sh,
// which times both walks, and for the tests that check that both walks find
// the same records.
#pragma once

#include <cstdint>
#include <vector>

#include "DeviceInfo.h"
#include "Outcome.h"
#include "qDiscovery.h"

struct NetworkWalk {
    // Overlapped: up to a small fixed number of serial-number questions wait
    // on the router's link at once. One by one: each is waited for in turn.
    bool overlapped = true;
    // The even module addresses asked, inclusive (clamped to 2..252).
    uint8_t firstAddress = 2;
    uint8_t lastAddress = 252;
};

// Discover_KSNetwork_Devices with the walk given: the modules behind the
// router with that serial number, by ascending address; type 0 finds the
// router's transport. Empty when the router is not found, cannot be
// connected or refuses to route; failure (when given) then says which.
std::vector<DeviceInfo> DiscoverNetworkDevices(uint32_t routerSerialNumber, linkType type,
                                               const NetworkWalk& walk, Outcome* failure = nullptr);
