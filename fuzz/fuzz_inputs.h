// The bodies of the fuzz targets, shared with the ctest test that replays the
// inputs they once crashed on (tests/Updater/UpdaterLib/source).
#pragma once

#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <stdexcept>
#include <string>

#include "BirdFile.h"
#include "KeyValueStore.h"

namespace fuzzinputs {

// A per-process scratch file path.
inline std::string ScratchPath(const char* tag) {
    // TMPDIR when set; else /dev/shm, which keeps the flushes of every save
    // off the disk.
    const char* tmp = std::getenv("TMPDIR");
    const char* dir = tmp && *tmp ? tmp : ::access("/dev/shm", W_OK) == 0 ? "/dev/shm" : "/tmp";
    return std::string(dir) + "/ks-fuzz-" + tag + "-" + std::to_string(::getpid());
}

inline bool WriteFile(const std::string& path, const uint8_t* data, size_t size) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (!f)
        return false;
    bool ok = size == 0 || std::fwrite(data, 1, size, f) == size;
    return std::fclose(f) == 0 && ok;
}

// Everything a caller may do with a parsed file.
inline void UseBirdFile(BirdFile& f) {
    f.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    f.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS);
    f.ValidateModel("KS");
    f.ValidateModel("");
    f.GetBuild();
    f.GetVersion();
    f.ValidateSerialNumber(f.GetSerialNumber());
    const uint8_t pattern[3] = {0x00, 0xFF, 0x00};
    f.ValidateData(pattern, sizeof pattern);
    f.ReplaceSerialNumber(0x40F5849A);
    f.ReplaceVectorChecksum();
    const uint32_t key[4] = {0x01234567, 0x89ABCDEF, 0xFEDCBA98, 0x76543210};
    f.DecodeFirmwareBlocks(key);
    f.DumpBlocks(BirdFile::BIRD_BLOCK_DESCRIPTOR);
    BirdFile moved(std::move(f));
    moved.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
}

// What the parser made of one input (the replay test checks it).
struct BirdOutcome {
    bool wholeFile = false; // started with "bird"
    bool complete = false;  // accepted by BirdFile::IsCompleteFile
    bool loaded = false;    // the BirdFile constructor did not throw
    size_t blocks = 0;      // blocks parsed (of a loaded file or of the content)
    bool serialOffsets = false;
};

// Bytes starting with "bird" are a whole file, loaded from disk; anything
// else is taken as decompressed content and scanned directly, so the block
// parser is reached without going through zlib.
inline BirdOutcome BirdBytes(const uint8_t* data, size_t size) {
    BirdOutcome out;
    if (size >= 4 && std::memcmp(data, "bird", 4) == 0) {
        out.wholeFile = true;
        out.complete = BirdFile::IsCompleteFile(data, size);
        std::string path = ScratchPath("bird");
        if (!WriteFile(path, data, size))
            return out;
        try {
            BirdFile f(path.c_str());
            out.loaded = true;
            out.blocks = f.blocks.size();
            out.serialOffsets = f.hasSerialOffsets;
            UseBirdFile(f);
        } catch (const std::runtime_error&) {
        }
        std::remove(path.c_str());
        return out;
    }
    if (size > 0xFFFFFFFFu)
        return out;
    BirdFile f;
    f.filename = "content";
    f.data.reset(new uint8_t[size ? size : 1]);
    if (size)
        std::memcpy(f.data.get(), data, size);
    f.dataSize = static_cast<uint32_t>(size);
    f.ScanBlocks(f.data.get(), f.dataSize);
    out.serialOffsets = f.FindSerialNumberOffsets();
    out.blocks = f.blocks.size();
    UseBirdFile(f);
    return out;
}

struct AttributesOutcome {
    size_t entries = 0;   // entries loaded
    bool carried = false; // every entry is one the format can carry
    bool saved = false;   // the save succeeded
};

// Loads text as an attributes file, uses it, saves it and reads it back: the
// entries must survive the round trip, NUL bytes and lines of any length
// included (only a key with a leading '#' cannot be carried).
inline AttributesOutcome AttributesText(const uint8_t* data, size_t size) {
    AttributesOutcome out;
    std::string path = ScratchPath("kv");
    std::string saved = path + ".saved";
    if (!WriteFile(path, data, size))
        return out;
    KeyValueStore kv(path.c_str());
    bool carried = true;
    for (const auto& e : kv.entries) {
        if (e.first.empty() || e.first[0] == '#')
            carried = false;
    }
    kv.GetInt("A", 1);
    kv.GetHex("B", 2);
    kv.GetBOOL("C", true);
    kv.GetDouble("D", 1.0);
    kv.GetString("E", nullptr);
    kv.modified = false; // keep UPDATED_TIME out so the comparison is exact
    out.entries = kv.entries.size();
    out.carried = carried;
    out.saved = kv.Save(saved.c_str());
    KeyValueStore back(saved.c_str());
    if (carried && back.entries != kv.entries) {
        std::fprintf(stderr, "attributes changed in a save/load round trip\n");
        std::abort();
    }
    std::remove(path.c_str());
    std::remove(saved.c_str());
    return out;
}

} // namespace fuzzinputs
