// -C and -I results as tables and as JSON, and the -N fingerprint as JSON.
#include "ReportPrinters.h"

#include <cstdio>
#include <nlohmann/json.hpp>

#include "SerialNumber.h"
#include "UpdaterDisplayInterface.h"
#include "VisibleText.h"

using nlohmann::json;

namespace {

const UpdaterDisplayInterface::Level INFO = UpdaterDisplayInterface::LEVEL_INFO;

// Text taken from a file: control characters shown escaped.
std::string _shown(const std::string& text) {
    return VisibleText(text);
}

std::string _dump(const json& document) {
    // File contents may hold anything: bytes that are not UTF-8 are replaced.
    return document.dump(2, ' ', false, json::error_handler_t::replace);
}

json _outcome_json(json document, const Outcome& outcome) {
    document["error"] = outcome.ok() ? json(nullptr) : json(ErrorName(outcome.code()));
    document["reason"] = outcome.ok() ? json(nullptr) : json(outcome.text());
    return document;
}

} // namespace

void _display_bird_check(UpdaterDisplayInterface& display, const BirdCheckReport& report) {
    display.message(INFO, "Birdfile: %s", _shown(report.path).c_str());
    if (report.descriptor) {
        display.message(INFO, "    Build:    %u", report.build);
        display.message(INFO, "    Version:  %s", _shown(report.version).c_str());
        if (report.generic)
            display.message(INFO, "    Serial:   generic (the module's is written at update)");
        else
            display.message(INFO, "    Serial:   %s", SerialNumberText(report.serial).c_str());
        display.message(INFO, "    Model:    %s", _shown(report.model).c_str());
    }
    if (report.loaded) {
        display.message(INFO, "    Blocks:   %u", static_cast<unsigned>(report.blocks.size()));
        display.message(INFO, "    %-16s %-6s %-10s  %10s", "Kind", "Flags", "Address", "Bytes");
        for (const BirdBlockReport& b : report.blocks)
            display.message(INFO, "    %-16s %-6u 0x%08X  %10u", BirdBlockKind(b.type), b.flags,
                            b.address, b.size);
    }
    display.message(INFO, "Check: %s", report.outcome.ok() ? "passed" : "failed");
}

void _display_device_record(UpdaterDisplayInterface& display, const DeviceRecordReport& report) {
    if (!report.outcome.ok())
        return;
    display.message(INFO, "Device %s: %s", SerialNumberText(report.serial).c_str(),
                    _shown(report.directory).c_str());
    for (const auto& entry : report.attributes)
        display.message(INFO, "    %-20s %s", _shown(entry.first).c_str(),
                        _shown(entry.second).c_str());
    if (report.builds.empty()) {
        display.message(INFO, "    No builds stored.");
        return;
    }
    display.message(INFO, "    %-15s %-15s %10s  %s", "Build", "Version", "Bytes", "File");
    for (const StoredBuildReport& b : report.builds) {
        std::string build = b.build != 0 ? std::to_string(b.build) : "-";
        std::string state = b.intact ? "" : " (damaged: " + b.problem + ")";
        display.message(INFO, "    %-15s %-15s %10llu  %s%s", build.c_str(),
                        _shown(b.version).c_str(), static_cast<unsigned long long>(b.size),
                        _shown(b.name).c_str(), _shown(state).c_str());
    }
}

std::string _bird_check_json(const BirdCheckReport& report) {
    json j;
    j["file"] = report.path;
    j["passes"] = report.outcome.ok();
    j["loaded"] = report.loaded;
    if (report.descriptor) {
        j["build"] = report.build;
        j["version"] = report.version;
        j["generic"] = report.generic;
        j["serial"] = report.generic ? json(nullptr) : json(SerialNumberText(report.serial));
        j["model"] = report.model;
    } else {
        j["build"] = j["version"] = j["generic"] = j["serial"] = j["model"] = nullptr;
    }
    json blocks = json::array();
    for (const BirdBlockReport& b : report.blocks)
        blocks.push_back({{"kind", BirdBlockKind(b.type)},
                          {"type", b.type},
                          {"flags", b.flags},
                          {"address", b.address},
                          {"size", b.size}});
    j["blocks"] = blocks;
    return _dump(_outcome_json(j, report.outcome));
}

std::string _device_record_json(const DeviceRecordReport& report) {
    json j;
    j["serial"] = SerialNumberText(report.serial);
    j["directory"] = report.outcome.ok() ? json(report.directory) : json(nullptr);
    j["attributes"] = report.attributes;
    json builds = json::array();
    for (const StoredBuildReport& b : report.builds)
        builds.push_back({{"file", b.name},
                          {"build", b.build != 0 ? json(b.build) : json(nullptr)},
                          {"version", b.intact ? json(b.version) : json(nullptr)},
                          {"size", b.size},
                          {"intact", b.intact},
                          {"problem", b.intact ? json(nullptr) : json(b.problem)}});
    j["builds"] = builds;
    return _dump(_outcome_json(j, report.outcome));
}

std::string _fingerprint_json(const Fingerprint& fingerprint) {
    json words = json::array();
    for (uint32_t w : fingerprint.words)
        words.push_back(SerialNumberText(w));
    return _dump(json{{"fingerprint", words}});
}
