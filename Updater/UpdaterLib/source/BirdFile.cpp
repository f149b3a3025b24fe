#include "BirdFile.h"

#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "BirdBlockScanner.h"
#include "BirdFormat.h"
#include "Log.h"
#include "SerialNumber.h"

namespace {

using birdformat::GetInt;

// Image words are in the target's little-endian order.
uint32_t GetLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutLE32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<uint8_t>(v >> (8 * k));
}

} // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* path) : filename(path ? path : "") {
    assert(this->filename.length() > 0);
    if (!Load())
        throw std::runtime_error(filename + ": " + problem_);
}

void BirdFile::ResetContent() {
    problem_.clear();
    signature = version = checksum = blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = descriptorOffset = 0;
    data.reset();
    dataSize = 0;
}

bool BirdFile::ScanBlocks(const uint8_t* content, uint32_t size) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    if (!content)
        size = 0;
    BirdBlockScanner scanner;
    scanner.Feed(content, size);
    bool result = scanner.Finish();
    for (const BirdBlockScanner::Entry& e : scanner.entries()) {
        BirdBlock block;
        block.type = e.type;
        block.flags = e.flags;
        block.length = e.length;
        block.address = e.address;
        block.data = const_cast<uint8_t*>(content + e.offset);
        blocks.push_back(block);
    }
    blockCount = static_cast<uint32_t>(blocks.size());
    checksum = scanner.checksum();
    return result;
}

std::vector<BirdBlock> BirdFile::FindBlocks(BLOCK_TYPE type) const {
    std::vector<BirdBlock> found;
    for (const BirdBlock& b : blocks)
        if (b.type == type)
            found.push_back(b);
    return found;
}

bool BirdFile::FindSerialNumberOffsets() {
    if (blockCount == 0)
        return false;
    for (const BirdBlock& b : blocks) {
        if (b.type != BIRD_BLOCK_SERIAL_OFFSETS)
            continue;
        // Only the first block counts. One too short to hold both addresses
        // gives no offsets (both stay 0), so no serial number is written.
        if (!b.data || b.length < SERIAL_OFFSETS_SIZE)
            return false;
        serialNumberOffset = GetInt(b.data);
        descriptorOffset = GetInt(b.data + 4);
        Log::log(DEBUG_BirdFile, "BIRDFILE: Offsets: Serial number: %d, Descriptor: %d\n",
                 static_cast<int>(serialNumberOffset), static_cast<int>(descriptorOffset));
        return true;
    }
    return false;
}

bool BirdFile::ReplaceSerialNumber(uint32_t serial) {
    const std::string text = SerialNumberText(serial);
    bool result = false;
    for (const BirdBlock& b : blocks) {
        if (b.type != BIRD_BLOCK_FIRMWARE || b.length < 4)
            continue;
        uint8_t* image = b.data + 4;
        uint64_t start = b.address;
        uint64_t end = start + b.length - 4; // exclusive
        uint64_t s = serialNumberOffset, d = descriptorOffset;
        if (s != 0) {
            if (start <= s && s + 4 <= end) {
                uint8_t* at = image + (s - start);
                Log::log(DEBUG_BirdFile, "BIRDFILE: updating serial number from %08X ==> %08X\n",
                         GetLE32(at), serial);
                PutLE32(at, serial);
            }
            result = true;
        }
        if (d != 0 && start <= d && d + 16 <= end) {
            uint8_t* at = image + (d - start);
            for (size_t k = 0; k < 8; ++k)
                at[2 * k] = static_cast<uint8_t>(text[k]);
            result = true;
        }
    }
    return result;
}

bool BirdFile::ReplaceVectorChecksum() {
    for (const BirdBlock& b : blocks) {
        if (b.type != BIRD_BLOCK_FIRMWARE || b.length < 4 + 32)
            continue;
        if (GetInt(b.data) != 0)
            continue;
        uint8_t* image = b.data + 4;
        uint32_t sum = 0;
        // The boot ROM starts the flash only when words 0..7 of the vector
        // table sum to zero: word 7 is the two's complement of words 0..6.
        for (int w = 0; w < 7; ++w)
            sum += GetLE32(image + 4 * w);
        uint32_t check = 0u - sum;
        Log::log(DEBUG_BirdFile, "BIRDFILE: updating vector checksum from %08X ==> %08X\n",
                 GetLE32(image + 0x1C), check);
        PutLE32(image + 0x1C, check);
    }
    return true;
}

