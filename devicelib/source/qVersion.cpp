#include "qVersion.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

namespace {

struct Feature {
    const char* name;
    const char* description;
};

const Feature kFeatures[] = {
    {"VERSION", "Version Query API"},
};

constexpr size_t kVersionStringSize = 15;

} // namespace

uint8_t qVersion_ParseMajor(uint32_t packed) {
    return static_cast<uint8_t>((packed >> 28) & 0x0F);
}

uint8_t qVersion_ParseMinor(uint32_t packed) {
    return static_cast<uint8_t>((packed >> 24) & 0x0F);
}

uint32_t qVersion_ParsePatch(uint32_t packed) {
    return packed & 0x00FFFFFFu;
}

int qVersion_ParseString(uint32_t packed, char* buf, size_t size) {
    if (buf == nullptr) {
        size = 0; // snprintf with size 0 only measures
    }
    return snprintf(buf, size, "%d.%d.%d", qVersion_ParseMajor(packed), qVersion_ParseMinor(packed),
                    static_cast<int>(qVersion_ParsePatch(packed)));
}

int qVersion_GetMajor() {
    return qVERSION_MAJOR;
}
int qVersion_GetMinor() {
    return qVERSION_MINOR;
}
int qVersion_GetPatch() {
    return qVERSION_PATCH;
}

const char* qVersion_GetString() {
    static char buffer[kVersionStringSize];
    static std::once_flag done;
    std::call_once(done, [] {
        memset(buffer, 0, sizeof buffer);
        snprintf(buffer, kVersionStringSize, "%d.%d%s%d", qVERSION_MAJOR, qVERSION_MINOR,
                 qVERSION_PHASE, qVERSION_PATCH);
    });
    return buffer;
}

bool qVersion_IsAtLeast(uint8_t major, uint8_t minor, uint8_t patch) {
    return qVersion_IsAtLeastCompare(qVERSION_MAJOR, qVERSION_MINOR, qVERSION_PATCH, major, minor,
                                     patch);
}

bool qVersion_IsAtLeastCompare(uint8_t haveMajor, uint8_t haveMinor, uint8_t havePatch,
                               uint8_t wantMajor, uint8_t wantMinor, uint8_t wantPatch) {
    if (haveMajor != wantMajor) {
        return haveMajor > wantMajor;
    }
    if (haveMinor != wantMinor) {
        return haveMinor > wantMinor;
    }
    return havePatch >= wantPatch;
}

bool qVersion_HasFeature(const char* name) {
    if (name == nullptr) {
        return false;
    }
    for (const Feature& f : kFeatures) {
        if (strcmp(f.name, name) == 0) {
            return true;
        }
    }
    return false;
}

char* qVersion_GetFeatureList() {
    size_t size = 1 + 1; // room for the first feature, plus the terminator
    for (const Feature& f : kFeatures) {
        size += strlen(f.name) + strlen(f.description) + 3;
    }
    char* list = static_cast<char*>(calloc(size, 1));
    if (list == nullptr) {
        return nullptr;
    }
    for (const Feature& f : kFeatures) {
        strcat(list, f.name);
        strcat(list, " - ");
        strcat(list, f.description);
    }
    return list;
}

void qVersion_DestroyFeatureList(char** list) {
    if (list == nullptr) {
        return;
    }
    free(*list);
    *list = nullptr;
}
