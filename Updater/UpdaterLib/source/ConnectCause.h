// Why a module could not be opened, in the user's words, with the fix where
// there is one. The device library returns the cause of a failed open as its
// code (Module::connect and friends): permission, busy, refused, not found,
// no answer. Discovery shows it in the device table and the update in its
// one failure line, so both say the same for the same cause.
#pragma once

#include <string>

#include "qDiscovery.h"
#include "qError.h"

// "permission denied (install the udev rules ... )", "in use by another
// program", "connection refused", "not found", "did not answer"... for a
// failed open of a module over transport. Never empty.
std::string ConnectCause(qErr cause, linkType transport);
