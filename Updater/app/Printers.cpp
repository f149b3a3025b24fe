// Banners, the notice line, build lists, fingerprints and device tables.
#include "Printers.h"

#include <algorithm>
#include <cctype>
#include <climits>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "BuildChoice.h"
#include "UpdaterDisplayInterface.h"
#include "VisibleText.h"
#include "qDefs.h"
#include "qError.h"
#include "qVersion.h"

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

const char* _link_type_name(linkType type) {
    switch (static_cast<int>(type)) {
    case 1:
        return "USB";
    case 2:
        return "TCPIP";
    default:
        return "Unknown";
    }
}

// The IPv4 address of a TCP/IP record, its four bytes in memory order
// (network order, as received).
std::string _ip_address_text(const DeviceInfo& d) {
    uint8_t bytes[4];
    uint32_t host = d.link.tcpip.hostAddress;
    memcpy(bytes, &host, sizeof bytes);
    char text[20];
    snprintf(text, sizeof text, "[%d.%d.%d.%d]", bytes[0], bytes[1], bytes[2], bytes[3]);
    return text;
}

void _display_device(UpdaterDisplayInterface& display, const DeviceInfo& d) {
    const char* model = qDefs_GetModelName(d.modelCode);
    const bool tcpip = static_cast<int>(d.transport) == 2;
    if (d.error != 0) {
        // A module that could not be asked: its error, on every transport.
        std::string why = d.errorText.empty() ? qError_GetErrorDescription(d.error) : d.errorText;
        display.message(INFO, "    %08X  [Error (%d): %s]%s%s", d.serialNumber, d.error,
                        why.c_str(), tcpip ? " " : "", tcpip ? _ip_address_text(d).c_str() : "");
    } else if (tcpip) {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u) %s",
                        d.serialNumber, d.moduleAddress, d.routerAddress, model, d.major, d.minor,
                        static_cast<int>(d.patch), d.build, _ip_address_text(d).c_str());
    } else {
        display.message(INFO, "    %08X  %02X       %02X      %-12s %3d.%d.%d (%u)", d.serialNumber,
                        d.moduleAddress, d.routerAddress, model, d.major, d.minor,
                        static_cast<int>(d.patch), d.build);
    }
}

// The number of the digit run at s[i], advancing i past it; leading zeros
// are skipped so that the runs compare by value (length, then digits).
std::string _digit_run(const std::string& s, size_t& i) {
    size_t start = i;
    while (i < s.size() && isdigit(static_cast<unsigned char>(s[i])))
        ++i;
    size_t first = s.find_first_not_of('0', start);
    return first == std::string::npos || first >= i ? std::string() : s.substr(first, i - first);
}

uint32_t _build_value(const std::string& text) {
    uint32_t value = 0;
    return ParseBuildNumber(text, value) ? value : UINT32_MAX;
}

} // namespace

bool _version_before(const std::string& a, const std::string& b) {
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        bool da = isdigit(static_cast<unsigned char>(a[i])) != 0;
        bool db = isdigit(static_cast<unsigned char>(b[j])) != 0;
        if (da && db) {
            std::string x = _digit_run(a, i), y = _digit_run(b, j);
            if (x.size() != y.size())
                return x.size() < y.size();
            if (x != y)
                return x < y;
            continue;
        }
        if (a[i] != b[j])
            return static_cast<unsigned char>(a[i]) < static_cast<unsigned char>(b[j]);
        ++i;
        ++j;
    }
    return a.size() - i < b.size() - j;
}

std::vector<std::pair<std::string, std::string>>
_builds_in_version_order(const std::map<std::string, std::string>& builds) {
    std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto& a, const auto& b) {
        if (_version_before(a.second, b.second))
            return true;
        if (_version_before(b.second, a.second))
            return false;
        return _build_value(a.first) < _build_value(b.first);
    });
    return sorted;
}

void _display_app_version(UpdaterDisplayInterface& display) {
    display.message(INFO, "%s (%s)", "Updater", "Version: 1.1 Apr 26 2023");
}

void _display_ks_version(UpdaterDisplayInterface& display) {
    display.message(INFO, "[Keystrand Release: %d.%d.%d]", static_cast<int>(qVersion_GetMajor()),
                    static_cast<int>(qVersion_GetMinor()), static_cast<int>(qVersion_GetPatch()));
}

void _display_notice(UpdaterDisplayInterface& display) {
    display.message(INFO, "(%s)",
                    "Keep a module powered and connected until its update has finished; "
                    "an interrupted transfer needs recovery");
}

void _display_builds(UpdaterDisplayInterface& display, std::map<std::string, std::string>& builds,
                     uint32_t serialNumber) {
    if (builds.empty()) {
        display.message(INFO, "No builds found for device [%08X]", serialNumber);
        return;
    }
    std::vector<std::pair<std::string, std::string>> sorted = _builds_in_version_order(builds);
    display.message(INFO, "Build List for device [%08X]:\n", serialNumber);
    display.message(INFO, "%-15.15s\t%-15.15s", "Build", "Version");
    for (const auto& entry : sorted) {
        // Server text: control characters are shown escaped, never sent raw.
        display.message(INFO, "%-15.15s\t%-15.15s", VisibleText(entry.first).c_str(),
                        VisibleText(entry.second).c_str());
    }
}

void _display_fingerprint(UpdaterDisplayInterface& display, Fingerprint& fingerprint) {
    display.message(INFO, "[ %08X %08X %08X %08X ]", fingerprint.words[0], fingerprint.words[1],
                    fingerprint.words[2], fingerprint.words[3]);
}

void _display_device_list(UpdaterDisplayInterface& display, std::vector<DeviceInfo>& devices,
                          linkType type) {
    display.message(INFO, "Discovered Devices: (%s)", _link_type_name(type));
    if (devices.empty()) {
        display.message(INFO, "    No devices found.");
        return;
    }
    if (static_cast<int>(type) == 1) {
        display.message(INFO,
                        "    Device    Module   Router  Model          Firmware Version (Build)");
    } else {
        display.message(INFO, "    Device    Module   Router  Model          Firmware Version "
                              "(Build)   [IP address]");
    }
    for (const DeviceInfo& d : devices) {
        _display_device(display, d);
    }
}
