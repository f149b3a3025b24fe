// Builds BIRD files: block encoding, scrambling, checksum, compression.
#include "birdsim/birdwriter.h"

#include <zlib.h>

#include <cstdio>
#include <stdexcept>

namespace birdwriter {

void PutBE32(Bytes& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v >> 24));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

void PutLE32(Bytes& out, uint32_t v) {
    out.push_back(static_cast<uint8_t>(v));
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v >> 16));
    out.push_back(static_cast<uint8_t>(v >> 24));
}

static void PutField(Bytes& out, const std::string& text) {
    for (size_t i = 0; i < 16; ++i)
        out.push_back(i < text.size() ? static_cast<uint8_t>(text[i]) : static_cast<uint8_t>(' '));
}

Block ImageBlock(uint8_t type, uint8_t flags, uint32_t address, const Bytes& image) {
    Block b;
    b.type = type;
    b.flags = flags;
    PutBE32(b.payload, address);
    b.payload.insert(b.payload.end(), image.begin(), image.end());
    return b;
}

Block DescriptorBlockText(const std::string& build, const std::string& version,
                          const std::string& serial, const std::string& model) {
    Block b;
    b.type = kDescriptor;
    PutField(b.payload, build);
    PutField(b.payload, version);
    PutField(b.payload, serial);
    PutField(b.payload, model);
    return b;
}

Block DescriptorBlock(uint32_t build, const std::string& version, uint32_t serial,
                      const std::string& model) {
    char serialText[16];
    std::snprintf(serialText, sizeof serialText, "%08X", serial);
    return DescriptorBlockText(std::to_string(build), version, serialText, model);
}

Block SerialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress) {
    Block b;
    b.type = kSerialOffsets;
    PutBE32(b.payload, serialAddress);
    PutBE32(b.payload, descriptorAddress);
    return b;
}

Block StartAddressBlock(uint32_t address) {
    Block b;
    b.type = kStartAddress;
    PutBE32(b.payload, address);
    return b;
}

Block RawBlock(uint8_t type, uint8_t flags, const Bytes& payload) {
    Block b;
    b.type = type;
    b.flags = flags;
    b.payload = payload;
    return b;
}

void Scramble(Bytes& image, const uint32_t key[4]) {
    uint8_t keyBytes[16];
    for (int w = 0; w < 4; ++w)
        for (int k = 0; k < 4; ++k)
            keyBytes[w * 4 + k] = static_cast<uint8_t>(key[w] >> (24 - 8 * k));
    uint8_t previousPlain = 0;
    for (size_t j = 0; j < image.size(); ++j) {
        uint8_t plain = image[j];
        image[j] = static_cast<uint8_t>(plain ^ keyBytes[j % 16] ^ previousPlain);
        previousPlain = plain;
    }
}

static uint32_t GetLE32(const Bytes& b, size_t at) {
    return static_cast<uint32_t>(b[at]) | static_cast<uint32_t>(b[at + 1]) << 8 |
           static_cast<uint32_t>(b[at + 2]) << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
}

bool SetVectorChecksum(Bytes& image) {
    if (image.size() < 32)
        return false;
    uint32_t sum = 0;
    for (size_t w = 0; w < 7; ++w)
        sum += GetLE32(image, w * 4);
    uint32_t check = 0u - sum;
    for (int k = 0; k < 4; ++k)
        image[28 + k] = static_cast<uint8_t>(check >> (8 * k));
    return true;
}

uint32_t Crc32(const uint8_t* data, size_t len) {
    uLong crc = crc32(0L, Z_NULL, 0);
    while (len > 0) {
        uInt chunk = len > 0x40000000u ? 0x40000000u : static_cast<uInt>(len);
        crc = crc32(crc, data, chunk);
        data += chunk;
        len -= chunk;
    }
    return static_cast<uint32_t>(crc);
}

Bytes BuildContent(const Description& d) {
    Bytes out;
    PutBE32(out, d.blockCount ? *d.blockCount : static_cast<uint32_t>(d.blocks.size()));
    for (const Block& block : d.blocks) {
        Bytes payload = block.payload;
        if (d.scrambleKey && block.type == kFirmware && payload.size() > 4) {
            if (d.scrambleKey->size() != 4)
                throw std::runtime_error("scramble key needs four words");
            Bytes image(payload.begin() + 4, payload.end());
            Scramble(image, d.scrambleKey->data());
            std::copy(image.begin(), image.end(), payload.begin() + 4);
        }
        out.push_back(static_cast<uint8_t>((block.type & 0x1F) | ((block.flags & 0x07) << 5)));
        PutBE32(out, block.declaredLength ? *block.declaredLength
                                          : static_cast<uint32_t>(payload.size()));
        out.insert(out.end(), payload.begin(), payload.end());
    }
    if (!d.omitChecksum)
        PutBE32(out, d.checksum ? *d.checksum : Crc32(out.data(), out.size()));
    out.insert(out.end(), d.trailer.begin(), d.trailer.end());
    return out;
}

Bytes Compress(const Bytes& content, int level) {
    uLongf capacity = compressBound(static_cast<uLong>(content.size()));
    Bytes out(capacity);
    int rc =
        compress2(out.data(), &capacity, content.data(), static_cast<uLong>(content.size()), level);
    if (rc != Z_OK)
        throw std::runtime_error("zlib compress2 failed with code " + std::to_string(rc));
    out.resize(capacity);
    return out;
}

Bytes BuildFileFromStream(const Description& d, const Bytes& stream) {
    Bytes out;
    for (size_t i = 0; i < 4; ++i)
        out.push_back(i < d.signature.size() ? static_cast<uint8_t>(d.signature[i]) : 0);
    out.push_back(d.versionMajor);
    out.push_back(d.versionMinor);
    out.insert(out.end(), stream.begin(), stream.end());
    if (d.truncateTo && *d.truncateTo < out.size())
        out.resize(*d.truncateTo);
    return out;
}

Bytes BuildFile(const Description& d) {
    return BuildFileFromStream(d, Compress(BuildContent(d), d.compressionLevel));
}

bool WriteBytes(const std::string& path, const Bytes& bytes, std::string* error) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f) {
        if (error)
            *error = "cannot open " + path + " for writing";
        return false;
    }
    size_t n = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), f);
    bool ok = n == bytes.size();
    if (std::fclose(f) != 0)
        ok = false;
    if (!ok && error)
        *error = "cannot write " + path;
    return ok;
}

} // namespace birdwriter
