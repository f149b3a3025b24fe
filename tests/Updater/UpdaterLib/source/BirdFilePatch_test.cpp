// Descriptor queries and the in-memory patching of BIRD images.
#include <gtest/gtest.h>

#include <cstring>

#include "BirdFile.h"
#include "birdsim/birdwriter.h"
#include "bytes.h"
#include "store_testutil.h"
#include "tempdir.h"

using birdwriter::Bytes;
using birdwriter::Description;
using storetest::LogCapture;

namespace {

class BirdPatchTest : public ::testing::Test {
  protected:
    BirdFile Load(const Description& d) {
        std::string path = dir_ / "p.bird";
        EXPECT_TRUE(kstest::WriteFile(path, birdwriter::BuildFile(d)));
        return BirdFile(path.c_str());
    }
    kstest::TempDir dir_;
};

Bytes Pattern(size_t n, uint8_t seed) {
    Bytes b(n);
    for (size_t i = 0; i < n; ++i)
        b[i] = static_cast<uint8_t>(seed + i * 29 + (i >> 3));
    return b;
}

Bytes Image(const BirdBlock& b) {
    return Bytes(b.data + 4, b.data + b.length);
}

uint32_t LE32(const uint8_t* p) {
    return p[0] | p[1] << 8 | p[2] << 16 | uint32_t(p[3]) << 24;
}

TEST_F(BirdPatchTest, SerialNumberGoesOnlyIntoTheBlockHoldingIt) {
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x0000, Pattern(0x100, 1)));
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x1000, Pattern(0x100, 2)));
    d.blocks.push_back(birdwriter::SerialOffsetsBlock(0x1010, 0x1040));
    BirdFile f = Load(d);
    LogCapture log(DEBUG_BirdFile);
    ASSERT_TRUE(f.ReplaceSerialNumber(0x40F5849A));
    std::vector<BirdBlock> fw = f.FindBlocks(BirdFile::BIRD_BLOCK_FIRMWARE);
    EXPECT_EQ(Image(fw[0]), Pattern(0x100, 1)) << "first block untouched";
    Bytes expected = Pattern(0x100, 2);
    uint32_t old = LE32(&expected[0x10]);
    const uint8_t serialLE[4] = {0x9A, 0x84, 0xF5, 0x40};
    std::memcpy(&expected[0x10], serialLE, 4);
    const char* text = "40F5849A";
    for (int k = 0; k < 8; ++k)
        expected[0x40 + 2 * k] = static_cast<uint8_t>(text[k]);
    Bytes actual = Image(fw[1]);
    EXPECT_BYTES(expected, actual);
    char line[128];
    std::snprintf(line, sizeof line, "BIRDFILE: updating serial number from %08X ==> 40F5849A\n",
                  old);
    EXPECT_NE(log.Text().find(line), std::string::npos) << log.Text();
}

TEST_F(BirdPatchTest, SerialOffsetsDecideWhetherThereIsAPlace) {
    struct Case {
        const char* name;
        uint32_t s, d;
        bool result;
        int wordAt; // image offset of the serial word, -1 for none
        int textAt; // image offset of the serial text, -1 for none
    } cases[] = {
        {"both zero", 0, 0, false, -1, -1},
        {"S outside every block still counts", 0x5000, 0, true, -1, -1},
        {"S in the last four bytes", 0x200 + 0x3C, 0, true, 0x3C, -1},
        {"S one byte too far", 0x200 + 0x3D, 0, true, -1, -1},
        {"D only", 0, 0x200 + 0x30, true, -1, 0x30},
        {"D running past the end", 0, 0x200 + 0x31, false, -1, -1},
        {"S before the block", 0x1FF, 0, true, -1, -1},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Description d;
        d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x200, Pattern(0x40, 7)));
        d.blocks.push_back(birdwriter::SerialOffsetsBlock(c.s, c.d));
        BirdFile f = Load(d);
        EXPECT_EQ(f.ReplaceSerialNumber(0x0A0B0C0D), c.result);
        Bytes expected = Pattern(0x40, 7);
        if (c.wordAt >= 0) {
            const uint8_t le[4] = {0x0D, 0x0C, 0x0B, 0x0A};
            std::memcpy(&expected[c.wordAt], le, 4);
        }
        if (c.textAt >= 0)
            for (int k = 0; k < 8; ++k)
                expected[c.textAt + 2 * k] = static_cast<uint8_t>("0A0B0C0D"[k]);
        EXPECT_EQ(Image(f.blocks[0]), expected);
    }
}

TEST_F(BirdPatchTest, NoFirmwareBlockMeansNoPlaceForTheSerial) {
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(0, 0, 0x200, Pattern(0x40, 7)));
    d.blocks.push_back(birdwriter::SerialOffsetsBlock(0x210, 0x220));
    BirdFile f = Load(d);
    EXPECT_FALSE(f.ReplaceSerialNumber(1));
    EXPECT_EQ(Image(f.blocks[0]), Pattern(0x40, 7)) << "loader blocks are never patched";
}

