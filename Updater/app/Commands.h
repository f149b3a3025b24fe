// The commands of one run, in their fixed order, for main.
#pragma once

#include "Parameters.h"
#include "Updater.h"

// Runs -N, then -G, then the first of -D, -U, -B, -C and -I that was asked for.
// Returns the exit status, 0 or 1.
int _run_commands(UpdaterDisplayInterface& display, Updater& updater, Parameters& params);

// The transport -D searches: the -t choice, except that recovery (and no
// choice at all) searches USB.
linkType _discovery_link_type(const Parameters& params);

// Creates the store directory and every missing parent. False (after a
// message) when the path is empty or cannot be made.
bool _ensure_store_directory(UpdaterDisplayInterface& display, const std::string& path);

// -U (and -G -U) for a list of modules or all of them: the list shown, the
// updates run side by side, the table. 0 when every module was updated and
// verified; 1 when any was not or none was found; 2 when -f names a file
// that does not fit every module.
int _run_fleet(UpdaterDisplayInterface& display, Updater& updater, Parameters& params);
