// BIRD files written by the independent writer (sim/bird) are read back by
// BirdFile; the two implementations check each other.
#include "BirdFile.h"

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstring>
#include <stdexcept>

#include "birdsim/birdwriter.h"
#include "hostile_payloads.h"
#include "store_testutil.h"
#include "tempdir.h"

using birdwriter::Bytes;
using birdwriter::Description;
using storetest::LogCapture;

namespace {

class BirdFileTest : public ::testing::Test {
  protected:
    std::string Write(const Bytes& file, const std::string& name = "f.bird") {
        std::string path = dir_ / name;
        EXPECT_TRUE(kstest::WriteFile(path, file));
        return path;
    }
    std::string Write(const Description& d) { return Write(birdwriter::BuildFile(d)); }
    BirdFile LoadOk(const Description& d) { return BirdFile(Write(d).c_str()); }

    kstest::TempDir dir_;
};

Bytes Iota(size_t n, uint8_t start = 0) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(start + i * 13);
    return b;
}

Bytes BlockBytes(const BirdBlock& b) {
    return Bytes(b.data, b.data + b.length);
}

TEST_F(BirdFileTest, EveryBlockTypeAndFlagRoundTrips) {
    Description d;
    for (uint8_t type = 0; type < 32; ++type) {
        uint8_t flags = type % 8;
        if (type == 0 || type == 1)
            d.blocks.push_back(
                birdwriter::ImageBlock(type, flags, 0x1000u * (type + 1), Iota(40 + type)));
        else
            d.blocks.push_back(birdwriter::RawBlock(type, flags, Iota(type == 4 ? 64 : type)));
    }
    BirdFile f = LoadOk(d);
    ASSERT_EQ(f.blockCount, 32u);
    ASSERT_EQ(f.blocks.size(), 32u);
    for (uint8_t type = 0; type < 32; ++type) {
        const BirdBlock& b = f.blocks[type];
        SCOPED_TRACE("type " + std::to_string(type));
        EXPECT_EQ(b.type, type);
        EXPECT_EQ(b.flags, type % 8);
        EXPECT_EQ(BlockBytes(b), d.blocks[type].payload);
        EXPECT_EQ(b.address, type <= 1 ? 0x1000u * (type + 1) : 0u);
    }
    EXPECT_EQ(f.signature, 0x62697264u);
    EXPECT_EQ(f.version, 0x0101u);
    Bytes content = birdwriter::BuildContent(d);
    EXPECT_EQ(f.dataSize, content.size());
    EXPECT_EQ(f.checksum, birdwriter::Crc32(content.data(), content.size() - 4));
}

TEST_F(BirdFileTest, SeveralLoaderAndFirmwareBlocksKeepFileOrder) {
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(0, 1, 0x10000000, Iota(10, 1)));
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x0, Iota(20, 2)));
    d.blocks.push_back(birdwriter::ImageBlock(0, 2, 0x10000400, Iota(30, 3)));
    d.blocks.push_back(birdwriter::DescriptorBlock(77, "1.0.0", 0x1234ABCD, "KS-X"));
    d.blocks.push_back(birdwriter::ImageBlock(1, 5, 0x8000, Iota(40, 4)));
    BirdFile f = LoadOk(d);
    std::vector<BirdBlock> loaders = f.FindBlocks(BirdFile::BIRD_BLOCK_LOADER);
    std::vector<BirdBlock> firmware = f.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    ASSERT_EQ(loaders.size(), 2u);
    ASSERT_EQ(firmware.size(), 2u);
    EXPECT_EQ(loaders[0].address, 0x10000000u);
    EXPECT_EQ(loaders[1].address, 0x10000400u);
    EXPECT_EQ(loaders[1].flags, 2);
    EXPECT_EQ(firmware[0].address, 0u);
    EXPECT_EQ(firmware[1].address, 0x8000u);
    EXPECT_EQ(firmware[1].length, 44u);
    EXPECT_EQ(Bytes(firmware[1].data + 4, firmware[1].data + 44), Iota(40, 4));
    EXPECT_TRUE(f.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS).empty());
    EXPECT_FALSE(f.hasSerialOffsets) << "an image made for one module";
}

TEST_F(BirdFileTest, GenericImageReadsItsSerialOffsets) {
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, Iota(64)));
    d.blocks.push_back(birdwriter::SerialOffsetsBlock(0x20, 0x100));
    d.blocks.push_back(birdwriter::SerialOffsetsBlock(0x99, 0x99)); // only the first counts
    d.blocks.push_back(birdwriter::StartAddressBlock(0x10000800));
    BirdFile f = LoadOk(d);
    EXPECT_TRUE(f.hasSerialOffsets);
    EXPECT_EQ(f.serialNumberOffset, 0x20u);
    EXPECT_EQ(f.descriptorOffset, 0x100u);
    std::vector<BirdBlock> start = f.FindBlocks(BirdFile::BIRD_BLOCK_START_ADDRESS);
    ASSERT_EQ(start.size(), 1u);
    EXPECT_EQ(BlockBytes(start[0]), (Bytes{0x10, 0x00, 0x08, 0x00}));
}

