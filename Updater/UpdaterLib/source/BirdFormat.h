// The integer readers of the BIRD format, shared by the units of BirdFile:
// every integer of the header and of the content is big-endian.
#pragma once

#include <cstdint>

namespace birdformat {

inline uint32_t GetInt(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

inline uint32_t GetShort(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}

// "bird", major, minor.
constexpr uint32_t kHeaderSize = 6;

} // namespace birdformat
