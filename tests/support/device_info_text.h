// One line of text per discovered module, with every field a caller or a
// user sees, for comparing discovery results in tests and benchmarks.
#pragma once

#include <arpa/inet.h>

#include <cstdio>
#include <string>
#include <vector>

#include "DeviceInfo.h"

namespace kstest {

inline std::string DeviceInfoText(const DeviceInfo& d) {
    char text[256];
    snprintf(text, sizeof text,
             "%08X transport=%u module=%u router=%u routerSerial=%08X model=%u '%s' build=%u "
             "version=%u.%u.%u error=%d",
             d.serialNumber, unsigned(d.transport), d.moduleAddress, d.routerAddress,
             d.routerSerialNumber, d.modelCode, d.modelName.c_str(), d.build, unsigned(d.major),
             unsigned(d.minor), unsigned(d.patch), d.error);
    std::string line = text;
    if (d.transport == linkTypeTCPIP) {
        char where[64];
        in_addr a{};
        a.s_addr = d.link.tcpip.hostAddress;
        snprintf(where, sizeof where, " at %s:%u", inet_ntoa(a), d.link.tcpip.tcpPort);
        line += where;
    } else if (d.transport == linkTypeUSB) {
        line += " usb=" + std::to_string(d.link.usb.usbSerial);
    }
    return line;
}

inline std::vector<std::string> DeviceInfoText(const std::vector<DeviceInfo>& devices) {
    std::vector<std::string> lines;
    for (const DeviceInfo& d : devices)
        lines.push_back(DeviceInfoText(d));
    return lines;
}

} // namespace kstest
