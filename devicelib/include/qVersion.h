// The library's own version and the packed 32-bit firmware version that
// modules report: major in bits 31..28, minor in 27..24, patch in 23..0.
#pragma once

#include <cstddef>
#include <cstdint>

#define qVERSION_MAJOR 2
#define qVERSION_MINOR 9
#define qVERSION_PATCH 29
// Separator printed between minor and patch in the library version string.
#define qVERSION_PHASE "."

// Fields of a packed version.
uint8_t qVersion_ParseMajor(uint32_t packed);
uint8_t qVersion_ParseMinor(uint32_t packed);
uint32_t qVersion_ParsePatch(uint32_t packed);

// Writes "major.minor.patch" of a packed version into buf with snprintf
// semantics (truncated to size, terminated when size > 0) and returns what
// snprintf returns (the untruncated length).
int qVersion_ParseString(uint32_t packed, char* buf, size_t size);

// The library version, 2.9.29.
int qVersion_GetMajor();
int qVersion_GetMinor();
int qVersion_GetPatch();

// The library version as a string ("2.9.29"). The same static buffer is
// returned by every call; it is formatted once, on first use, under a lock.
const char* qVersion_GetString();

// True when the library version is at least major.minor.patch.
bool qVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch);

// True when have >= want, comparing major, then minor, then patch.
bool qVersion_IsAtLeastCompare(uint8_t haveMajor, uint8_t haveMinor, uint8_t havePatch,
                               uint8_t wantMajor, uint8_t wantMinor, uint8_t wantPatch);

// True when the library offers the named feature (e.g. "VERSION"). A null
// name gives false.
bool qVersion_HasFeature(const char* name);

// A newly allocated text listing each feature as "NAME - Description", or
// null when out of memory. Release it with qVersion_DestroyFeatureList.
char* qVersion_GetFeatureList();

// Frees a list from qVersion_GetFeatureList and sets *list to null. Null
// arguments are ignored.
void qVersion_DestroyFeatureList(char** list);
