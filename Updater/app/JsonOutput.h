// Results for scripts and fleet tools (--json): the device list of -D and the
// build list of -B as JSON documents, printed whole on standard output while
// every message goes to standard error.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"
#include "Fleet.h"
#include "Outcome.h"

// An array with one object per module, in list order: serial, transport,
// addresses, model code and name, version, build, host address and port
// (TCP/IP), error code, its stable name (ErrorName: "timeout",
// "permission-denied") and what failed in the user's words, as the table
// shows it.
std::string _devices_json(const std::vector<DeviceInfo>& devices);

// An object for a command that failed as a whole (a router that could not be
// walked): error code, stable name and the message printed.
std::string _failure_json(const Outcome& failure);

// An array with one object per build, in version order as the table is.
std::string _builds_json(const std::map<std::string, std::string>& builds);

// A fleet update: {"modules": [one object per module, as the table: serial,
// transport, routerSerial, from, to, build, result, reason, standing,
// inLoader, seconds], "concurrency", "updated", "total"}.
std::string _fleet_json(const std::vector<FleetResult>& results, unsigned jobs);

// Writes the document and a newline to standard output.
void _print_json(const std::string& document);
