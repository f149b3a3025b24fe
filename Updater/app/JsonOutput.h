// Results for scripts and fleet tools (--json): the device list of -D and the
// build list of -B as JSON documents, printed whole on standard output while
// every message goes to standard error.
#pragma once

#include <map>
#include <string>
#include <vector>

#include "DeviceInfo.h"

// An array with one object per module, in list order: serial, transport,
// addresses, model code and name, version, build, host address and port
// (TCP/IP), error code, its name and its description.
std::string _devices_json(const std::vector<DeviceInfo>& devices);

// An array with one object per build, in version order as the table is.
std::string _builds_json(const std::map<std::string, std::string>& builds);

// Writes the document and a newline to standard output.
void _print_json(const std::string& document);
