// What makes a BIRD file whole, the test a downloaded payload must pass
// before it is stored: one table of damaged files, each judged from memory
// and from disk by the same loader, and never a block that reaches past the
// content it was found in.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <stdexcept>
#include <string>
#include <vector>

#include "BirdFile.h"
#include "birdsim/birdwriter.h"
#include "bytes.h"
#include "hostile_payloads.h"
#include "tempdir.h"

using birdwriter::Block;
using birdwriter::Bytes;
using birdwriter::Description;

namespace {

Bytes Pattern(size_t n) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(i * 7 + 3);
    return b;
}

Description Good() {
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(0, 0, 0x10000000, Pattern(100)));
    d.blocks.push_back(birdwriter::ImageBlock(1, 2, 0, Pattern(300)));
    d.blocks.push_back(birdwriter::DescriptorBlock(1234, "1.2.3", 0x40F5849A, "KS-100"));
    return d;
}

// Every block must lie inside the content: a block reaching past it would
// let a serial-number patch or a descramble write outside the buffer.
void ExpectBlocksInsideContent(const BirdFile& f, const std::string& what) {
    const uint8_t* begin = f.data.get();
    const uint8_t* end = begin + f.dataSize;
    for (const BirdBlock& b : f.blocks) {
        EXPECT_GE(b.data, begin) << what;
        EXPECT_LE(b.data + b.length, end)
            << what << ": a block of " << b.length << " bytes runs past the content";
    }
}

struct Case {
    std::string name;
    Bytes file;
    std::string problem; // "": whole
};

std::vector<Case> Cases() {
    std::vector<Case> cases;
    cases.push_back({"a sound file", birdwriter::BuildFile(Good()), ""});
    Description stored = Good();
    stored.compressionLevel = 0;
    cases.push_back({"stored without compression", birdwriter::BuildFile(stored), ""});
    for (const hostile::DamagedFile& d : hostile::DamagedFiles(Good()))
        cases.push_back({d.name, d.file, d.problem});
    return cases;
}

TEST(BirdFileWhole, OnlyASoundFileIsWholeFromMemoryAndFromDisk) {
    kstest::TempDir dir;
    for (const Case& c : Cases()) {
        SCOPED_TRACE(c.name);
        const bool whole = c.problem.empty();
        EXPECT_EQ(BirdFile::IsCompleteFile(c.file.data(), c.file.size()), whole);

        BirdFile memory;
        memory.filename = "memory";
        bool loadedFromMemory = memory.LoadFromMemory(c.file.data(), c.file.size());
        EXPECT_EQ(memory.IsWhole(), whole);
        EXPECT_EQ(memory.Problem(), c.problem);
        ExpectBlocksInsideContent(memory, c.name + " (memory)");

        BirdFile disk;
        disk.filename = dir.write("f.bird", std::string(c.file.begin(), c.file.end()));
        EXPECT_EQ(disk.Load(), loadedFromMemory) << "the two loads disagree";
        EXPECT_EQ(disk.IsWhole(), whole);
        EXPECT_EQ(disk.Problem(), memory.Problem());
        std::string problem = "unset";
        EXPECT_EQ(BirdFile::CheckWholeFile(disk.filename.c_str(), &problem), whole);
        EXPECT_EQ(problem, c.problem) << "the check without content disagrees with the load";
        ExpectBlocksInsideContent(disk, c.name + " (disk)");
        ASSERT_EQ(disk.blocks.size(), memory.blocks.size());
        for (size_t i = 0; i < disk.blocks.size(); ++i)
            EXPECT_BYTES(
                Bytes(memory.blocks[i].data, memory.blocks[i].data + memory.blocks[i].length),
                Bytes(disk.blocks[i].data, disk.blocks[i].data + disk.blocks[i].length));
        // What the update does with a loaded file stays inside it.
        const uint32_t key[4] = {1, 2, 3, 4};
        disk.DecodeFirmwareBlocks(key);
        disk.ReplaceSerialNumber(0x40F5849A);
        disk.ReplaceVectorChecksum();
    }
}

TEST(BirdFileWhole, ABlockOneBytePastTheContentIsNeverParsed) {
    // count, one firmware block whose declared length reaches one byte past
    // the content's end, checksum.
    Bytes content = {0, 0, 0, 1, 0x01, 0, 0, 0, 9, 0, 0, 0, 0, 0xAA, 0xBB, 0xCC, 0xDD};
    BirdFile f;
    f.filename = "content";
    f.data.reset(new uint8_t[content.size()]);
    std::copy(content.begin(), content.end(), f.data.get());
    f.dataSize = static_cast<uint32_t>(content.size());
    EXPECT_FALSE(f.ScanBlocks(f.data.get(), f.dataSize));
    EXPECT_EQ(f.blockCount, 0u);
    EXPECT_TRUE(f.blocks.empty());
    // Declared exactly up to the content's end (the checksum swallowed): a
    // block inside the buffer, and a size mismatch.
    content[8] = 8;
    std::copy(content.begin(), content.end(), f.data.get());
    EXPECT_FALSE(f.ScanBlocks(f.data.get(), f.dataSize));
    ASSERT_EQ(f.blocks.size(), 1u);
    ExpectBlocksInsideContent(f, "up to the end");
}

TEST(BirdFileWhole, NothingButRegularFilesIsRead) {
    kstest::TempDir dir;
    std::string fifo = dir.sub("fifo.bird");
    ASSERT_EQ(::mkfifo(fifo.c_str(), 0600), 0);
    const std::string subdir = dir.sub("dir.bird");
    ASSERT_EQ(::mkdir(subdir.c_str(), 0700), 0);
    for (const std::string& path : {fifo, subdir, std::string("/dev/zero")}) {
        SCOPED_TRACE(path);
        EXPECT_FALSE(BirdFile::VerifyFile(path.c_str()));
        BirdFile f;
        f.filename = path;
        EXPECT_FALSE(f.Load());
        EXPECT_EQ(f.Problem(), path == subdir ? "is a directory" : "not a regular file");
        EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error); // and none waits on a FIFO
    }
}

} // namespace
