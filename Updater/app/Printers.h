// What the command line prints: banners, the notice line, build lists,
// device tables, fingerprints and the usage screen.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "Updater.h"

class UpdaterDisplayInterface;

// "Updater (Version: ...)"
void _display_app_version(UpdaterDisplayInterface& display);
// "[Keystrand Release: 2.9.29]", the device library's version.
void _display_ks_version(UpdaterDisplayInterface& display);
// One line in parentheses that every user should read.
void _display_notice(UpdaterDisplayInterface& display);
// The builds in version order, by number (2.9.28 < 2.9.29 < 2.10.0 <
// 10.0.1); equal versions by build number.
std::vector<std::pair<std::string, std::string>>
_builds_in_version_order(const std::map<std::string, std::string>& builds);
// True when version text a comes before b, comparing runs of digits by
// their value and everything else character by character.
bool _version_before(const std::string& a, const std::string& b);
// Builds in version order; "No builds found ..." for an empty map.
void _display_builds(UpdaterDisplayInterface& display, std::map<std::string, std::string>& builds,
                     uint32_t serialNumber);
void _display_fingerprint(UpdaterDisplayInterface& display, Fingerprint& fingerprint);
// The discovered devices as a table; an IP address column for every type but USB.
void _display_device_list(UpdaterDisplayInterface& display, std::vector<DeviceInfo>& devices,
                          linkType type);
// Writes the usage screen to standard error: the head always, the command
// and sample blocks on request, the extended block when both flags are set.
void _display_usage(bool extendedUsage, bool helpRequested);
// The same text, for callers that write it elsewhere.
std::string _usage_text(bool extendedUsage, bool helpRequested);
