// How the commands name and choose firmware builds. -G, -U, recovery and
// load_bird all read build numbers, ask the server for a module's latest build
// and name stored files through these, so each rule lives in one place.
#pragma once

#include <cstdint>
#include <string>

// Reads a build number given as decimal text (from -b, the server or a file
// name): one or more digits 0-9 and nothing else (no sign, no blank, no
// "0x"), leading zeros allowed, value within 32 bits. False, value
// untouched, for anything else.
bool ParseBuildNumber(const std::string& text, uint32_t& value);

// A build number sent by the update server (its latest build, an entry of a
// build list): ParseBuildNumber's rules, and never 0, which names no build.
bool ParseServerBuild(const std::string& text, uint32_t& value);

// The store's file name of a build: "1234.bird".
std::string BuildFileName(uint32_t build);

// The build a file name recorded in a module's attributes stands for: its
// leading decimal digits ("1234.bird" is 1234). False for a name that does
// not begin with digits (a path given with -f) or whose digits do not fit
// 32 bits.
bool BuildOfFileName(const std::string& name, uint32_t& value);

// Asks the update server for the module's latest build. False when the query
// failed. buildText receives the server's text (without a carriage return
// that ends its line); a text that is not a valid
// build (ParseServerBuild) is logged and leaves build 0 with the result true,
// so the caller can name it. firmware receives the text the server wants
// back with the build request.
bool QueryLatestBuild(uint32_t serialNumber, const char* serverUrl, uint32_t& build,
                      std::string& firmware, std::string& buildText);
// The same, false also when the server's latest build is not a valid build.
bool QueryLatestBuild(uint32_t serialNumber, const char* serverUrl, uint32_t& build,
                      std::string& firmware);
