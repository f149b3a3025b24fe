// What -C tells about a BIRD file and -I about a module's store entry: plain
// records that the operations fill and the command line prints (as a table
// or as JSON).
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "Outcome.h"

// One block of a BIRD file as -C shows it.
struct BirdBlockReport {
    uint8_t type = 0;
    uint8_t flags = 0;
    uint32_t address = 0; // load address of loader and firmware images, else 0
    uint32_t size = 0;    // image bytes for loader and firmware blocks, else the payload's
};

// "loader", "firmware", "serial-offsets", "descriptor", "start-address",
// or "unknown" for the types that carry no meaning.
const char* BirdBlockKind(uint8_t type);

struct BirdCheckReport {
    std::string path;
    bool loaded = false;     // the file was read and its blocks scanned
    bool descriptor = false; // it holds a descriptor: the four fields below
    uint32_t build = 0;
    std::string version;
    bool generic = false; // the serial number is written into it at update time
    uint32_t serial = 0;  // the module it was made for (when not generic)
    std::string model;
    std::vector<BirdBlockReport> blocks;
    Outcome outcome; // success: the file passes
};

// One file of a module's store directory.
struct StoredBuildReport {
    std::string name;
    uint32_t build = 0; // 0 when the name is no build's
    uint64_t size = 0;
    bool intact = false; // passes the check -C makes
    std::string version;
    std::string problem; // why it is not intact
};

struct DeviceRecordReport {
    uint32_t serial = 0;
    std::string directory;
    std::map<std::string, std::string> attributes;
    std::vector<StoredBuildReport> builds; // in build order
    Outcome outcome;
};
