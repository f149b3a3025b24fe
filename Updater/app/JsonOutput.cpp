#include "JsonOutput.h"

#include <arpa/inet.h>

#include <algorithm>
#include <cstdio>
#include <nlohmann/json.hpp>

#include "BuildChoice.h"
#include "Outcome.h"
#include "Printers.h"
#include "SerialNumber.h"
#include "qDefs.h"
#include "qError.h"

using nlohmann::json;

namespace {

const char* _transport_name(linkType type) {
    switch (type) {
    case linkTypeUSB:
        return "USB";
    case linkTypeTCPIP:
        return "TCPIP";
    default:
        return "unknown";
    }
}

std::string _ipv4_text(uint32_t networkOrder) {
    char text[INET_ADDRSTRLEN] = "";
    in_addr address{};
    address.s_addr = networkOrder;
    inet_ntop(AF_INET, &address, text, sizeof text);
    return text;
}

json _device_json(const DeviceInfo& d) {
    json j;
    j["serial"] = SerialNumberText(d.serialNumber);
    j["transport"] = _transport_name(d.transport);
    j["moduleAddress"] = d.moduleAddress;
    // The router fields name the module that passes this one's traffic on,
    // the same on every transport: zeros for a module reached directly
    // (discovery over TCP/IP names the module itself as its own router).
    const bool behindRouter = d.routerSerialNumber != 0 && d.routerSerialNumber != d.serialNumber;
    j["routerAddress"] = behindRouter ? d.routerAddress : 0;
    j["routerSerial"] = SerialNumberText(behindRouter ? d.routerSerialNumber : 0);
    j["modelCode"] = d.modelCode;
    j["modelName"] = qDefs_GetModelName(d.modelCode);
    j["version"] =
        std::to_string(d.major) + "." + std::to_string(d.minor) + "." + std::to_string(d.patch);
    j["build"] = d.build;
    if (d.transport == linkTypeTCPIP) {
        j["hostAddress"] = _ipv4_text(d.link.tcpip.hostAddress);
        j["tcpPort"] = d.link.tcpip.tcpPort;
    }
    j["error"] = d.error;
    j["errorName"] = d.error == 0 ? "" : ErrorName(static_cast<qErr>(d.error));
    j["errorText"] = d.error == 0          ? ""
                     : d.errorText.empty() ? qError_GetErrorDescription(d.error)
                                           : d.errorText;
    return j;
}

} // namespace

std::string _devices_json(const std::vector<DeviceInfo>& devices) {
    json list = json::array();
    for (const DeviceInfo& d : devices)
        list.push_back(_device_json(d));
    // Texts from modules may hold anything: bytes that are not UTF-8 are replaced.
    return list.dump(2, ' ', false, json::error_handler_t::replace);
}

std::string _failure_json(const Outcome& failure) {
    json j;
    j["error"] = static_cast<int>(failure.code());
    j["errorName"] = failure.name();
    j["errorText"] = failure.text();
    return j.dump(2, ' ', false, json::error_handler_t::replace);
}

std::string _builds_json(const std::map<std::string, std::string>& builds) {
    std::vector<std::pair<std::string, std::string>> sorted = _builds_in_version_order(builds);
    json list = json::array();
    for (const auto& entry : sorted) {
        uint32_t build = 0;
        json j;
        if (ParseBuildNumber(entry.first, build))
            j["build"] = build;
        else
            j["build"] = entry.first;
        j["version"] = entry.second;
        list.push_back(j);
    }
    return list.dump(2, ' ', false, json::error_handler_t::replace);
}

std::string _fleet_json(const std::vector<FleetResult>& results, unsigned jobs) {
    json list = json::array();
    unsigned updated = 0;
    for (const FleetResult& r : results) {
        json j;
        j["serial"] = SerialNumberText(r.serial);
        j["transport"] = _transport_name(r.transport);
        j["routerSerial"] = SerialNumberText(r.routerSerial);
        j["from"] = r.from;
        j["to"] = r.to;
        j["build"] = r.build;
        j["result"] = FleetStateName(r.state);
        j["reason"] = r.reason;
        j["standing"] = r.standing;
        j["inLoader"] = r.inLoader;
        j["seconds"] = r.seconds;
        list.push_back(j);
        updated += r.state == FleetResult::UPDATED ? 1 : 0;
    }
    json doc;
    doc["modules"] = list;
    doc["concurrency"] = jobs;
    doc["updated"] = updated;
    doc["total"] = results.size();
    return doc.dump(2, ' ', false, json::error_handler_t::replace);
}

void _print_json(const std::string& document) {
    std::fwrite(document.data(), 1, document.size(), stdout);
    std::fputc('\n', stdout);
}
