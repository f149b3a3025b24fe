// The identifier a chip's ROM bootloader reports: four 32-bit words, printed
// in word order.
#pragma once

#include <cstdint>

struct Fingerprint {
    uint32_t words[4] = {0, 0, 0, 0};
};
