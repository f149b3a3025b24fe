// load_bird: the BIRD file an update or a recovery writes, from a file the
// user named or from the module's store entry (fetched from the update server
// first when the recovery asks for it).
#include <cstdio>
#include <stdexcept>
#include <string>

#include "BuildChoice.h"
#include "Updater.h"
#include "UpdaterStore.h"

namespace {

BirdFile _read_stored_build(UpdaterStoreItem& item, uint32_t build) {
    return item.ReadBirdFile(BuildFileName(build).c_str());
}

std::string StoreMiss(uint32_t serialNumber, uint32_t build) {
    char text[96];
    std::snprintf(text, sizeof text, "the store holds no build %u for %08X", build, serialNumber);
    return text;
}

} // namespace

BirdFile Updater::load_bird(const char* action, std::string firmwareFile, uint32_t serialNumber,
                            uint32_t build, bool downloadIfMissing) {
    if (!firmwareFile.empty()) {
        display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s from Birdfile: %s", action,
                        firmwareFile.c_str());
        return BirdFile(firmwareFile.c_str());
    }
    UpdaterStore store(storeDirectory.c_str());
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "%s firmware with build: %u", action,
                    build);
    // Only a download may add the module to the store: without one, a module
    // the store does not know has no file to read, and the store stays as it was.
    UpdaterStoreItem item;
    if (!store.FindDevice(serialNumber, &item)) {
        if (!downloadIfMissing)
            throw std::runtime_error(StoreMiss(serialNumber, build));
        item = store.AddDevice(serialNumber);
    }
    try {
        return _read_stored_build(item, build);
    } catch (const std::runtime_error&) {
        if (!downloadIfMissing)
            throw; // its text says which file and why
    }
    display.message(UpdaterDisplayInterface::LEVEL_INFO, "Downloading firmware build %u", build);
    Download_Firmware(serialNumber, std::to_string(build), false, false);
    return _read_stored_build(item, build);
}
