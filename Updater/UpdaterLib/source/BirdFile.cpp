#include "BirdFile.h"

#include <zlib.h>

#include <cassert>
#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>
#include <stdexcept>

#include "Log.h"
#include "SerialNumber.h"
#include "qFile.h"

namespace {

// The only integer readers of the format: big-endian 32 and 16 bits.
uint32_t GetInt(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 |
           static_cast<uint32_t>(p[2]) << 8 | static_cast<uint32_t>(p[3]);
}

uint32_t GetShort(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 8 | p[1];
}

// Image words are in the target's little-endian order.
uint32_t GetLE32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
           static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

void PutLE32(uint8_t* p, uint32_t v) {
    for (int k = 0; k < 4; ++k)
        p[k] = static_cast<uint8_t>(v >> (8 * k));
}

constexpr uint32_t kHeaderSize = 6;

} // namespace

BirdFile::BirdFile() = default;

BirdFile::BirdFile(const char* path) : filename(path ? path : "") {
    assert(this->filename.length() > 0);
    if (!Load())
        throw std::runtime_error("Failed to load bird data");
}

void BirdFile::ResetContent() {
    signature = version = checksum = blockCount = 0;
    blocks.clear();
    hasSerialOffsets = false;
    serialNumberOffset = descriptorOffset = 0;
    data.reset();
    dataSize = 0;
}

bool BirdFile::Load() {
    Log::log(DEBUG_BirdFile, "BIRDFILE: Loading File [%s]\n", filename.c_str());
    ResetContent();
    if (!qFile_Exists(filename.c_str())) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: BIRD file not found [%s]\n", filename.c_str());
        return false;
    }
    qUnixFile* file = qFile_Open(filename.c_str(), qFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 filename.c_str());
        return false;
    }
    size_t size = 0;
    qErr err = qFile_GetSize(file, &size);
    if (err != qErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) getting bird file size from %s\n", err,
                 filename.c_str());
        qFile_Close(&file);
        return false;
    }

    bool result = false;
    std::unique_ptr<uint8_t[]> buffer(new (std::nothrow) uint8_t[size > 0 ? size : 1]);
    size_t count = 0;
    err = buffer ? qFile_Read(file, buffer.get(), size, &count) : qErrMemory;
    if (err != qErrNone) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) reading %s\n", err, filename.c_str());
    } else if (count < size) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error reading %s read %zu bytes of %zu byte file\n",
                 filename.c_str(), count, size);
    } else {
        if (size > kHeaderSize) {
            signature = GetInt(buffer.get());
            version = GetShort(buffer.get() + 4);
        }
        // A file of 6 bytes or fewer holds no stream: an empty one fails in zlib.
        const uint8_t* stream = buffer.get() + (size > kHeaderSize ? kHeaderSize : size);
        if (DecompressData(stream, size > kHeaderSize ? size - kHeaderSize : 0)) {
            ScanBlocks(data.get(), dataSize); // a mismatch is logged, not fatal
            FindSerialNumberOffsets();
            result = true;
        }
    }
    if (!FindBlocks(BIRD_BLOCK_SERIAL_OFFSETS).empty())
        hasSerialOffsets = true;
    buffer.reset();
    qFile_Close(&file);
    return result;
}

bool BirdFile::VerifyFile(const char* path) {
    qUnixFile* file = qFile_Open(path, qFileModeRead);
    if (!file) {
        Log::log(DEBUG_BirdFile, "BIRDFILE: Error - cannot open bird file: '%s'\n",
                 path ? path : "");
        return false;
    }
    uint8_t header[kHeaderSize];
    size_t count = 0;
    qErr err = qFile_Read(file, header, sizeof header, &count);
    qFile_Close(&file);
    return err == qErrNone && count == sizeof header &&
           std::memcmp(header, BIRD_FILE_SIGNATURE, 4) == 0 && header[4] != 0 && header[5] != 0;
}

bool BirdFile::DecompressData(const uint8_t* src, size_t len) {
    data.reset();
    dataSize = 0;
    // Start at eight times the stream; flash images padded with 0xFF often
    // compress far better than that, so grow on zlib's buffer error, up to
    // MAX_CONTENT_SIZE.
    size_t capacity = len <= MAX_CONTENT_SIZE / 8 ? len * 8 : MAX_CONTENT_SIZE;
    if (capacity == 0)
        capacity = 1;
    int rc = Z_MEM_ERROR;
    for (;;) {
        std::unique_ptr<uint8_t[]> out(new (std::nothrow) uint8_t[capacity]);
        if (!out) {
            rc = Z_MEM_ERROR;
            break;
        }
        uLongf outLen = static_cast<uLongf>(capacity);
        uLong srcLen = static_cast<uLong>(len);
        rc = uncompress(out.get(), &outLen, src, srcLen);
        if (rc == Z_OK) {
            // Keep exactly the content so nothing past it can be addressed.
            data.reset(new (std::nothrow) uint8_t[outLen > 0 ? outLen : 1]);
            if (!data) {
                rc = Z_MEM_ERROR;
                break;
            }
            if (outLen > 0)
                std::memcpy(data.get(), out.get(), outLen);
            dataSize = static_cast<uint32_t>(outLen);
            return true;
        }
        if (rc != Z_BUF_ERROR || capacity >= MAX_CONTENT_SIZE)
            break;
        capacity = capacity > MAX_CONTENT_SIZE / 2 ? MAX_CONTENT_SIZE : capacity * 2;
    }
    Log::log(DEBUG_BirdFile, "BIRDFILE: Error (%d) decompressing bird file.\n", rc);
    data.reset();
    dataSize = 0;
    return false;
}