TEST_F(BirdPatchTest, VectorChecksumMakesTheVectorTableSumToZero) {
    Bytes image;
    const uint32_t words[9] = {0x10008000, 0x101, 0x203,  0x305, 0x407,
                               0xFFFFFFFF, 0x50B, 0xDEAD, 0xAA};
    for (uint32_t w : words)
        birdwriter::PutLE32(image, w);
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, image));
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x100, image)); // not at address 0
    d.blocks.push_back(
        birdwriter::ImageBlock(1, 0, 0, Bytes(image.begin(), image.begin() + 31))); // too short
    BirdFile f = Load(d);
    LogCapture log(DEBUG_BirdFile);
    EXPECT_TRUE(f.ReplaceVectorChecksum());
    uint32_t expected = 0u - (0x10008000u + 0x101 + 0x203 + 0x305 + 0x407 + 0xFFFFFFFF + 0x50B);
    EXPECT_EQ(LE32(f.blocks[0].data + 4 + 0x1C), expected);
    EXPECT_EQ(LE32(f.blocks[0].data + 4 + 0x20), 0xAAu) << "word 8 untouched";
    EXPECT_EQ(Image(f.blocks[1]), image);
    EXPECT_EQ(Image(f.blocks[2]), Bytes(image.begin(), image.begin() + 31));
    char line[96];
    std::snprintf(line, sizeof line, "BIRDFILE: updating vector checksum from 0000DEAD ==> %08X\n",
                  expected);
    EXPECT_NE(log.Text().find(line), std::string::npos) << log.Text();
}

TEST_F(BirdPatchTest, DescramblingUndoesTheWritersScrambling) {
    Bytes plain = Pattern(1000, 3);
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(0, 0, 0x10000000, Pattern(50, 9)));
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x4000, plain));
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x8000, Pattern(17, 5)));
    const uint32_t key[4] = {0xDEADBEEF, 0x01234567, 0x89ABCDEF, 0x0F1E2D3C};
    d.scrambleKey = std::vector<uint32_t>(key, key + 4);
    BirdFile f = Load(d);
    ASSERT_NE(Image(f.blocks[1]), plain);
    EXPECT_TRUE(f.DecodeFirmwareBlocks(key));
    EXPECT_EQ(f.blocks[1].address, 0x4000u);
    EXPECT_EQ(Bytes(f.blocks[1].data, f.blocks[1].data + 4), (Bytes{0, 0, 0x40, 0}))
        << "address untouched";
    EXPECT_EQ(Image(f.blocks[1]), plain);
    EXPECT_EQ(Image(f.blocks[2]), Pattern(17, 5)) << "each block restarts the chain and the key";
    EXPECT_EQ(Image(f.blocks[0]), Pattern(50, 9)) << "loaders are not scrambled";
    EXPECT_FALSE(f.DecodeFirmwareBlocks(nullptr));
}

TEST_F(BirdPatchTest, DescramblingChainsBytesAndWrapsTheKeyAtByteSeventeen) {
    Bytes image(18, 0);
    image[0] = 0xC0, image[1] = 0xC1, image[2] = 0xC2;
    Description d;
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, image));
    {
        BirdFile f = Load(d);
        const uint32_t zero[4] = {0, 0, 0, 0};
        f.DecodeFirmwareBlocks(zero);
        const uint8_t* b = f.blocks[0].data + 4;
        EXPECT_EQ(b[0], 0xC0);
        EXPECT_EQ(b[1], 0xC1 ^ 0xC0);
        EXPECT_EQ(b[2], 0xC2 ^ 0xC1 ^ 0xC0);
    }
    Description zeros;
    zeros.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, Bytes(18, 0)));
    BirdFile f = Load(zeros);
    const uint32_t key[4] = {0x11000000, 0, 0, 0x000000FF};
    f.DecodeFirmwareBlocks(key);
    const uint8_t* b = f.blocks[0].data + 4;
    // Running XOR of the key bytes: byte 16 takes key byte 0 again.
    EXPECT_EQ(b[0], 0x11);
    EXPECT_EQ(b[14], 0x11);
    EXPECT_EQ(b[15], 0x11 ^ 0xFF);
    EXPECT_EQ(b[16], 0xFF);
    EXPECT_EQ(b[17], 0xFF);
}

TEST_F(BirdPatchTest, DescriptorFieldsAreReadAsDocumented) {
    struct Case {
        const char *build, *version, *serial, *model;
        uint32_t expBuild;
        const char* expVersion;
        uint32_t expSerial;
    } cases[] = {
        {"1234", "1.2.3 beta", "40F5849A", "KS-ROUTER", 1234, "1.2.3", 0x40F5849A},
        {"12ab", "2.0", "abc", "X", 12, "2.0", 0xABC},
        {"x1", "", "40F5849A12345678", "X", 0, "", 0x40F5849A},
        {"999999999999999", "123456789012345678", "0", "X", 2764472319u, "123456789012345", 0},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.build);
        Description d;
        d.blocks.push_back(birdwriter::DescriptorBlockText(c.build, c.version, c.serial, c.model));
        d.blocks.push_back(
            birdwriter::DescriptorBlock(1, "9.9.9", 1, "OTHER")); // only the first counts
        BirdFile f = Load(d);
        EXPECT_EQ(f.GetBuild(), c.expBuild);
        EXPECT_EQ(f.GetVersion(), c.expVersion);
        EXPECT_EQ(f.GetSerialNumber(), c.expSerial);
        EXPECT_TRUE(f.ValidateSerialNumber(c.expSerial));
        EXPECT_FALSE(f.ValidateSerialNumber(c.expSerial + 1));
    }
}

