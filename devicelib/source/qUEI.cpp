#include "qUEI.h"

#include <cstring>

uint16_t qUEI_RetrieveShort(const uint8_t* buf) {
    return static_cast<uint16_t>((buf[0] << 8) | buf[1]);
}

void qUEI_StoreShort(uint8_t* buf, uint16_t v) {
    buf[0] = static_cast<uint8_t>(v >> 8);
    buf[1] = static_cast<uint8_t>(v);
}

uint32_t qUEI_RetrieveInt(const uint8_t* buf) {
    return (static_cast<uint32_t>(buf[0]) << 24) | (static_cast<uint32_t>(buf[1]) << 16) |
           (static_cast<uint32_t>(buf[2]) << 8) | static_cast<uint32_t>(buf[3]);
}

void qUEI_StoreInt(uint8_t* buf, uint32_t v) {
    buf[0] = static_cast<uint8_t>(v >> 24);
    buf[1] = static_cast<uint8_t>(v >> 16);
    buf[2] = static_cast<uint8_t>(v >> 8);
    buf[3] = static_cast<uint8_t>(v);
}

void qUEI_ModifyIntBuffer(uint32_t* buf, size_t count) {
    if (buf == nullptr) {
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        uint8_t bytes[4];
        memcpy(bytes, &buf[i], sizeof bytes);
        buf[i] = qUEI_RetrieveInt(bytes);
    }
}