bool BirdFile::DecodeFirmwareBlocks(const uint32_t* key) {
    if (!key)
        return false;
    uint8_t keyBytes[16];
    for (int w = 0; w < 4; ++w)
        for (int k = 0; k < 4; ++k)
            keyBytes[4 * w + k] = static_cast<uint8_t>(key[w] >> (24 - 8 * k));
    for (const BirdBlock& b : blocks) {
        if (b.type != BIRD_BLOCK_FIRMWARE || b.length < 4)
            continue;
        uint8_t* image = b.data + 4;
        uint8_t chain = 0;
        unsigned i = 0;
        for (uint32_t j = 0; j < b.length - 4; ++j) {
            image[j] = static_cast<uint8_t>(image[j] ^ keyBytes[i] ^ chain);
            chain = image[j];
            i = (i + 1) % 16;
        }
    }
    return true;
}

const uint8_t* BirdFile::Descriptor() const {
    for (const BirdBlock& b : blocks)
        if (b.type == BIRD_BLOCK_DESCRIPTOR)
            return b.length >= DESCRIPTOR_SIZE ? b.data : nullptr;
    return nullptr;
}

bool BirdFile::ValidateModel(const char* model) const {
    const uint8_t* d = Descriptor();
    if (!d || !model)
        return false;
    char field[17];
    std::memcpy(field, d + 48, 16);
    field[16] = '\0';
    for (int k = 15; k >= 0 && field[k] == ' '; --k)
        field[k] = '\0';
    size_t n = std::strlen(model);
    if (n > 16 || std::strncmp(field, model, n) != 0)
        return false;
    Log::log(DEBUG_BirdFile, "Model matches model number ([%s] == [%s])\n", field, model);
    return true;
}

uint32_t BirdFile::GetSerialNumber() const {
    const uint8_t* d = Descriptor();
    if (!d)
        return 0;
    char text[9];
    std::memcpy(text, d + 32, 8);
    text[8] = '\0';
    return static_cast<uint32_t>(std::strtoul(text, nullptr, 16));
}

bool BirdFile::ValidateSerialNumber(uint32_t serial) const {
    return serial == GetSerialNumber();
}

uint32_t BirdFile::GetBuild() const {
    const uint8_t* d = Descriptor();
    if (!d)
        return 0;
    uint32_t build = 0;
    for (int k = 0; k < 15 && std::isdigit(d[k]); ++k)
        build = build * 10 + (d[k] - '0');
    return build;
}

std::string BirdFile::GetVersion() const {
    const uint8_t* d = Descriptor();
    if (!d)
        return std::string();
    std::string text;
    for (int k = 16; k < 31 && d[k] != ' ' && d[k] != '\0'; ++k)
        text += static_cast<char>(d[k]);
    return text;
}

bool BirdFile::ValidateData(const uint8_t* pattern, uint32_t n) const {
    Log::log(DEBUG_BirdFile, "BIRDFILE: looking for data pattern in [%s]\n", filename.c_str());
    bool found = false;
    if (pattern && n > 0) {
        for (const BirdBlock& b : blocks) {
            if (b.type != BIRD_BLOCK_FIRMWARE || b.length < n)
                continue;
            // Every start position, the last one (length - n) included.
            for (uint32_t i = 0; i <= b.length - n; ++i) {
                if (std::memcmp(b.data + i, pattern, n) == 0) {
                    Log::log(DEBUG_BirdFile, "Found data at %d\n", static_cast<int>(i));
                    found = true;
                }
            }
        }
    }
    Log::log(DEBUG_BirdFile, "\n");
    return found;
}

bool BirdFile::DumpBlocks(BLOCK_TYPE type) const {
    std::printf("BIRDFILE: BLOCK DUMP [%s]\n", filename.c_str());
    for (const BirdBlock& b : blocks) {
        if (b.type != type)
            continue;
        std::string text;
        for (uint32_t i = 0; i < b.length; ++i) {
            if (i % 50 == 0) {
                std::printf(" %s\r\n%06d: ", text.c_str(), static_cast<int>(i));
                text.clear();
            }
            uint8_t c = b.data[i];
            text += std::isprint(c) ? static_cast<char>(c) : ' ';
            std::printf("%02X ", c);
        }
        std::printf(" %s\n", text.c_str());
    }
    std::printf("\n");
    std::fflush(stdout);
    return true;
}