TEST_F(BirdFileTest, ShortSerialOffsetsBlockGivesNoOffsets) {
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, Iota(64)));
    d.blocks.push_back(birdwriter::RawBlock(2, 0, Bytes{0, 0, 0, 0x20, 0}));
    BirdFile f = LoadOk(d);
    EXPECT_TRUE(f.hasSerialOffsets);
    EXPECT_EQ(f.serialNumberOffset, 0u);
    EXPECT_EQ(f.descriptorOffset, 0u);
    EXPECT_FALSE(f.ReplaceSerialNumber(0x11223344));
}

TEST_F(BirdFileTest, TwentyFiveByteContentParsesWithoutMismatch) {
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(1, 2, 0x100, Iota(8)));
    ASSERT_EQ(birdwriter::BuildContent(d).size(), 25u);
    LogCapture log(DEBUG_BirdFile);
    BirdFile f = LoadOk(d);
    ASSERT_EQ(f.blockCount, 1u);
    EXPECT_EQ(f.blocks[0].type, 1);
    EXPECT_EQ(f.blocks[0].flags, 2);
    EXPECT_EQ(f.blocks[0].length, 12u);
    EXPECT_EQ(f.blocks[0].address, 0x100u);
    std::string text = log.Text();
    EXPECT_EQ(text.find("mismatch"), std::string::npos) << text;
    EXPECT_NE(text.find("BIRDFILE:\t\t File reports 1 blocks\n"), std::string::npos) << text;
    EXPECT_NE(text.find("BIRDFILE:\t\t 01   02   12\n"), std::string::npos) << text;
}

TEST_F(BirdFileTest, InconsistentContentStillLoadsAndLogsTheMismatch) {
    struct Case {
        const char* name;
        void (*change)(Description&);
        uint32_t blocks;
        const char* logged;
    } cases[] = {
        {"count says 3, holds 2", [](Description& d) { d.blockCount = 3; }, 2,
         "BIRDFILE: Block parsing mismatch in number of blocks. (2 != 3)\n"},
        {"one byte after the checksum", [](Description& d) { d.trailer = {0xAB}; }, 2,
         "BIRDFILE: Block parsing mismatch in data size. (1 bytes remaining)\n"},
        {"no checksum", [](Description& d) { d.omitChecksum = true; }, 2,
         "BIRDFILE: Block parsing mismatch in data size. (-4 bytes remaining)\n"},
        {"last block runs past the end", [](Description& d) { d.blocks[1].declaredLength = 1000; },
         1, "BIRDFILE: Block parsing mismatch in number of blocks. (1 != 2)\n"},
        {"length near 4 GiB", [](Description& d) { d.blocks[0].declaredLength = 0xFFFFFFFF; }, 0,
         "BIRDFILE: Block parsing mismatch in number of blocks. (0 != 2)\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Description d;
        d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x40, Iota(12)));
        d.blocks.push_back(birdwriter::DescriptorBlock(5, "1.0", 0xAB, "M"));
        c.change(d);
        LogCapture log(DEBUG_BirdFile);
        BirdFile f = LoadOk(d);
        EXPECT_EQ(f.blockCount, c.blocks);
        EXPECT_EQ(f.blocks.size(), c.blocks);
        std::string text = log.Text();
        EXPECT_NE(text.find(c.logged), std::string::npos) << text;
    }
}

TEST_F(BirdFileTest, ContentTooShortForCountOrChecksumIsHandled) {
    // Streams whose content is 0 to 8 bytes long: nothing outside is read.
    for (size_t n = 0; n <= 8; ++n) {
        Bytes content(n, 0);
        Bytes file = birdwriter::BuildFileFromStream(Description(), birdwriter::Compress(content));
        BirdFile f(Write(file).c_str());
        EXPECT_EQ(f.blockCount, 0u) << n;
        EXPECT_EQ(f.dataSize, n);
    }
}

