#include "base64.h"

#include <cstdint>
#include <cstdlib>

unsigned char* base64_decode(const char* text, size_t length, size_t* outLength) {
    size_t ignored = 0;
    size_t* outLen = outLength ? outLength : &ignored;
    *outLen = 0;
    if (length % 4 != 0 || (length > 0 && text == nullptr))
        return nullptr;

    // The table covers every byte value, so no input byte can index past it.
    static const char alphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    uint8_t table[256] = {0};
    for (uint8_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(alphabet[i])] = i;

    size_t padding = 0;
    if (length >= 4 && text[length - 1] == '=')
        padding = text[length - 2] == '=' ? 2 : 1;
    size_t decoded = length / 4 * 3 - padding;

    unsigned char* out = static_cast<unsigned char*>(std::malloc(decoded + 1));
    if (!out)
        return nullptr;
    const unsigned char* in = reinterpret_cast<const unsigned char*>(text);
    size_t o = 0;
    for (size_t i = 0; i < length; i += 4) {
        uint32_t v = (uint32_t(table[in[i]]) << 18) | (uint32_t(table[in[i + 1]]) << 12) |
                     (uint32_t(table[in[i + 2]]) << 6) | table[in[i + 3]];
        unsigned char bytes[3] = {static_cast<unsigned char>(v >> 16),
                                  static_cast<unsigned char>(v >> 8),
                                  static_cast<unsigned char>(v)};
        for (int k = 0; k < 3 && o < decoded; ++k)
            out[o++] = bytes[k];
    }
    out[decoded] = 0;
    *outLen = decoded;
    return out;
}
