#include "SerialNumber.h"

#include <cstdio>

std::string SerialNumberText(uint32_t serial) {
    char text[9];
    std::snprintf(text, sizeof text, "%08X", static_cast<unsigned>(serial));
    return text;
}
