// Banners, the notice line, build lists, fingerprints and device tables.
#include "Printers.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

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

} // namespace

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
    std::vector<std::pair<std::string, std::string>> sorted(builds.begin(), builds.end());
    std::stable_sort(
        sorted.begin(), sorted.end(),
        [](const std::pair<std::string, std::string>& a,
           const std::pair<std::string, std::string>& b) { return a.second < b.second; });
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
