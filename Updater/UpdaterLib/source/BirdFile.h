// BIRD firmware files: a six-byte header ("bird", major, minor) and a zlib
// stream whose content is a counted sequence of typed blocks and a trailing
// checksum. BirdFile reads a file whole, parses its blocks, checks the
// descriptor against a module and patches the images in memory. It never
// writes a file.
//
// Threads: a BirdFile is used by one thread at a time; it has no shared state.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

// One parsed block. A plain value: data points into the owning BirdFile's
// content buffer (it does not own the bytes) and stays valid while that
// buffer lives, also across a move of the BirdFile. For loader and firmware
// blocks data points at the 4 address bytes; the image starts at data + 4.
struct BirdBlock {
    uint8_t type = 0;     // block type, 0..31
    uint8_t flags = 0;    // the 3 flag bits, 0..7
    uint32_t length = 0;  // payload length (address bytes included for images)
    uint32_t address = 0; // load address of loader/firmware blocks, else 0
    uint8_t* data = nullptr;
};

class BirdFile {
  public:
    enum BLOCK_TYPE {
        BIRD_BLOCK_LOADER = 0,
        BIRD_BLOCK_FIRMWARE = 1,
        BIRD_BLOCK_SERIAL_OFFSETS = 2,
        BIRD_BLOCK_DESCRIPTOR = 4,
        BIRD_BLOCK_START_ADDRESS = 5,
    };

    static constexpr const char* BIRD_FILE_SIGNATURE = "bird";
    static constexpr uint16_t BIRD_FILE_VERSION = 0x0101;
    static constexpr uint8_t BIRD_FILE_TYPE_MASK = 0x1F;
    static constexpr uint8_t BIRD_FILE_FLAG_MASK = 0xE0;
    // Largest decompressed content accepted, so that a hostile file cannot
    // make the loader allocate without bound.
    static constexpr size_t MAX_CONTENT_SIZE = 256u * 1024u * 1024u;
    static constexpr uint32_t DESCRIPTOR_SIZE = 64;
    static constexpr uint32_t SERIAL_OFFSETS_SIZE = 8;

    // An empty file: no blocks, every number 0. A target for move-assignment.
    BirdFile();
    // Loads path (which must not be empty). Throws std::runtime_error with
    // "<path>: <Problem()>" ("/x/fw.bird: No such file or directory") when
    // loading fails: the words a user is shown.
    explicit BirdFile(const char* path);

    BirdFile(BirdFile&&) noexcept = default;
    BirdFile& operator=(BirdFile&&) noexcept = default;
    BirdFile(const BirdFile&) = delete;
    BirdFile& operator=(const BirdFile&) = delete;

    // Reads, decompresses and parses filename. False on a missing or
    // unreadable file, one that is not a regular file, or a zlib error; a
    // block count or size mismatch is only logged (IsWhole() tells it).
    // The file is read in pieces and inflated straight into a content
    // buffer of its exact size, so loading needs about the content's size
    // in memory.
    bool Load();
    // The same for a BIRD file held in memory (filename only names it in
    // the log). The bytes are not kept.
    bool LoadFromMemory(const uint8_t* bytes, size_t length);
    // Whether the last load found a whole BIRD file: the "bird" signature
    // and two non-zero version bytes, a zlib stream that ends properly with
    // nothing after it, content within MAX_CONTENT_SIZE, and a block count
    // and block lengths that add up exactly to the content.
    bool IsWhole() const { return loaded_ && problem_.empty(); }
    // Why the last load failed or was not whole ("" when it was), in words
    // for a message ("its compressed content is cut short").
    const std::string& Problem() const { return problem_; }
    // True when path opens, is a regular file, and starts with "bird" and
    // two non-zero version bytes.
    static bool VerifyFile(const char* path);
    // The check a downloaded payload passes before it is stored: it loads
    // from memory, with the code that loads stored files, as a whole file.
    static bool IsCompleteFile(const uint8_t* bytes, size_t length);
    // Whether the file at path would load as a whole file (IsWhole()), judged
    // by the same inflate and block scan as Load but without keeping the
    // content, so that checking a download costs no memory. False with the
    // reason in *problem (Problem()'s words) otherwise.
    static bool CheckWholeFile(const char* path, std::string* problem);

    // Copies of every block of the type, in file order.
    std::vector<BirdBlock> FindBlocks(BLOCK_TYPE type) const;
    bool FindSerialNumberOffsets();
    // Writes serial into the firmware images at the serial-offsets
    // addresses. False when the file has no place for it.
    bool ReplaceSerialNumber(uint32_t serial);
    // Recomputes word 7 of the vector table of firmware images at address 0.
    bool ReplaceVectorChecksum();
    // Descrambles every firmware image in place with the four key words.
    // False (nothing changed) for a null key.
    bool DecodeFirmwareBlocks(const uint32_t* key);

    // Descriptor queries. Without a descriptor (or with one shorter than 64
    // bytes, which is treated as absent) they give false, 0 or "".
    bool ValidateModel(const char* model) const;
    uint32_t GetSerialNumber() const;
    bool ValidateSerialNumber(uint32_t serial) const;
    uint32_t GetBuild() const;
    std::string GetVersion() const;

    // True when the pattern occurs in a firmware block payload.
    bool ValidateData(const uint8_t* pattern, uint32_t n) const;
    // Hex and text dump of every block of the type to standard output.
    bool DumpBlocks(BLOCK_TYPE type) const;

    bool ScanBlocks(const uint8_t* content, uint32_t size);
    // Inflates a zlib stream held in memory into the content buffer.
    bool DecompressData(const uint8_t* src, size_t len);

    std::string filename;
    uint32_t signature = 0;
    uint32_t version = 0;
    uint32_t checksum = 0;
    uint32_t blockCount = 0;
    std::vector<BirdBlock> blocks;
    bool hasSerialOffsets = false;
    uint32_t serialNumberOffset = 0;
    uint32_t descriptorOffset = 0;
    std::unique_ptr<uint8_t[]> data;
    uint32_t dataSize = 0;

    // Where a load takes the zlib stream from (defined with the loader).
    class Source;

  private:
    bool LoadFrom(Source& source, const uint8_t* header, size_t headerBytes, uint64_t total);
    bool Inflate(Source& source, uint64_t limit);
    void CheckWhole(const uint8_t* header, size_t headerBytes, bool scanned);

    bool loaded_ = false;
    std::string problem_;

    // The first descriptor block when it is complete (64 bytes), else null.
    const uint8_t* Descriptor() const;
    void ResetContent();
};
