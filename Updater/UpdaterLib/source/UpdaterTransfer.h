// The steps that the update and the recovery share: the module's store
// entry, and the transfer of a BIRD file's firmware blocks into a module
// whose loader runs, then the reboot into them.
#pragma once

#include <cstdint>
#include <string>

#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "UpdaterStore.h"
#include "qError.h"

// The module's entry in the store at storeDirectory: known tells whether
// there is one (item filled). False, after a message, when the store cannot
// be opened.
bool _find_entry(UpdaterDisplayInterface& display, const std::string& storeDirectory,
                 uint32_t serialNumber, UpdaterStoreItem& item, bool& known);

// Whether the file holds firmware blocks; when not, says so (a transfer
// would reboot the module into nothing new and report success).
bool _has_firmware(UpdaterDisplayInterface& display, const BirdFile& file);

// Through an upgrade entity (index 0, sums checked): for each firmware block
// PREPARE and the portions the loader asks for, with the block messages and
// the progress bar on display; when every block went through, the reboot and
// the wait for the module to go. Detailed errors go to the diagnostic log.
// Returns: qErrNone, or the first failing step's error (UpdaterEntity).
qErr _transfer_firmware(UpdaterDisplayInterface& display, Quillmar::Keystrand::Module& module,
                        BirdFile& file);