TEST_F(BirdPatchTest, ModelIsAPrefixTest) {
    Description d;
    d.blocks.push_back(birdwriter::DescriptorBlock(1, "1", 1, "ABC123"));
    BirdFile f = Load(d);
    struct Case {
        const char* model;
        bool matches;
    } cases[] = {{"ABC", true},      {"ABC123", true}, {"", true},
                 {"ABC1234", false}, {"abc", false},   {"B", false}};
    for (const Case& c : cases)
        EXPECT_EQ(f.ValidateModel(c.model), c.matches) << c.model;
    LogCapture log(DEBUG_BirdFile);
    f.ValidateModel("ABC");
    EXPECT_EQ(log.Text(), "Model matches model number ([ABC123] == [ABC])\n");
}

TEST_F(BirdPatchTest, MissingOrShortDescriptorGivesEmptyAnswers) {
    Description none;
    none.blocks.push_back(birdwriter::ImageBlock(1, 0, 0, Pattern(8, 1)));
    Description shortOne;
    shortOne.blocks.push_back(birdwriter::RawBlock(4, 0, Bytes(63, '1')));
    for (const Description* d : {&none, &shortOne}) {
        BirdFile f = Load(*d);
        EXPECT_FALSE(f.ValidateModel(""));
        EXPECT_EQ(f.GetBuild(), 0u);
        EXPECT_EQ(f.GetSerialNumber(), 0u);
        EXPECT_EQ(f.GetVersion(), "");
    }
    BirdFile empty;
    EXPECT_FALSE(empty.ValidateModel("A"));
    EXPECT_EQ(empty.GetBuild(), 0u);
}

TEST_F(BirdPatchTest, ValidateDataFindsPatternsUpToTheLastPosition) {
    Bytes image = Pattern(60, 11);
    Description d;
    d.blocks.push_back(
        birdwriter::ImageBlock(0, 0, 0, Pattern(60, 99))); // loaders are not searched
    d.blocks.push_back(birdwriter::ImageBlock(1, 0, 0x12345678, image));
    BirdFile f = Load(d);
    Bytes tail(image.end() - 5, image.end());
    Bytes head = {0x12, 0x34, 0x56}; // the address bytes count as payload
    Bytes loaderOnly(f.blocks[0].data + 10, f.blocks[0].data + 16);
    Bytes whole(f.blocks[1].data, f.blocks[1].data + f.blocks[1].length);
    Bytes tooLong(whole);
    tooLong.push_back(0);
    {
        LogCapture log(DEBUG_BirdFile);
        EXPECT_TRUE(f.ValidateData(tail.data(), 5));
        EXPECT_NE(log.Text().find("Found data at 59\n"), std::string::npos) << log.Text();
    }
    EXPECT_TRUE(f.ValidateData(head.data(), 3));
    EXPECT_TRUE(f.ValidateData(whole.data(), static_cast<uint32_t>(whole.size())));
    EXPECT_FALSE(f.ValidateData(tooLong.data(), static_cast<uint32_t>(tooLong.size())));
    EXPECT_FALSE(f.ValidateData(loaderOnly.data(), 6));
    EXPECT_FALSE(f.ValidateData(head.data(), 0));
}

TEST_F(BirdPatchTest, DumpBlocksPrintsFiftyBytesPerLine) {
    Bytes payload;
    for (int i = 0; i < 51; ++i)
        payload.push_back(static_cast<uint8_t>(i == 0 ? 'A' : i == 50 ? 'z' : 0x01));
    Description d;
    d.blocks.push_back(birdwriter::RawBlock(7, 0, payload));
    d.blocks.push_back(birdwriter::RawBlock(7, 0, Bytes{'h', 'i', 0x00}));
    d.blocks.push_back(birdwriter::RawBlock(8, 0, Bytes{'n', 'o'}));
    BirdFile f = Load(d);
    f.filename = "x.bird";
    testing::internal::CaptureStdout();
    EXPECT_TRUE(f.DumpBlocks(static_cast<BirdFile::BLOCK_TYPE>(7)));
    std::string out = testing::internal::GetCapturedStdout();
    std::string line1 = "000000: 41 ";
    for (int i = 1; i < 50; ++i)
        line1 += "01 ";
    std::string expected = "BIRDFILE: BLOCK DUMP [x.bird]\n"
                           " \r\n" +
                           line1 + " A" + std::string(49, ' ') +
                           "\r\n000050: 7A  z\n"
                           " \r\n000000: 68 69 00  hi \n"
                           "\n";
    EXPECT_BYTES(expected, out);
}

} // namespace