TEST_F(BirdFileTest, BrokenFilesFailCleanly) {
    Description good;
    good.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, Iota(3000)));
    good.compressionLevel = 0; // stored blocks: every cut lands inside the stream
    Bytes file = birdwriter::BuildFile(good);
    std::vector<std::pair<std::string, Bytes>> cases = {
        {"empty", {}},
        {"three bytes", {'b', 'i', 'r'}},
        {"header only", {'b', 'i', 'r', 'd', 1, 1}},
        {"not zlib", {'b', 'i', 'r', 'd', 1, 1, 'h', 'e', 'l', 'l', 'o'}},
    };
    for (size_t cut : {7u, 8u, 20u, 100u, 1500u, unsigned(file.size() - 1)})
        cases.push_back({"cut at " + std::to_string(cut), Bytes(file.begin(), file.begin() + cut)});
    Bytes flipped = file;
    flipped[flipped.size() - 2] ^= 0x55; // inside the Adler-32 trailer
    cases.push_back({"corrupt adler", flipped});
    for (const auto& c : cases) {
        SCOPED_TRACE(c.first);
        std::string path = Write(c.second, "broken.bird");
        try {
            BirdFile f(path.c_str());
            ADD_FAILURE() << "loaded a broken file";
        } catch (const std::runtime_error& e) {
            // The path, then why: the words the user is shown.
            const std::string what = e.what();
            EXPECT_EQ(what.rfind(path + ": ", 0), 0u) << what;
            EXPECT_GT(what.size(), path.size() + 2) << what;
        }
        BirdFile empty;
        empty.filename = path;
        EXPECT_FALSE(empty.Load());
        EXPECT_EQ(empty.dataSize, 0u);
        EXPECT_TRUE(empty.blocks.empty());
    }
}

TEST_F(BirdFileTest, MissingFileIsLoggedAndThrows) {
    LogCapture log(DEBUG_BirdFile);
    std::string path = dir_ / "absent.bird";
    EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error);
    EXPECT_NE(log.Text().find("BIRDFILE: BIRD file not found [" + path + "]\n"), std::string::npos);
    EXPECT_FALSE(BirdFile::VerifyFile(path.c_str()));
    EXPECT_NE(log.Text().find("BIRDFILE: Error - cannot open bird file: '" + path + "'\n"),
              std::string::npos);
}

TEST_F(BirdFileTest, VerifyFileChecksSignatureAndVersionButLoadDoesNot) {
    struct Case {
        const char* signature;
        uint8_t major, minor;
        bool verified;
    } cases[] = {
        {"bird", 1, 1, true},  {"bird", 2, 9, true},  {"bird", 1, 0, false},
        {"bird", 0, 1, false}, {"BIRD", 1, 1, false}, {"bir", 1, 1, false},
    };
    for (const Case& c : cases) {
        Description d;
        d.signature = c.signature;
        d.versionMajor = c.major;
        d.versionMinor = c.minor;
        d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, Iota(4)));
        std::string path = Write(d);
        EXPECT_EQ(BirdFile::VerifyFile(path.c_str()), c.verified)
            << c.signature << int(c.major) << int(c.minor);
        BirdFile f(path.c_str()); // loading never looks at the signature
        EXPECT_EQ(f.blockCount, 1u);
        EXPECT_EQ(f.version, c.major * 256u + c.minor);
    }
    EXPECT_FALSE(BirdFile::VerifyFile(Write(Bytes{'b', 'i', 'r', 'd', 1}).c_str())) << "five bytes";
}

TEST_F(BirdFileTest, WellCompressedImagesLoadUpToTheCap) {
    // 0xFF-padded flash images compress far better than 8:1.
    Description d;
    Bytes image(4u << 20, 0xFF);
    image[0] = 0x12;
    image[image.size() - 1] = 0x34;
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, image));
    Bytes file = birdwriter::BuildFile(d);
    ASSERT_GT(image.size() / (file.size() - 6), 8u) << "the test needs a ratio above 8:1";
    BirdFile f(Write(file).c_str());
    ASSERT_EQ(f.blockCount, 1u);
    EXPECT_EQ(f.blocks[0].length, image.size() + 4);
    EXPECT_EQ(f.blocks[0].data[4 + image.size() - 1], 0x34);
}

TEST_F(BirdFileTest, ContentBeyondTheCapFailsToLoad) {
    Bytes stream = hostile::ZeroStream(BirdFile::MAX_CONTENT_SIZE + 1);
    std::string path = Write(birdwriter::BuildFileFromStream(Description(), stream));
    LogCapture log(DEBUG_BirdFile);
    EXPECT_THROW(BirdFile(path.c_str()), std::runtime_error);
    EXPECT_NE(log.Text().find("BIRDFILE: Error (-5) decompressing bird file.\n"),
              std::string::npos);
}

TEST_F(BirdFileTest, MovedFileKeepsValidBlockPointers) {
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(1, 3, 0x200, Iota(100)));
    BirdFile target;
    EXPECT_EQ(target.blockCount, 0u);
    EXPECT_FALSE(target.hasSerialOffsets);
    {
        BirdFile loaded = LoadOk(d);
        const uint8_t* before = loaded.blocks[0].data;
        target = std::move(loaded);
        EXPECT_EQ(target.blocks[0].data, before);
    }
    BirdFile moved(std::move(target));
    ASSERT_EQ(moved.blockCount, 1u);
    EXPECT_EQ(Bytes(moved.blocks[0].data + 4, moved.blocks[0].data + 104), Iota(100));
}

#ifndef NDEBUG
TEST(BirdFileDeathTest, EmptyPathIsAPreconditionFailure) {
    EXPECT_DEATH(BirdFile(""), "this->filename.length\\(\\) > 0");
}
#endif

} // namespace
