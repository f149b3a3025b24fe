#include "BuildChoice.h"

#include "Log.h"
#include "UpdateServerRequest.h"

bool ParseBuildNumber(const std::string& text, uint32_t& value) {
    if (text.empty())
        return false;
    uint64_t v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false; // no sign, no blank, no base prefix, nothing after the digits
        v = v * 10 + static_cast<uint64_t>(c - '0');
        if (v > 0xFFFFFFFFu)
            return false;
    }
    value = static_cast<uint32_t>(v);
    return true;
}

bool ParseServerBuild(const std::string& text, uint32_t& value) {
    uint32_t v = 0;
    if (!ParseBuildNumber(text, v) || v == 0)
        return false;
    value = v;
    return true;
}

bool BuildOfFileName(const std::string& name, uint32_t& value) {
    size_t digits = 0;
    while (digits < name.size() && name[digits] >= '0' && name[digits] <= '9')
        ++digits;
    return ParseBuildNumber(name.substr(0, digits), value);
}

std::string BuildFileName(uint32_t build) {
    return std::to_string(build) + ".bird";
}

bool QueryLatestBuild(uint32_t serialNumber, const char* serverUrl, uint32_t& build,
                      std::string& firmware, std::string& buildText) {
    build = 0;
    buildText.clear();
    if (!UpdateServerRequest::QueryBuild(serialNumber, buildText, firmware, serverUrl))
        return false;
    // A carriage return ends the line, as it ends the firmware line.
    if (!buildText.empty() && buildText.back() == '\r')
        buildText.pop_back();
    if (!ParseServerBuild(buildText, build)) {
        Log::log(DEBUG_Updater, "Error: Could not convert %s to int.\n", buildText.c_str());
        build = 0;
    }
    return true;
}

bool QueryLatestBuild(uint32_t serialNumber, const char* serverUrl, uint32_t& build,
                      std::string& firmware) {
    std::string text;
    return QueryLatestBuild(serialNumber, serverUrl, build, firmware, text) && build != 0;
}
