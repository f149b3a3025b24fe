#include "Updater.h"

#include "Log.h"
#include "qDiag.h"

namespace {

// The device library's notes go to the diagnostic log with the network's.
void _device_note(const char* line, void*) {
    Log::log(DEBUG_Network, "%s\n", line);
}

} // namespace

Updater::Updater(const char* serverUrl_, const char* storeDirectory_,
                 UpdaterDisplayInterface& display_)
    : serverUrl(serverUrl_ != nullptr ? serverUrl_ : ""),
      storeDirectory(storeDirectory_ != nullptr ? storeDirectory_ : ""), display(display_) {
    qDiag_SetHandler(_device_note, nullptr);
}

Updater::~Updater() {}