bool BirdFile::ScanBlocks(const uint8_t* content, uint32_t size) {
    blockCount = 0;
    blocks.clear();
    checksum = 0;
    if (!content)
        size = 0;
    // A content shorter than the count field reports 0 blocks and is a size mismatch.
    uint32_t reported = size >= 4 ? GetInt(content) : 0;
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File reports %d blocks\n", static_cast<int>(reported));
    Log::log(DEBUG_BirdFile, "BIRDFILE: Bird file objects:\n");
    Log::log(DEBUG_BirdFile, "BIRDFILE: \t\tType Flags Length\n");
    uint32_t pos = size >= 4 ? 4 : size;
    uint32_t remaining = size - pos;
    while (remaining > 4 && pos < size) {
        // remaining >= 5 here: the type byte and the length are inside the content.
        BirdBlock block;
        const uint8_t* p = content + pos;
        block.type = p[0] & BIRD_FILE_TYPE_MASK;
        block.flags = static_cast<uint8_t>((p[0] & BIRD_FILE_FLAG_MASK) >> 5);
        block.length = GetInt(p + 1);
        Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t %02X   %02X   %d\n", block.type, block.flags,
                 static_cast<int>(block.length));
        // A block whose declared length runs past the content ends the scan;
        // it is not added, and the leftover bytes show up as a size mismatch.
        if (block.length > remaining - 5)
            break;
        block.data = const_cast<uint8_t*>(p + 5);
        if ((block.type == BIRD_BLOCK_LOADER || block.type == BIRD_BLOCK_FIRMWARE) &&
            block.length >= 4)
            block.address = GetInt(block.data);
        if (block.type == BIRD_BLOCK_DESCRIPTOR) {
            for (uint32_t offset = 0; offset < DESCRIPTOR_SIZE; offset += 16) {
                char field[17] = {0};
                if (block.length > offset) {
                    uint32_t n = block.length - offset < 16 ? block.length - offset : 16;
                    std::memcpy(field, block.data + offset, n);
                }
                Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t \t[%16.16s]\n", field);
            }
        }
        pos += 5 + block.length;
        remaining -= 5 + block.length;
        ++blockCount;
        blocks.push_back(block);
    }
    if (remaining >= 4 && pos <= size - 4)
        checksum = GetInt(content + pos);
    Log::log(DEBUG_BirdFile, "BIRDFILE:\t\t File checksum %08X\n", checksum);
    remaining -= 4; // wraps below zero when the checksum is missing: logged as negative

    bool result = true;
    if (remaining != 0) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in data size. (%d bytes remaining)\n",
                 static_cast<int>(remaining));
        result = false;
    }
    if (blockCount != reported) {
        Log::log(DEBUG_BirdFile,
                 "BIRDFILE: Block parsing mismatch in number of blocks. (%d != %d)\n",
                 static_cast<int>(blockCount), static_cast<int>(reported));
        result = false;
    }
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
        for (int w : {0, 1, 2, 3, 4, 6})
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

bool BirdFile::IsCompleteFile(const uint8_t* bytes, size_t length) {
    const size_t sigLength = std::strlen(BIRD_FILE_SIGNATURE);
    const size_t header = sigLength + 2;
    if (bytes == nullptr || length <= header ||
        std::memcmp(bytes, BIRD_FILE_SIGNATURE, sigLength) != 0 || bytes[sigLength] == 0 ||
        bytes[sigLength + 1] == 0)
        return false;
    // The stream is inflated into a small scratch buffer and the output
    // dropped, so the check costs no memory.
    z_stream z{};
    if (inflateInit(&z) != Z_OK)
        return false;
    unsigned char scratch[16384];
    const unsigned char* next = bytes + header;
    size_t left = length - header;
    int rc = Z_OK;
    while (rc == Z_OK) {
        if (z.avail_in == 0) {
            uInt chunk = left > (1u << 30) ? (1u << 30) : static_cast<uInt>(left);
            z.next_in = const_cast<Bytef*>(next);
            z.avail_in = chunk;
            next += chunk;
            left -= chunk;
        }
        z.next_out = scratch;
        z.avail_out = sizeof scratch;
        rc = inflate(&z, Z_NO_FLUSH);
        if (rc == Z_BUF_ERROR && z.avail_in == 0 && left == 0)
            break; // the input ended before the stream did
        if (rc == Z_BUF_ERROR)
            rc = Z_OK; // only the scratch buffer was full
    }
    inflateEnd(&z);
    return rc == Z_STREAM_END;
}
