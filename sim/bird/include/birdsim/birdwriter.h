// birdwriter: builds BIRD firmware files for tests and simulators.
//
// A BIRD file is a six-byte header ("bird", major, minor) followed by one
// zlib stream. The stream's content is a big-endian block count, the blocks
// (type/flags byte, big-endian payload length, payload) and a trailing
// big-endian checksum. The checksum written here is the CRC-32 (zlib's
// crc32, the IEEE polynomial) of every content byte before it.
//
// This code is deliberately independent of the updater's own reader so that
// the two check each other. Everything here is plain value code: no global
// state, safe to use from several threads on separate objects.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace birdwriter {

using Bytes = std::vector<uint8_t>;

// Block type codes of the format.
enum BlockType : uint8_t {
    kLoader = 0,
    kFirmware = 1,
    kSerialOffsets = 2,
    kDescriptor = 4,
    kStartAddress = 5,
};

// One block as it is written: the type (0..31), the flags (0..7) and the raw
// payload. For loader and firmware blocks the payload starts with the
// big-endian load address; use ImageBlock() to build those.
struct Block {
    uint8_t type = 0;
    uint8_t flags = 0;
    Bytes payload;
    // When set, the length field written for this block (lets tests declare a
    // length that does not match the payload, e.g. one running past the end).
    std::optional<uint32_t> declaredLength;
};

// Everything that makes one file.
struct Description {
    std::string signature = "bird"; // first four bytes (exactly four characters written,
                                    // padded with NULs or cut)
    uint8_t versionMajor = 1;
    uint8_t versionMinor = 1;
    std::vector<Block> blocks;
    // Overrides for building deliberately inconsistent files.
    std::optional<uint32_t> blockCount; // count field (default: blocks.size())
    std::optional<uint32_t> checksum;   // trailing checksum (default: CRC-32)
    bool omitChecksum = false;          // leave the trailing checksum out entirely
    Bytes trailer;                      // extra bytes after the checksum
    // When set, every firmware block's image (the bytes after the address)
    // is scrambled with this key before it is written (see Scramble()).
    std::optional<std::vector<uint32_t>> scrambleKey;
    int compressionLevel = 9; // zlib level 0..9
    // When set, the final file is cut to this many bytes (for truncated files).
    std::optional<size_t> truncateTo;
};

// --- Block builders --------------------------------------------------------

// Loader (type 0) or firmware (type 1) block: big-endian address + image.
Block ImageBlock(uint8_t type, uint8_t flags, uint32_t address, const Bytes& image);
// Descriptor block: four 16-byte fields padded with spaces: build number in
// decimal, version text, serial number as eight upper-case hex digits, model
// name. Texts longer than 16 characters are cut.
Block DescriptorBlock(uint32_t build, const std::string& version, uint32_t serial,
                      const std::string& model);
// Same, with the serial field given as raw text (e.g. to test odd contents).
Block DescriptorBlockText(const std::string& build, const std::string& version,
                          const std::string& serial, const std::string& model);
// Serial-offsets block: big-endian S (serial word address) and D (address of
// the 16-byte serial text of the image's own descriptor).
Block SerialOffsetsBlock(uint32_t serialAddress, uint32_t descriptorAddress);
// Start-address block: one big-endian address.
Block StartAddressBlock(uint32_t address);
// Any other block: type, flags and raw payload.
Block RawBlock(uint8_t type, uint8_t flags, const Bytes& payload);

// --- Pieces ----------------------------------------------------------------

// Appends v big-endian / little-endian.
void PutBE32(Bytes& out, uint32_t v);
void PutLE32(Bytes& out, uint32_t v);

// Scrambles an image in place with a key of four 32-bit words. The key string
// is the 16 bytes of k0..k3, each most significant byte first. Byte j becomes
// plain[j] XOR key[j mod 16] XOR plain[j-1] (plain[-1] = 0). The reader undoes
// it by XOR with the key byte and the previous descrambled byte.
void Scramble(Bytes& image, const uint32_t key[4]);

// The Cortex-M vector checksum the boot ROM checks before it starts the
// flash: the two's complement of the sum of the little-endian words 0..6 of
// an image at address 0, stored in word 7 (so words 0..7 sum to zero).
// Returns false when the image is shorter than 32 bytes.
bool SetVectorChecksum(Bytes& image);

// CRC-32 used for the trailing checksum.
uint32_t Crc32(const uint8_t* data, size_t len);

// The decompressed content (count, blocks, checksum, trailer).
Bytes BuildContent(const Description& d);

// zlib-compresses bytes (RFC 1950 stream). Throws std::runtime_error on a zlib
// failure.
Bytes Compress(const Bytes& content, int level = 9);

// Whole file: header + compressed content (+ truncation).
Bytes BuildFile(const Description& d);
// Header + an already compressed (or deliberately broken) stream.
Bytes BuildFileFromStream(const Description& d, const Bytes& stream);

// Writes bytes to a file. Returns false and sets *error on failure.
bool WriteBytes(const std::string& path, const Bytes& bytes, std::string* error);

// --- Text descriptions ------------------------------------------------------

// Parses the text description format documented in sim/bird/README.md.
// Relative "file:" sources are resolved against baseDir. Returns false and
// sets *error (with the line number) on bad input.
bool ParseDescription(const std::string& text, const std::string& baseDir, Description* out,
                      std::string* error);

} // namespace birdwriter
