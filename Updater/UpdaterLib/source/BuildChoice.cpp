#include "BuildChoice.h"

#include <limits>
#include <stdexcept>

#include "Log.h"
#include "UpdateServerRequest.h"

bool ParseBuildNumber(const std::string& text, uint32_t& value) {
    try {
        unsigned long v = std::stoul(text, nullptr, 10);
        if (v > std::numeric_limits<uint32_t>::max())
            return false;
        value = static_cast<uint32_t>(v);
        return true;
    } catch (const std::logic_error&) { // invalid_argument, out_of_range
        return false;
    }
}

std::string BuildFileName(uint32_t build) {
    return std::to_string(build) + ".bird";
}

bool QueryLatestBuild(uint32_t serialNumber, const char* serverUrl, uint32_t& build,
                      std::string& firmware) {
    std::string text;
    build = 0;
    if (!UpdateServerRequest::QueryBuild(serialNumber, text, firmware, serverUrl))
        return false;
    if (!ParseBuildNumber(text, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", text.c_str());
        build = 0;
    }
    return true;
}
