// How the commands name and choose firmware builds. -G, -U, recovery and
// load_bird all read build numbers, ask the server for a module's latest build
// and name stored files through these, so each rule lives in one place.
#pragma once

#include <cstdint>
#include <string>

// Reads a build number given as decimal text (from -b, the server or a file
// name). False, value untouched, for a text that is not a number or does not
// fit 32 bits.
bool ParseBuildNumber(const std::string& text, uint32_t& value);

// The store's file name of a build: "1234.bird".
std::string BuildFileName(uint32_t build);

// Asks the update server for the module's latest build. False when the query
// failed. A build text that is not a number is logged and leaves build 0;
// firmware receives the text the server wants back with the build request.
bool QueryLatestBuild(uint32_t serialNumber, const char* serverUrl, uint32_t& build,
                      std::string& firmware);
