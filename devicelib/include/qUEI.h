// Byte order of values inside packet data: modules send multi-byte values
// big-endian (most significant byte first). Callers pass buffers of at least
// 2 (short) or 4 (int) bytes.
#pragma once

#include <cstddef>
#include <cstdint>

// (buf[0] << 8) | buf[1].
uint16_t qUEI_RetrieveShort(const uint8_t* buf);

// Writes v high byte first.
void qUEI_StoreShort(uint8_t* buf, uint16_t v);

// buf[0] is the most significant byte.
uint32_t qUEI_RetrieveInt(const uint8_t* buf);

// Writes v most significant byte first.
void qUEI_StoreInt(uint8_t* buf, uint32_t v);

// Converts count 32-bit elements in place from the big-endian order in which
// they arrived to host values. A null buf is ignored.
void qUEI_ModifyIntBuffer(uint32_t* buf, size_t count);
