// The transfer that the update and the recovery share: a BIRD file's
// firmware blocks written into a module whose loader runs, then the reboot
// into them.
#pragma once

#include "BirdFile.h"
#include "Module.h"
#include "UpdaterDisplayInterface.h"
#include "qError.h"

// Through an upgrade entity (index 0, sums checked): for each firmware block
// PREPARE and the portions the loader asks for, with the block messages and
// the progress bar on display; when every block went through, the reboot and
// the wait for the module to go. Detailed errors go to the diagnostic log.
// Returns: qErrNone, or the first failing step's error (UpdaterEntity).
qErr _transfer_firmware(UpdaterDisplayInterface& display, Quillmar::Keystrand::Module& module,
                        BirdFile& file);
