// One discovered module: the complete link specifier found by discovery,
// followed by what the module reported about itself.
#pragma once

#include <cstdint>
#include <string>

#include "qDiscovery.h"

struct DeviceInfo : public linkSpec {
    uint32_t build = 0; // firmware build number; 0 when the build query failed
    uint8_t major = 0;
    uint8_t minor = 0;
    uint32_t patch = 0;
    std::string modelName;
    int error = 0; // qErr of the first failing step; 0 when every query succeeded
    // What failed, in the user's words ("in use by another program", "did
    // not answer"); empty when error is 0.
    std::string errorText;

    // All numeric fields 0, the specifier included.
    DeviceInfo() : linkSpec() {}
    explicit DeviceInfo(const linkSpec& spec) : linkSpec(spec) {}
};
